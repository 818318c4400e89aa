#include "zevo/PTime.h"

#include <time.h>

#include <cstdint>

int PTime::getTickCount() {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 1;  // cannot fail for CLOCK_MONOTONIC
  const std::uint64_t micros =
      static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
  const std::uint32_t tick = static_cast<std::uint32_t>(micros);
  return tick == 0 ? 1 : static_cast<int>(tick);
}

long long PTime::monotonicMillis() {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
