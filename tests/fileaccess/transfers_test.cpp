// Numbered transfers: whole files both ways in chunks, the checks of each
// request, and transfers from several threads at once.
#include <sys/stat.h>

#include <set>
#include <thread>

#include "PPluginHarness.h"
#include "zevo/protocol/PFileAccessProtocol.h"

namespace {

const Bytes kEmptyBlock = {0x85, 0, 0, 0, 0};

class Transfers : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, harness.start(L"", L"", dir.wide(), dir.wide())); }
  PCommsMessage start(const std::wstring& iPath, int iMode) { return harness.call(kStartFileTransfer, PPayload().str(iPath).i32(iMode)); }
  int open(const std::string& iName, int iMode) {
    const PCommsMessage reply = start(dir.wide(iName), iMode);
    EXPECT_EQ(0, statusOf(reply)) << iName;
    return replyInt32(reply);
  }
  PCommsMessage next(int iID, int iSize) { return harness.call(kGetNextFileData, PPayload().i32(iID).i32(iSize)); }
  int put(int iID, const Bytes& iBytes) { return statusOf(harness.call(kSetNextFileData, PPayload().i32(iID).bytes(iBytes))); }
  int close(int iID) { return statusOf(harness.call(kCloseFileTransfer, PPayload().i32(iID))); }
  Bytes download(int iID, int iChunk) {  // to the end: -510, or 0 with an empty block
    Bytes all;
    for (PCommsMessage reply; statusOf(reply = next(iID, iChunk)) == 0 && !replyBytes(reply).empty();) {
      const Bytes chunk = replyBytes(reply);
      EXPECT_LE(chunk.size(), static_cast<size_t>(iChunk));
      all.insert(all.end(), chunk.begin(), chunk.end());
    }
    return all;
  }

  PTempDir dir;
  PPluginHarness harness;
};

}  // namespace

TEST_F(Transfers, WholeFilesMoveBothWaysInChunks) {
  const int descriptors = descriptorCount();
  writeFile(dir / "up", patternBytes(100000, 9));  // replaced, not appended to
  for (size_t size : {0u, 1u, 8191u, 8192u, 8193u, 3u * 1024 * 1024 + 17}) {
    const Bytes content = patternBytes(size, static_cast<unsigned int>(size));
    const int up = open("up", 2);
    for (size_t at = 0; at < size; at += 8192) {
      const PCommsMessage reply =
          harness.call(kSetNextFileData, PPayload().i32(up).bytes(Bytes(content.begin() + at, content.begin() + std::min(size, at + 8192))));
      ASSERT_EQ(std::make_tuple(0, std::wstring(kFileAccessModuleW), 0lu), std::make_tuple(statusOf(reply), moduleOf(reply), reply.fData.size()));
    }
    EXPECT_EQ(0, put(up, {}) + close(up)) << "an empty block writes nothing and succeeds";
    const int down = open("up", 1);
    EXPECT_EQ(content, download(down, 8192)) << size;
    const PCommsMessage end = next(down, 8192);
    EXPECT_EQ(std::make_pair(ERR_END_OF_FILE, kEmptyBlock), std::make_pair(statusOf(end), end.fData)) << "every further read says so";
    EXPECT_EQ(0, close(down));
  }
  const Bytes big = patternBytes(300000, 4);  // a block has no limit of its own
  const int id = open("big", 2);
  EXPECT_EQ(0, put(id, big) + close(id));
  EXPECT_EQ(big, download(open("big", 1), 999)) << "any chunk size from 1 to 8192";
  struct stat info;
  ASSERT_EQ(0, ::stat((dir / "big").c_str(), &info));
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(0644u & ~mask, info.st_mode & 0777u);
  harness.stop();
  harness.fDispatcher.fHeld.clear();  // a destroyed service drops what it holds open
  EXPECT_EQ(descriptors, descriptorCount());
}

TEST_F(Transfers, OpeningFollowsThePolicyAndTheMode) {
  writeFile(dir / "f", patternBytes(20, 5));
  for (const auto& [path, mode, status] : {std::tuple{dir.wide("f"), 0, ERR_ACCESS_DENIED}, {L"/outside", 1, ERR_ACCESS_DENIED},
                                           {dir.wide("missing"), 1, PERR_NOT_FOUND}, {dir.wide("nodir/new"), 2, PERR_NOT_FOUND},
                                           {dir.wide(), 1, PERR_IS_DIR}}) {
    const PCommsMessage reply = start(path, mode);
    EXPECT_EQ(std::make_tuple(status, std::wstring(kFileAccessModuleW), Bytes{0x03, 0, 0, 0, 0}),
              std::make_tuple(statusOf(reply), moduleOf(reply), reply.fData)) << "no transfer opened";
  }
  const int both = open("f", 3);  // mode 3 opens for reading: nothing is truncated and a write fails
  EXPECT_EQ(patternBytes(20, 5), download(both, 8192));
  EXPECT_EQ(ERR_FAILED, put(both, {1, 2, 3}));
  EXPECT_EQ(patternBytes(20, 5), readFile(dir / "f"));
  PPluginHarness readOnly;  // grants one bit of mode 3, none of mode 2
  ASSERT_EQ(0, readOnly.start(dir.wide(), L"", L"", L""));
  EXPECT_EQ(ERR_ACCESS_DENIED, statusOf(readOnly.call(kStartFileTransfer, PPayload().str(dir.wide("f")).i32(2))));
  EXPECT_EQ(0, statusOf(readOnly.call(kStartFileTransfer, PPayload().str(dir.wide("f")).i32(3))));
  EXPECT_EQ(ERR_DATA_SHORT, statusOf(harness.call(kStartFileTransfer, PPayload().str(dir.wide("f")))));
  EXPECT_EQ(ERR_DATA_TYPE, statusOf(harness.call(kStartFileTransfer, PPayload().str(dir.wide("f")).raw({0x04, 1, 0, 0, 0, 0, 0, 0, 0}))));
}

