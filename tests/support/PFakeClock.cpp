#include "PFakeClock.h"

#include <dlfcn.h>
#include <time.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<bool> gActive{false};
std::atomic<std::uint64_t> gNext{0};
std::atomic<std::uint64_t> gReadings{0};

// The C library's own function. With _TIME_BITS=64 on 32-bit glibc,
// <time.h> renames clock_gettime to __clock_gettime64 (also the definition
// below), so that is the name to look up.
#ifdef __USE_TIME_BITS64
constexpr const char* kRealName = "__clock_gettime64";
#else
constexpr const char* kRealName = "clock_gettime";
#endif

using ClockFunction = int (*)(clockid_t, struct timespec*);

ClockFunction realClock() {
  static const ClockFunction function = reinterpret_cast<ClockFunction>(dlsym(RTLD_NEXT, kRealName));
  return function;
}

}  // namespace

// Visible to the dynamic linker despite -fvisibility=hidden, so that it takes
// the place of the C library's function for every caller.
extern "C" __attribute__((visibility("default"))) int clock_gettime(clockid_t iClock, struct timespec* oTime) noexcept {
  if (iClock == CLOCK_MONOTONIC && gActive.load()) {
    const std::uint64_t micros = gNext.fetch_add(1);
    gReadings.fetch_add(1);
    oTime->tv_sec = static_cast<time_t>(micros / 1000000u);
    oTime->tv_nsec = static_cast<long>(micros % 1000000u) * 1000;
    return 0;
  }
  const ClockFunction real = realClock();
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real(iClock, oTime);
}

PFakeClock::PFakeClock(std::uint64_t iFirstMicros) {
  realClock();  // looked up before the fake answers anything
  gNext.store(iFirstMicros);
  gReadings.store(0);
  gActive.store(true);
}

PFakeClock::~PFakeClock() { gActive.store(false); }

std::uint64_t PFakeClock::readings() const { return gReadings.load(); }
