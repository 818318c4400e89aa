// Numbered transfers: whole files moved both ways in chunks, the limits and
// mode rules of each request, and transfers from several threads at once.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <thread>

#include "PServiceTest.h"

namespace {

const std::wstring kModule = L"com.quorbex.zevo.fileaccess";
const std::vector<unsigned char> kEmptyBlock = {0x85, 0, 0, 0, 0};

class Transfers : public PServiceTest<> {
 protected:
  int open(const std::wstring& iPath, int iMode, int& oStatus) {
    PCommsMessage reply = harness.call(1001, PPayload().str(iPath).i32(iMode).data());
    oStatus = statusOf(reply);
    EXPECT_EQ(kModule, moduleOf(reply));
    return replyInt32(reply);
  }
  int open(const std::wstring& iPath, int iMode) {
    int status = -1;
    const int id = open(iPath, iMode, status);
    EXPECT_EQ(0, status);
    EXPECT_NE(0, id);
    return id;
  }

  // Reads a transfer to its end, as a peer does.
  std::vector<unsigned char> download(int iID, int iChunk) {
    std::vector<unsigned char> all;
    for (;;) {
      PCommsMessage reply = next(iID, iChunk);
      const std::vector<unsigned char> chunk = replyBytes(reply);
      if (statusOf(reply) == ERR_END_OF_FILE || (statusOf(reply) == 0 && chunk.empty())) break;
      EXPECT_EQ(0, statusOf(reply));
      if (statusOf(reply) != 0) break;
      EXPECT_LE(chunk.size(), static_cast<size_t>(iChunk));
      all.insert(all.end(), chunk.begin(), chunk.end());
    }
    return all;
  }
};

}  // namespace

TEST_F(Transfers, DownloadsWholeFilesInChunks) {
  const int descriptors = openDescriptorCount();
  for (size_t size : {0u, 1u, 8191u, 8192u, 8193u, 3u * 1024 * 1024 + 17}) {
    SCOPED_TRACE(size);
    const std::vector<unsigned char> content = patternBytes(size, static_cast<unsigned int>(size));
    writeFile(dir / "data/down", content);
    const int id = open(t + L"/data/down", 1);
    EXPECT_EQ(content, download(id, 8192));
    // At the end every further read says so with an empty block.
    PCommsMessage reply = next(id, 8192);
    EXPECT_EQ(ERR_END_OF_FILE, statusOf(reply));
    EXPECT_EQ(kEmptyBlock, reply.fData);
    EXPECT_EQ(0, close(id));
  }
  const std::vector<unsigned char> content = patternBytes(10000, 3);
  writeFile(dir / "data/odd", content);
  const int id = open(t + L"/data/odd", 1);
  EXPECT_EQ(content, download(id, 999)) << "any chunk size from 1 to 8192";
  EXPECT_EQ(0, close(id));
  EXPECT_EQ(descriptors, openDescriptorCount());
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[actionCloseFileTransfer] file with transferId=[" +
                                                       std::to_wstring(id) + L"] closed"));
}

TEST_F(Transfers, UploadsWholeFilesInChunks) {
  writeFile(dir / "data/up", patternBytes(100000, 9));  // replaced, not appended to
  for (size_t size : {0u, 1u, 8192u, 8193u, 2u * 1024 * 1024 + 5}) {
    SCOPED_TRACE(size);
    const std::vector<unsigned char> content = patternBytes(size, static_cast<unsigned int>(size) + 1);
    const int id = open(t + L"/data/up", 2);
    for (size_t offset = 0; offset < content.size(); offset += 8192) {
      const size_t end = std::min(content.size(), offset + 8192);
      PCommsMessage reply = put(id, std::vector<unsigned char>(content.begin() + offset, content.begin() + end));
      ASSERT_EQ(0, statusOf(reply));
      EXPECT_EQ(kModule, moduleOf(reply));
      EXPECT_TRUE(reply.fData.empty());
    }
    EXPECT_EQ(0, statusOf(put(id, {}))) << "an empty block writes nothing and succeeds";
    EXPECT_EQ(0, close(id));
    EXPECT_EQ(content, readFile(dir / "data/up"));
  }
  // One large block: SetNextFileData has no chunk limit of its own.
  const std::vector<unsigned char> big = patternBytes(300000, 4);
  const int id = open(t + L"/data/big", 2);
  EXPECT_EQ(0, statusOf(put(id, big)));
  EXPECT_EQ(0, close(id));
  EXPECT_EQ(big, readFile(dir / "data/big"));
  struct stat info;
  ASSERT_EQ(0, stat((dir / "data/big").c_str(), &info));
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(0644u & ~mask, info.st_mode & 0777u);
}

