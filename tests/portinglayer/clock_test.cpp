// On a monotonic clock the test sets (PFakeClock): the tick count, which
// transfer IDs are drawn from, is the clock's microseconds cut to 32 bits,
// negative half included, and never 0.
#include <gtest/gtest.h>

#include <climits>

#include "PFakeClock.h"
#include "zevo/PTime.h"

TEST(TickCount, LowThirtyTwoBitsOfTheMicrosecondCount) {
  const std::pair<std::uint64_t, int> cases[] = {
      {5, 5}, {0x7FFFFFFFull, INT_MAX}, {0x80000000ull, INT_MIN}, {0xFFFFFFFFull, -1},
      {0x100000000ull, 1},  // 0 modulo 2^32 answers 1: 0 means "no transfer"
      {(3ull << 32) + 0x89ABCDEFull, static_cast<int>(0x89ABCDEFu)}};
  for (const auto& [micros, tick] : cases) {
    PFakeClock clock(micros);
    EXPECT_EQ(tick, PTime::getTickCount()) << micros;
    EXPECT_EQ(1u, clock.readings()) << "the fake clock was not reached";
  }
}