TEST_F(Transfers, ChunkRequestsCheckSizeIdentityAndMode) {
  writeFile(dir / "f", patternBytes(9000, 6));
  const int reading = open("f", 1), writing = open("w", 2);
  for (int size : {0, 8193, -1}) {
    for (int id : {reading, 424242}) {  // the size is judged before the ID
      const PCommsMessage reply = next(id, size);
      EXPECT_EQ(std::make_tuple(ERR_PACKET_SIZE, std::wstring(kFileAccessModuleW), kEmptyBlock),
                std::make_tuple(statusOf(reply), moduleOf(reply), reply.fData)) << size;
    }
  }
  EXPECT_EQ(8192u, replyBytes(next(reading, 8192)).size());
  const std::tuple<uint32_t, Bytes, int, Bytes> cases[] = {
      {kGetNextFileData, PPayload().i32(424242).i32(10), ERR_FAILED, kEmptyBlock},
      {kSetNextFileData, PPayload().i32(424242).raw({0x01}), ERR_FAILED, {}},  // refused before its block is read
      {kGetNextFileData, PPayload().i32(writing).i32(10), ERR_ACCESS_DENIED, kEmptyBlock},
      {kSetNextFileData, PPayload().i32(reading).bytes({9, 9, 9}), ERR_ACCESS_DENIED, {}},
      {kSetNextFileData, PPayload().i32(writing).raw({0x85, 10, 0, 0, 0, 1, 2, 3}), ERR_DATA_SHORT, {}},
      {kSetNextFileData, PPayload().i32(writing).i32(5), ERR_DATA_TYPE, {}},
  };
  for (const auto& [action, payload, status, data] : cases) {
    const PCommsMessage reply = harness.call(action, payload);
    EXPECT_EQ(std::make_tuple(status, std::wstring(kFileAccessModuleW), data), std::make_tuple(statusOf(reply), moduleOf(reply), reply.fData))
        << ::testing::PrintToString(payload);
  }
  EXPECT_EQ(patternBytes(9000, 6), readFile(dir / "f"));
  EXPECT_TRUE(readFile(dir / "w").empty());
  EXPECT_EQ(ERR_DATA_SHORT, statusOf(harness.call(kGetNextFileData, PPayload().i32(reading))));
  EXPECT_EQ(0, close(reading) + close(reading) + close(0)) << "an ID no transfer has closes with 0";
  EXPECT_EQ(ERR_FAILED, statusOf(next(reading, 10)));
  EXPECT_EQ(ERR_DATA_SHORT, statusOf(harness.call(kCloseFileTransfer, {})));
}

TEST_F(Transfers, ManyTransfersAtOnceEachWithItsOwnIdAndPosition) {
  const Bytes content = patternBytes(200000, 8);
  writeFile(dir / "shared", content);
  std::vector<int> ids;
  for (int i = 0; i < 50; ++i) ids.push_back(open("shared", 1));
  EXPECT_EQ(50u, std::set<int>(ids.begin(), ids.end()).size()) << "IDs drawn within one tick must still differ";
  EXPECT_EQ(0, std::count(ids.begin(), ids.end(), 0));
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {  // interleaved on several threads, each copying the file
    threads.emplace_back([&, i] {
      const int out = open("copy" + std::to_string(i), 2);
      for (Bytes chunk; !(chunk = replyBytes(next(ids[i], 4096))).empty();) EXPECT_EQ(0, put(out, chunk));
      EXPECT_EQ(0, close(out));
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(content, readFile(dir / ("copy" + std::to_string(i))));
  for (int round = 4; round < 24; ++round) {  // a close racing the chunks of the same transfer
    std::thread reader([&] {
      for (int k = 0; k < 50; ++k) {
        const int status = statusOf(next(ids[round], 8192));
        EXPECT_TRUE(status == 0 || status == ERR_FAILED || status == ERR_END_OF_FILE) << status;
      }
    });
    EXPECT_EQ(0, close(ids[round]));
    reader.join();
  }
  for (int id : ids) EXPECT_EQ(0, close(id));
}
