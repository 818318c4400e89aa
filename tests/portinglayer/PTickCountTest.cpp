// PTime::getTickCount on a monotonic clock the test sets (PFakeClock): the
// tick is the clock's microsecond count cut to 32 bits, the whole int range,
// negative half included, and never 0.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "PFakeClock.h"
#include "zevo/PTime.h"

TEST(PTickCount, LowThirtyTwoBitsOfTheMicrosecondCount) {
  struct Case {
    std::uint64_t fMicros;  // what the clock reads
    int fTick;              // what getTickCount answers
  };
  const Case cases[] = {
      {5, 5},
      {0x7FFFFFFFull, INT_MAX},
      {0x80000000ull, INT_MIN},
      {0xFFFFFFFEull, -2},
      {0xFFFFFFFFull, -1},
      {0x100000000ull, 1},  // a count of 0 modulo 2^32 answers 1: 0 means "no transfer"
      {0x100000001ull, 1},
      {(3ull << 32) + 0x89ABCDEFull, static_cast<int>(0x89ABCDEFu)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fMicros);
    PFakeClock clock(c.fMicros);
    EXPECT_EQ(c.fTick, PTime::getTickCount());
    EXPECT_EQ(1u, clock.readings()) << "getTickCount must read the monotonic clock once (the fake is not reached?)";
  }
}

TEST(PTickCount, SuccessiveTicksAcrossTheSignAndZeroWraps) {
  for (std::uint64_t first : {0x7FFFFFFEull, 0xFFFFFFFEull}) {
    SCOPED_TRACE(first);
    PFakeClock clock(first);
    const int a = PTime::getTickCount();
    const int b = PTime::getTickCount();
    const int c = PTime::getTickCount();
    EXPECT_EQ(static_cast<int>(static_cast<std::uint32_t>(first)), a);
    EXPECT_EQ(static_cast<int>(static_cast<std::uint32_t>(first + 1)), b);
    // INT_MAX + 1 wraps to INT_MIN; -1 + 1 reads 0, answered as 1.
    EXPECT_EQ(first == 0x7FFFFFFEull ? INT_MIN : 1, c);
  }
}
