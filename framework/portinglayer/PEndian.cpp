#include "zevo/PEndian.h"

#include <atomic>
#include <cstdint>
#include <cstring>

namespace {

// -1: no override.
std::atomic<int> gOverride{-1};

int hostIsBigEndian() {
  const std::uint16_t probe = 1;
  unsigned char first;
  std::memcpy(&first, &probe, 1);
  return first == 0 ? 1 : 0;
}

}  // namespace

int getEndianness() {
  const int forced = gOverride.load(std::memory_order_relaxed);
  if (forced >= 0) return forced;
  static const int host = hostIsBigEndian();
  return host;
}

void zevoSetEndiannessOverride(int iValue) {
  gOverride.store(iValue == 0 || iValue == 1 ? iValue : -1, std::memory_order_relaxed);
}