TEST_F(Transfers, OpeningFollowsThePolicyAndTheMode) {
  writeFile(dir / "data/f", patternBytes(20, 5));
  int status = 0;
  EXPECT_EQ(0, open(t + L"/data/f", 0, status)) << "mode 0 asks for nothing";
  EXPECT_EQ(ERR_ACCESS_DENIED, status);
  EXPECT_EQ(0, open(t + L"/outside", 1, status));
  EXPECT_EQ(ERR_ACCESS_DENIED, status);
  EXPECT_EQ(0, open(t + L"/data/missing", 1, status));
  EXPECT_EQ(PERR_NOT_FOUND, status);
  EXPECT_EQ(0, open(t + L"/data/nodir/new", 2, status));
  EXPECT_EQ(PERR_NOT_FOUND, status) << "no directory is created for an upload";
  EXPECT_EQ(0, open(t + L"/data", 1, status));  // judged by T/, refused
  EXPECT_EQ(ERR_ACCESS_DENIED, status);

  // Mode 3 opens for reading: the file is not truncated and a write fails.
  const int both = open(t + L"/data/f", 3);
  EXPECT_EQ(patternBytes(20, 5), download(both, 8192));
  EXPECT_EQ(ERR_FAILED, statusOf(put(both, {1, 2, 3})));
  EXPECT_EQ(0, close(both));
  EXPECT_EQ(patternBytes(20, 5), readFile(dir / "data/f"));

  // A read-only policy accepts mode 3 (one bit is granted) but not mode 2.
  PPluginHarness readOnly;
  ASSERT_EQ(0, readOnly.start(t + L"/data/", L"", L"", L""));
  PCommsMessage reply = readOnly.call(1001, PPayload().str(t + L"/data/f").i32(2).data());
  EXPECT_EQ(ERR_ACCESS_DENIED, statusOf(reply));
  EXPECT_EQ(std::vector<unsigned char>({0x03, 0, 0, 0, 0}), reply.fData);
  reply = readOnly.call(1001, PPayload().str(t + L"/data/f").i32(3).data());
  EXPECT_EQ(0, statusOf(reply));
  EXPECT_EQ(0, statusOf(readOnly.call(1004, PPayload().i32(replyInt32(reply)).data())));

  reply = harness.call(1001, PPayload().str(t + L"/data/f").data());
  EXPECT_EQ(ERR_DATA_SHORT, statusOf(reply)) << "the mode is missing";
  EXPECT_EQ(L"", moduleOf(reply));
  reply = harness.call(1001, PPayload().str(t + L"/data/f").raw({0x04, 1, 0, 0, 0, 0, 0, 0, 0}).data());
  EXPECT_EQ(ERR_DATA_TYPE, statusOf(reply));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_ERROR, L"[actionStartFileTransfer] Error reading mode [-9002]"));
}

TEST_F(Transfers, ChunkRequestsCheckSizeIdentityAndMode) {
  writeFile(dir / "data/f", patternBytes(9000, 6));
  const int reading = open(t + L"/data/f", 1);
  const int writing = open(t + L"/data/w", 2);

  for (int size : {0, 8193, -1, 0x7FFFFFFF}) {
    SCOPED_TRACE(size);
    PCommsMessage reply = next(reading, size);
    EXPECT_EQ(ERR_PACKET_SIZE, statusOf(reply));
    EXPECT_EQ(kModule, moduleOf(reply));
    EXPECT_EQ(kEmptyBlock, reply.fData);
    EXPECT_EQ(ERR_PACKET_SIZE, statusOf(next(424242, size))) << "the size is judged before the ID";
  }
  EXPECT_EQ(8192u, replyBytes(next(reading, 8192)).size());

  PCommsMessage reply = next(424242, 10);
  EXPECT_EQ(ERR_FAILED, statusOf(reply));
  EXPECT_EQ(kEmptyBlock, reply.fData);
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_ERROR, L"[actionGetNextFileData] Invalid transferID [424242]"));
  EXPECT_EQ(ERR_FAILED, statusOf(put(424242, {1})));
  // An unknown transfer is refused before its block is even read.
  EXPECT_EQ(ERR_FAILED, statusOf(harness.call(1003, PPayload().i32(424242).raw({0x01}).data())));

  reply = next(writing, 10);
  EXPECT_EQ(ERR_ACCESS_DENIED, statusOf(reply));
  EXPECT_EQ(kEmptyBlock, reply.fData);
  EXPECT_EQ(ERR_ACCESS_DENIED, statusOf(put(reading, {9, 9, 9})));
  EXPECT_EQ(patternBytes(9000, 6), readFile(dir / "data/f"));

  // A block that claims more bytes than follow: the reader's code in a
  // filled reply, nothing written.
  reply = harness.call(1003, PPayload().i32(writing).raw({0x85, 10, 0, 0, 0, 1, 2, 3}).data());
  EXPECT_EQ(ERR_DATA_SHORT, statusOf(reply));
  EXPECT_EQ(kModule, moduleOf(reply));
  reply = harness.call(1003, PPayload().i32(writing).raw({0x85, 0xFF, 0xFF, 0xFF, 0xFF}).data());
  EXPECT_EQ(ERR_DATA_SHORT, statusOf(reply));
  reply = harness.call(1003, PPayload().i32(writing).i32(5).data());
  EXPECT_EQ(ERR_DATA_TYPE, statusOf(reply));
  EXPECT_TRUE(readFile(dir / "data/w").empty());

  reply = harness.call(1002, PPayload().i32(reading).data());
  EXPECT_EQ(ERR_DATA_SHORT, statusOf(reply)) << "the packet size is missing";
  EXPECT_EQ(L"", moduleOf(reply));

  // Closing ends a transfer; closing again, or an ID never opened, succeeds.
  EXPECT_EQ(0, close(reading));
  EXPECT_EQ(0, close(reading));
  EXPECT_EQ(0, close(0));
  EXPECT_EQ(ERR_FAILED, statusOf(next(reading, 10)));
  EXPECT_EQ(0, close(writing));
  EXPECT_EQ(ERR_FAILED, statusOf(put(writing, {1})));
  reply = harness.call(1004, {});
  EXPECT_EQ(ERR_DATA_SHORT, statusOf(reply));
  EXPECT_EQ(L"", moduleOf(reply));
}

