// Transfer IDs are PTime::getTickCount values: any int but 0, negative for
// half of every 71-minute cycle. Here the monotonic clock is set (PFakeClock)
// so that IDs fall on both sides of the sign wrap and of 0, and each ID must
// carry its own transfer through the TAG_INT32 round trip: opening, chunks
// both ways and the close.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <set>

#include "PFakeClock.h"
#include "PServiceTest.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes int32Element(int iValue) {
  const unsigned int bits = static_cast<unsigned int>(iValue);
  return {0x03, static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
          static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 24)};
}

class TransferIds : public PServiceTest<> {};

}  // namespace

TEST_F(TransferIds, IdsAcrossTheSignAndZeroWrapsServeTheirOwnTransfers) {
  struct Round {
    std::uint64_t fClock;  // the monotonic clock's first reading, in microseconds
    int fFirstId;
  };
  const Round rounds[] = {{0x7FFFFFFEull, INT_MAX - 1}, {(5ull << 32) + 0xFFFFFFFDull, -3}};
  constexpr int kTransfers = 6;  // alternately downloads and uploads
  for (const Round& round : rounds) {
    SCOPED_TRACE(round.fFirstId);
    std::vector<int> ids;
    std::vector<Bytes> contents;
    {
      PFakeClock clock(round.fClock);
      for (int i = 0; i < kTransfers; ++i) {
        const std::string name = "data/f" + std::to_string(i);
        contents.push_back(patternBytes(3000 + 100 * static_cast<size_t>(i), 40 + static_cast<unsigned int>(i)));
        const bool download = i % 2 == 0;
        if (download) writeFile(dir / name, contents.back());
        const PCommsMessage reply =
            harness.call(1001, PPayload().str(t + L"/" + widen(name)).i32(download ? 1 : 2).data());
        ASSERT_EQ(0, statusOf(reply));
        ASSERT_EQ(5u, reply.fData.size());
        const int id = replyInt32(reply);
        EXPECT_EQ(int32Element(id), reply.fData) << "the ID as a little-endian TAG_INT32";
        ids.push_back(id);
      }
      EXPECT_GE(clock.readings(), static_cast<std::uint64_t>(kTransfers)) << "the fake clock was not reached";
    }
    EXPECT_EQ(round.fFirstId, ids.front()) << "IDs do not come from the monotonic clock's low 32 bits";
    EXPECT_EQ(static_cast<size_t>(kTransfers), std::set<int>(ids.begin(), ids.end()).size());
    bool negative = false;
    bool positive = false;
    for (int id : ids) {
      EXPECT_NE(0, id);
      negative = negative || id < 0;
      positive = positive || id > 0;
    }
    EXPECT_TRUE(negative && positive) << "the IDs were to fall on both sides of a wrap";
    for (int id : ids) {
      EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG,
                                      L"[actionStartFileTransfer] file with transferId=[" + std::to_wstring(id) + L"] created"));
    }

    // Chunks, interleaved across the transfers so that a mixed-up ID shows.
    std::vector<Bytes> got(kTransfers);
    for (size_t offset = 0; offset < 4000; offset += 1000) {
      for (int i = 0; i < kTransfers; ++i) {
        const Bytes& content = contents[static_cast<size_t>(i)];
        if (offset >= content.size()) continue;
        const int id = ids[static_cast<size_t>(i)];
        if (i % 2 == 0) {
          const PCommsMessage reply = next(id, 1000);
          EXPECT_EQ(0, statusOf(reply)) << id;
          const Bytes chunk = replyBytes(reply);
          got[static_cast<size_t>(i)].insert(got[static_cast<size_t>(i)].end(), chunk.begin(), chunk.end());
        } else {
          const size_t end = std::min(content.size(), offset + 1000);
          const Bytes chunk(content.begin() + static_cast<std::ptrdiff_t>(offset),
                            content.begin() + static_cast<std::ptrdiff_t>(end));
          EXPECT_EQ(0, statusOf(put(id, chunk))) << id;
        }
      }
    }
    for (int i = 0; i < kTransfers; ++i) {
      const int id = ids[static_cast<size_t>(i)];
      EXPECT_EQ(0, close(id)) << id;
      EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG,
                                      L"[actionCloseFileTransfer] file with transferId=[" + std::to_wstring(id) + L"] closed"));
      // Closed for good: the ID no longer names a transfer.
      EXPECT_EQ(ERR_FAILED, statusOf(next(id, 10))) << id;
      const std::string name = "data/f" + std::to_string(i);
      if (i % 2 == 0) {
        EXPECT_EQ(contents[static_cast<size_t>(i)], got[static_cast<size_t>(i)]) << name;
      } else {
        EXPECT_EQ(contents[static_cast<size_t>(i)], readFile(dir / name)) << name;
      }
    }
    harness.fLogger.clear();
  }
}