TEST_F(Transfers, EachOpeningGetsItsOwnIdAndPosition) {
  const std::vector<unsigned char> content = patternBytes(20000, 8);
  writeFile(dir / "data/shared", content);
  std::set<int> ids;
  std::vector<int> open_ids;
  for (int i = 0; i < 50; ++i) {
    const int id = open(t + L"/data/shared", 1);
    EXPECT_NE(0, id);
    ids.insert(id);
    open_ids.push_back(id);
  }
  EXPECT_EQ(50u, ids.size()) << "IDs drawn within one tick must still differ";
  // Interleaved reads: each transfer keeps its own position.
  std::vector<std::vector<unsigned char>> got(3);
  for (int round = 0; round < 3; ++round) {
    for (int k = 0; k < 3; ++k) {
      std::vector<unsigned char> chunk = replyBytes(next(open_ids[k], 7000));
      got[k].insert(got[k].end(), chunk.begin(), chunk.end());
    }
  }
  for (int k = 0; k < 3; ++k) EXPECT_EQ(content, got[k]);
  for (int id : open_ids) EXPECT_EQ(0, close(id));
}

TEST_F(Transfers, DestroyingTheServiceDropsOpenTransfers) {
  writeFile(dir / "data/f", patternBytes(10, 1));
  const int descriptors = openDescriptorCount();
  for (int i = 0; i < 5; ++i) open(t + L"/data/f", 1);
  open(t + L"/data/g", 2);
  EXPECT_EQ(descriptors + 6, openDescriptorCount());
  harness.stop();
  harness.fDispatcher.fHeld.clear();
  EXPECT_EQ(descriptors, openDescriptorCount());
  EXPECT_EQ(0u, harness.fLogger.count(L"[actionCloseFileTransfer]"));
}

TEST_F(Transfers, ConcurrentTransfersFromSeveralThreads) {
  constexpr int kThreads = 4;
  std::vector<std::vector<unsigned char>> contents;
  for (int i = 0; i < kThreads; ++i) {
    contents.push_back(patternBytes(200000 + 1234 * i, 20 + i));
    writeFile(dir / ("data/src" + std::to_string(i)), contents.back());
  }
  std::vector<std::thread> threads;
  std::vector<std::vector<unsigned char>> downloaded(kThreads);
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      const std::wstring index = std::to_wstring(i);
      const int in = open(t + L"/data/src" + index, 1);
      const int out = open(t + L"/data/dst" + index, 2);
      for (;;) {
        PCommsMessage reply = next(in, 4096);
        if (statusOf(reply) != 0) break;
        const std::vector<unsigned char> chunk = replyBytes(reply);
        if (chunk.empty()) break;
        downloaded[i].insert(downloaded[i].end(), chunk.begin(), chunk.end());
        EXPECT_EQ(0, statusOf(put(out, chunk)));
      }
      EXPECT_EQ(0, close(in));
      EXPECT_EQ(0, close(out));
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(contents[i], downloaded[i]);
    EXPECT_EQ(contents[i], readFile(dir / ("data/dst" + std::to_string(i))));
  }
}

TEST_F(Transfers, CloseRacingChunksOfTheSameTransfer) {
  writeFile(dir / "data/f", patternBytes(1 << 20, 2));
  const int descriptors = openDescriptorCount();
  for (int round = 0; round < 20; ++round) {
    const int id = open(t + L"/data/f", 1);
    std::thread reader([&] {
      for (int k = 0; k < 50; ++k) {
        const int status = statusOf(next(id, 8192));
        // Before the close: data; after it: gone or ended.
        EXPECT_TRUE(status == 0 || status == ERR_FAILED || status == ERR_END_OF_FILE) << status;
      }
    });
    std::this_thread::yield();
    EXPECT_EQ(0, close(id));
    reader.join();
  }
  EXPECT_EQ(descriptors, openDescriptorCount());
}
