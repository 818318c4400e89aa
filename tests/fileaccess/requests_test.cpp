// The service's requests on real trees, as a peer sees them: dispatch and
// the reply convention, the access policy, each one-shot action's outcomes
// element for element, numbered transfers, and what a peer sees when the
// system fails a call (faults injected through the porting layer's
// system-call table, with links followed and refused: the calls differ).
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <set>
#include <thread>
#include <utility>

#include "PPluginHarness.h"
#include "zevo/PEndian.h"
#include "zevo/portinglayer/PSysCalls.h"
#include "zevo/protocol/PFileAccessProtocol.h"

namespace {

const std::wstring kModule = kFileAccessModuleW;
const Bytes kFalse = {0x01, 0}, kTrue = {0x01, 1}, kNoID = {0x03, 0, 0, 0, 0}, kNoSize = {0x04, 0, 0, 0, 0, 0, 0, 0, 0},
            kEmptyBlock = {0x85, 0, 0, 0, 0}, kEmptyList = {0x87, 0, 0, 0, 0};

using Reply = std::tuple<int, std::wstring, Bytes>;  // status, module ID, payload
Reply whole(const PCommsMessage& iReply) { return {statusOf(iReply), moduleOf(iReply), iReply.fData}; }

// The service on a temporary tree T, by default granted both ways.
class Transfers : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, start(L"", L"", L"T/", L"T/")); }
  // The policy's lists; "T/" in an entry stands for the temporary directory.
  int start(std::wstring iRead, std::wstring iWrite, std::wstring iReadTree, std::wstring iWriteTree) {
    const std::wstring root = dir.wide();  // may itself end in "T/"
    for (std::wstring* list : {&iRead, &iWrite, &iReadTree, &iWriteTree}) {
      for (size_t at = 0; (at = list->find(L"T/", at)) != std::wstring::npos; at += root.size()) list->replace(at, 2, root);
    }
    return harness.start(iRead, iWrite, iReadTree, iWriteTree);
  }
  // A request on a path in T (after "=": as it stands); StartFileTransfer adds the mode.
  PCommsMessage call(uint32_t iAction, const std::string& iName, int iMode = 0) {
    PPayload payload;
    payload.str(iName[0] == '=' ? widen(iName.substr(1)) : dir.wide(iName));
    return harness.call(iAction, iAction == kStartFileTransfer ? payload.i32(iMode) : payload);
  }
  int open(const std::string& iName, int iMode) { return replyInt32(call(kStartFileTransfer, iName, iMode)); }  // 0: not opened
  PCommsMessage next(int iID, int iSize) { return harness.call(kGetNextFileData, PPayload().i32(iID).i32(iSize)); }
  PCommsMessage put(int iID, const Bytes& iBytes) { return harness.call(kSetNextFileData, PPayload().i32(iID).bytes(iBytes)); }
  int close(int iID) { return statusOf(harness.call(kCloseFileTransfer, PPayload().i32(iID))); }
  Bytes download(int iID, int iChunk) {  // to the end: -510, or 0 with an empty block (a failure's block is empty too)
    Bytes all;
    for (Bytes chunk; !(chunk = replyBytes(next(iID, iChunk))).empty(); all.insert(all.end(), chunk.begin(), chunk.end())) {
      EXPECT_LE(chunk.size(), static_cast<size_t>(iChunk));
    }
    return all;
  }

  PTempDir dir;
  PPluginHarness harness;
};

// T/data/{a.txt, sub/{b.txt, deeper/c.txt}}, T/database/d.txt; each test sets its policy.
class Requests : public Transfers {
 protected:
  void SetUp() override {
    for (const char* name : {"data/sub/deeper", "database"}) std::filesystem::create_directories(dir / name);
    for (const char* name : {"data/a.txt", "data/sub/b.txt", "data/sub/deeper/c.txt", "database/d.txt"}) {
      writeFile(dir / name, Bytes(10, 1));
    }
  }
};

}  // namespace

TEST_F(Requests, OnlyTheServicesTopicEventsAndActionsAreHandled) {
  ASSERT_EQ(0, start(L"", L"", L"/", L""));
  const std::wstring topic(kFileAccessTopic);
  for (const std::wstring& other : {topic.substr(0, topic.size() - 1), topic + L"s"}) {
    EXPECT_TRUE(harness.deliver(kIsExists, PPayload().str(L"/x"), other).empty());
  }
  harness.listener()->notify(PLiteral(kFileAccessTopic), nullptr, 0);
  EXPECT_TRUE(harness.fComms.replies().empty());
  for (uint32_t action : {0u, 1005u, 2000u, 2008u, 0x80000000u | kStartFileTransfer}) {
    EXPECT_EQ(Reply(0, L"", {}), whole(harness.call(action, PPayload().str(L"/x")))) << action;
  }
  harness.fComms.fSendResult = ERR_COMMS_CLOSED;  // a failed send leaves it serving
  EXPECT_EQ(1u, harness.deliver(kIsExists, PPayload().str(L"/x")).size());
  harness.fComms.fSendResult = 0;
  EXPECT_EQ(0, statusOf(harness.call(kIsExists, PPayload().str(L"/x"))));
  // Unreadable requests: the reader's code, an empty module ID, nothing else.
  const Bytes shortInt = {0x03, 0xE8, 0x03, 0x00}, wrongTag = {0x02, 0, 0, 0, 0, 0};
  for (uint32_t action : {kStartFileTransfer, kGetNextFileData, kSetNextFileData, kCloseFileTransfer, kGetFileSize, kIsExists,
                          kIsFile, kMakeDir, kDeleteFile, kDeleteDir}) {
    for (const auto& [payload, code] : {std::pair{Bytes{}, ERR_DATA_SHORT}, {shortInt, ERR_DATA_SHORT}, {wrongTag, ERR_DATA_TYPE}}) {
      EXPECT_EQ(Reply(code, L"", {}), whole(harness.call(action, payload))) << action;
    }
  }
  EXPECT_EQ(ERR_DATA_ENCODING, statusOf(harness.call(kIsExists, PPayload().raw({0x86, 2, 0, 0, 0, 0xC3, 0x28}))));
  // ListDir answers an unreadable path as the empty one: not a directory here...
  EXPECT_EQ(Reply(ERR_FAILED, kModule, kEmptyList), whole(harness.call(kListDir, {})));
  // ...and refused where "/", by which it is judged, is not granted.
  ASSERT_EQ(0, start(L"T/data", L"", L"", L""));
  EXPECT_EQ(ERR_ACCESS_DENIED, statusOf(harness.call(kListDir, {})));
}

TEST_F(Requests, ThePolicyJudgesTheDirectoryThatHoldsThePath) {
  const int kNo = ERR_ACCESS_DENIED;
  // The lists (read, write, read tree, write tree), then requests and their statuses.
  const std::pair<std::array<std::wstring, 4>, std::vector<std::tuple<uint32_t, std::string, int>>> cases[] = {
      // A plain entry covers its own directory only; a path ending in "/" is judged by itself.
      {{L"T/data", L"", L"", L""}, {{kIsExists, "data//a.txt", 0}, {kIsExists, "data/sub", 0}, {kIsExists, "data/sub/b.txt", kNo},
                                    {kIsExists, "data/sub/", kNo}, {kIsExists, "data", kNo}, {kIsExists, "database/d.txt", kNo}}},
      {{L"", L"T/data/", L"", L""}, {{kMakeDir, "data/new", 0}, {kMakeDir, "data/other/", kNo}}},
      // A tree covers everything below it, whole components only.
      {{L"", L"", L"T/data/", L""}, {{kIsExists, "data/sub/deeper/", 0}, {kIsExists, "database/d.txt", kNo}}},
      // Read and write are independent.
      {{L"", L"", L"", L"T/data"}, {{kIsExists, "data/sub/b.txt", kNo}, {kMakeDir, "data/sub/new", 0}}},
      {{L"", L"", L"/", L""}, {{kDeleteFile, "data/a.txt", kNo}}},
      {{L"", L"", L"", L""}, {{kIsExists, "=/", kNo}}},
      // Lists as a person writes them: blanks, empty pieces (not "/"), doubled separators.
      {{L"T/database,  T/data//sub/ ,, ", L"", L"", L""},
       {{kIsExists, "data/sub/b.txt", 0}, {kIsExists, "database/d.txt", 0}, {kIsExists, "=bare", kNo}}},
      // A bare name lies in "/"; a relative directory is not an absolute one.
      {{L"/", L"", L"", L""}, {{kIsExists, "=bare", 0}, {kIsExists, "=etc/passwd", kNo}}},
      // The text of ".." lies under the tree: the porting layer refuses it.
      {{L"", L"", L"T/data/", L"T/data/"},
       {{kGetFileSize, "data/../database/d.txt", PERR_INVALID_PATH}, {kDeleteFile, "data/../database/d.txt", PERR_INVALID_PATH}}},
  };
  for (const auto& [lists, requests] : cases) {
    ASSERT_EQ(0, start(lists[0], lists[1], lists[2], lists[3]));
    for (const auto& [action, path, status] : requests) EXPECT_EQ(status, statusOf(call(action, path))) << action << " " << path;
  }
  for (const char* made : {"data/new", "data/sub/new"}) EXPECT_TRUE(std::filesystem::is_directory(dir / made)) << made;
  EXPECT_TRUE(!std::filesystem::exists(dir / "data/other") && std::filesystem::exists(dir / "database/d.txt"));
}

TEST_F(Requests, EachActionAnswersElementForElement) {
  ASSERT_EQ(0, start(L"", L"", L"T/data/", L"T/data/"));
  ASSERT_TRUE(::mkfifo((dir / "data/fifo").c_str(), 0600) == 0 && makeSparse(dir / "data/big", 5LL << 30));
  writeFile(dir / "data/sub/.hidden", {});
  for (const char* name : {"data/empty", "data/full/x"}) std::filesystem::create_directories(dir / name);
  const Bytes size10 = {0x04, 10, 0, 0, 0, 0, 0, 0, 0}, size5G = {0x04, 0, 0, 0, 0x40, 1, 0, 0, 0};
  const std::tuple<uint32_t, std::string, int, Bytes> cases[] = {
      {kIsFile, "data/a.txt", 0, kTrue}, {kIsFile, "data/sub", 0, kFalse}, {kIsFile, "data/missing", ERR_FAILED, kFalse},
      {kIsFile, "data/fifo", ERR_NOT_FILE_OR_DIR, kFalse}, {kIsFile, "database/d.txt", ERR_ACCESS_DENIED, kFalse},
      {kIsExists, "data/sub", 0, kTrue}, {kIsExists, "data/nothing", 0, kFalse},
      {kGetFileSize, "data/a.txt", 0, size10}, {kGetFileSize, "data/big", 0, size5G},
      {kGetFileSize, "data/missing", PERR_NOT_FOUND, kNoSize}, {kGetFileSize, "data/sub", PERR_IS_DIR, kNoSize},
      {kGetFileSize, "database/d.txt", ERR_ACCESS_DENIED, kNoSize}, {kListDir, "data/empty/", 0, kEmptyList},
      {kListDir, "data/a.txt", ERR_FAILED, kEmptyList}, {kListDir, "data/none", ERR_FAILED, kEmptyList},
      {kListDir, "data", ERR_ACCESS_DENIED, kEmptyList},
      // Changes, one after another: MakeDir creates parents and accepts what exists.
      {kMakeDir, "data/a/b/c", 0, {}}, {kMakeDir, "data/a/b/c", 0, {}}, {kMakeDir, "data/a.txt", 0, {}},
      {kMakeDir, "data/a.txt/sub", PERR_EXISTS, {}}, {kDeleteFile, "data/sub", PERR_IS_DIR, {}},
      {kDeleteDir, "data/a.txt", PERR_NOT_DIR, {}}, {kDeleteDir, "data/full", PERR_NOT_EMPTY, {}}, {kDeleteFile, "data/a.txt", 0, {}},
      {kDeleteFile, "data/a.txt", PERR_NOT_FOUND, {}}, {kDeleteDir, "data/a/b/c", 0, {}}, {kDeleteDir, "data/a/b/c", PERR_NOT_FOUND, {}},
  };
  const int descriptors = descriptorCount();
  for (const auto& [action, path, status, data] : cases) {
    EXPECT_EQ(Reply(status, kModule, data), whole(call(action, path))) << action << " " << path;
  }
  EXPECT_EQ(descriptors, descriptorCount()) << "no descriptor outlives a request";
  EXPECT_TRUE(std::filesystem::is_directory(dir / "data/a/b") && std::filesystem::exists(dir / "data/full/x"));
  std::vector<std::wstring> names = replyStrings(call(kListDir, "data/sub"));
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::wstring>{L".hidden", L"b.txt", L"deeper"}), names);
  zevoSetEndiannessOverride(1);  // as on a host whose payload values are reversed
  const PCommsMessage reversed = call(kGetFileSize, "data/sub/b.txt");
  zevoSetEndiannessOverride(-1);
  EXPECT_EQ((Bytes{0x04, 0, 0, 0, 0, 0, 0, 0, 10}), reversed.fData);
}

TEST_F(Transfers, WholeFilesMoveBothWaysInChunks) {
  const int descriptors = descriptorCount();
  // Each upload replaces the larger file before it. Blocks have no limit of
  // their own; chunks asked may be any size from 1 to 8192.
  for (const auto& [size, upBlock, downChunk] : {std::tuple<size_t, size_t, int>{3u * 1024 * 1024 + 17, 300000, 8192}, {8193, 8192, 999},
                                                 {8192, 8192, 8192}, {8191, 8192, 8192}, {1, 8192, 8192}, {0, 8192, 8192}}) {
    const Bytes content = patternBytes(size, static_cast<unsigned int>(size));
    const int up = open("up", 2);
    for (size_t at = 0; at < size; at += upBlock) {
      ASSERT_EQ(Reply(0, kModule, {}), whole(put(up, Bytes(content.begin() + at, content.begin() + std::min(size, at + upBlock)))));
    }
    EXPECT_EQ(Reply(0, kModule, {}), whole(put(up, {}))) << "an empty block writes nothing and succeeds";
    EXPECT_EQ(0, close(up));
    const int down = open("up", 1);
    EXPECT_EQ(content, download(down, downChunk)) << size;
    EXPECT_EQ(Reply(ERR_END_OF_FILE, kModule, kEmptyBlock), whole(next(down, 8192))) << "every further read says so";
    EXPECT_EQ(0, close(down));
  }
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(0644u & ~mask, static_cast<unsigned>(std::filesystem::status(dir / "up").permissions()));
  open("up", 1);
  harness.stop();
  harness.fDispatcher.fHeld.clear();  // a destroyed service drops what it holds open
  EXPECT_EQ(descriptors, descriptorCount());
}

TEST_F(Transfers, OpeningFollowsThePolicyAndTheMode) {
  writeFile(dir / "f", patternBytes(20, 5));
  for (const auto& [path, mode, status] : {std::tuple{"f", 0, ERR_ACCESS_DENIED}, {"=/outside", 1, ERR_ACCESS_DENIED},
                                           {"missing", 1, PERR_NOT_FOUND}, {"nodir/new", 2, PERR_NOT_FOUND}, {"", 1, PERR_IS_DIR}}) {
    EXPECT_EQ(Reply(status, kModule, kNoID), whole(call(kStartFileTransfer, path, mode))) << "no transfer opened";
  }
  const int both = open("f", 3);  // mode 3 opens for reading: nothing is truncated and a write fails
  EXPECT_EQ(patternBytes(20, 5), download(both, 8192));
  EXPECT_EQ(ERR_FAILED, statusOf(put(both, {1, 2, 3})));
  EXPECT_EQ(patternBytes(20, 5), readFile(dir / "f"));
  EXPECT_EQ(ERR_DATA_SHORT, statusOf(harness.call(kStartFileTransfer, PPayload().str(dir.wide("f")))));
  EXPECT_EQ(ERR_DATA_TYPE, statusOf(harness.call(kStartFileTransfer, PPayload().str(dir.wide("f")).raw({0x04, 1, 0, 0, 0, 0, 0, 0, 0}))));
  ASSERT_EQ(0, start(L"T/", L"", L"", L""));  // grants one bit of mode 3, none of mode 2
  EXPECT_EQ(ERR_ACCESS_DENIED, statusOf(call(kStartFileTransfer, "f", 2)));
  EXPECT_EQ(0, statusOf(call(kStartFileTransfer, "f", 3)));
}

TEST_F(Transfers, ChunkRequestsCheckSizeIdentityAndMode) {
  writeFile(dir / "f", patternBytes(9000, 6));
  const int reading = open("f", 1), writing = open("w", 2);
  for (int size : {0, 8193, -1}) {
    for (int id : {reading, 424242}) EXPECT_EQ(Reply(ERR_PACKET_SIZE, kModule, kEmptyBlock), whole(next(id, size))) << id;  // size first
  }
  const std::tuple<uint32_t, Bytes, int, Bytes> cases[] = {
      {kGetNextFileData, PPayload().i32(424242).i32(10), ERR_FAILED, kEmptyBlock},
      {kSetNextFileData, PPayload().i32(424242).raw({0x01}), ERR_FAILED, {}},  // refused before its block is read
      {kGetNextFileData, PPayload().i32(writing).i32(10), ERR_ACCESS_DENIED, kEmptyBlock},
      {kSetNextFileData, PPayload().i32(reading).bytes({9, 9, 9}), ERR_ACCESS_DENIED, {}},
      {kSetNextFileData, PPayload().i32(writing).raw({0x85, 10, 0, 0, 0, 1, 2, 3}), ERR_DATA_SHORT, {}},
      {kSetNextFileData, PPayload().i32(writing).i32(5), ERR_DATA_TYPE, {}},
  };
  for (const auto& [action, payload, status, data] : cases) {
    EXPECT_EQ(Reply(status, kModule, data), whole(harness.call(action, payload))) << ::testing::PrintToString(payload);
  }
  EXPECT_EQ(ERR_DATA_SHORT, statusOf(harness.call(kGetNextFileData, PPayload().i32(reading))));
  EXPECT_EQ(patternBytes(9000, 6), readFile(dir / "f"));
  EXPECT_TRUE(readFile(dir / "w").empty());
  EXPECT_EQ(0, close(reading) + close(reading) + close(0)) << "an ID no transfer has closes with 0";
  EXPECT_EQ(ERR_FAILED, statusOf(next(reading, 10)));
}

TEST_F(Transfers, ManyTransfersAtOnceEachWithItsOwnIdAndPosition) {
  const Bytes content = patternBytes(200000, 8);
  writeFile(dir / "shared", content);
  std::vector<int> ids;
  for (int i = 0; i < 50; ++i) ids.push_back(open("shared", 1));
  const std::set<int> unique(ids.begin(), ids.end());
  EXPECT_TRUE(unique.size() == 50 && unique.count(0) == 0) << "IDs drawn within one tick must still differ, and are never 0";
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {  // interleaved on several threads, each copying the file
    threads.emplace_back([&, i] {
      const int out = open("copy" + std::to_string(i), 2);
      for (Bytes chunk; !(chunk = replyBytes(next(ids[i], 4096))).empty();) EXPECT_EQ(0, statusOf(put(out, chunk)));
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

namespace {

int gErrno = 0, gPass = 0;  // what a fault answers; the matching calls let through first
int fail() { return errno = gErrno, -1; }
bool failNow() { return gPass-- <= 0; }
PSysCallTable& calls() { return PSysCalls::table(); }
const PSysCallTable& real() { return PSysCalls::defaults(); }
template <class R, class... A>
void fails(R (*&ioEntry)(A...)) {  // every call of the entry
  ioEntry = [](A...) -> R {
    if constexpr (std::is_pointer_v<R>) return errno = gErrno, nullptr;
    else return fail();
  };
}

class Faults : public Transfers, public ::testing::WithParamInterface<int> {
 protected:
  void TearDown() override {
    PSysCalls::restore();
    EXPECT_EQ(descriptors, descriptorCount()) << "a descriptor leaked";
  }
  void inject(int iErrno, int iPass = 0) { gErrno = iErrno, gPass = iPass; }

  PSymlinkPolicyScope policy{GetParam()};
  int descriptors = descriptorCount();
};

}  // namespace

TEST_P(Faults, EachFailureReachesThePeerAsTheLayersCode) {
  writeFile(dir / "f", patternBytes(3000));
  std::filesystem::create_directories(dir / "sub");
  const auto opens = [] {  // not the O_PATH steps of a walk
    calls().fOpen = [](const char* iPath, int iFlags, mode_t iMode) {
      return (iFlags & O_PATH) == 0 && failNow() ? fail() : real().fOpen(iPath, iFlags, iMode);
    };
    calls().fOpenat = [](int iDir, const char* iPath, int iFlags, mode_t iMode) {
      return (iFlags & O_PATH) == 0 && failNow() ? fail() : real().fOpenat(iDir, iPath, iFlags, iMode);
    };
  };
  const std::map<uint32_t, Bytes> failed = {{kStartFileTransfer, kNoID}, {kGetFileSize, kNoSize}, {kListDir, kEmptyList}};
  const std::tuple<std::function<void()>, int, uint32_t, std::string, int, int> cases[] = {
      {opens, EACCES, kStartFileTransfer, "f", 1, PERR_ACCESS}, {opens, ENOSPC, kStartFileTransfer, "new", 2, PERR_NO_SPACE},
      {opens, EMFILE, kStartFileTransfer, "f", 1, PERR_TOO_MANY_FILES}, {opens, EROFS, kStartFileTransfer, "f", 2, PERR_READ_ONLY},
      {opens, EACCES, kGetFileSize, "f", 0, PERR_ACCESS}, {opens, EMFILE, kListDir, "sub", 0, PERR_TOO_MANY_FILES},
      {[] {
         gPass = 1;  // the kind check of the open passes
         calls().fFstat = [](int iFd, struct stat* oInfo) {
           const int rc = real().fFstat(iFd, oInfo);
           return rc != 0 || !S_ISREG(oInfo->st_mode) || !failNow() ? rc : fail();
         };
       }, EIO, kGetFileSize, "f", 0, ERR_FAILED},
      {[] { fails(calls().fMkdir), fails(calls().fMkdirat); }, EROFS, kMakeDir, "a/b", 0, PERR_READ_ONLY},
      {[] { fails(calls().fUnlink), fails(calls().fUnlinkat); }, EBUSY, kDeleteFile, "f", 0, PERR_BUSY},
      {[] { fails(calls().fRmdir), fails(calls().fUnlinkat); }, EACCES, kDeleteDir, "sub", 0, PERR_ACCESS},
      {[] { fails(calls().fFdopendir); }, ENOMEM, kListDir, "sub", 0, PERR_NO_MEMORY},
  };
  for (const auto& [injection, error, action, name, mode, status] : cases) {
    inject(error);
    injection();
    const PCommsMessage reply = call(action, name, mode);
    PSysCalls::restore();
    const auto payload = failed.find(action);
    EXPECT_EQ(Reply(status, kModule, payload == failed.end() ? Bytes{} : payload->second), whole(reply)) << action << " " << name;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "new") || std::filesystem::exists(dir / "a"));
  EXPECT_TRUE(std::filesystem::exists(dir / "f") && std::filesystem::is_directory(dir / "sub"));
}

TEST_P(Faults, AFailedChunkLeavesTheTransferOpenAndTheFileAsAcknowledged) {
  const Bytes both = patternBytes(2000), first(both.begin(), both.begin() + 1000), second(both.begin() + 1000, both.end());
  const int up = open("up", 2);
  inject(ENOSPC, 1);  // the disk fills at the second chunk
  calls().fWrite = [](int iFd, const void* iBuffer, size_t iSize) {
    return failNow() ? static_cast<ssize_t>(fail()) : real().fWrite(iFd, iBuffer, iSize);
  };
  EXPECT_EQ(0, statusOf(put(up, first)));
  EXPECT_EQ(ERR_FAILED, statusOf(put(up, second)));
  PSysCalls::restore();
  EXPECT_EQ(first, readFile(dir / "up")) << "exactly the acknowledged chunks";
  EXPECT_EQ(0, statusOf(put(up, second))) << "still open: space came back";
  EXPECT_EQ(0, close(up));
  EXPECT_EQ(both, readFile(dir / "up"));

  const int down = open("up", 1);
  inject(EIO, 1);  // chunk 2 gets 300 bytes, then an input/output error
  calls().fRead = [](int iFd, void* oBuffer, size_t iSize) -> ssize_t {
    if (!failNow()) return real().fRead(iFd, oBuffer, iSize);
    return gPass == -1 ? real().fRead(iFd, oBuffer, std::min<size_t>(300, iSize)) : fail();
  };
  EXPECT_EQ(first, replyBytes(next(down, 1000)));
  const PCommsMessage failed = next(down, 1000);
  PSysCalls::restore();
  EXPECT_EQ(Reply(ERR_FAILED, kModule, kEmptyBlock), whole(failed)) << "bytes that came with the failure are dropped";
  EXPECT_EQ(second, replyBytes(next(down, 1000))) << "asked again, the chunk comes whole";
  EXPECT_EQ(0, close(down));
}

TEST_P(Faults, ACloseSaysWhetherTheDataReachedStorage) {
  writeFile(dir / "f", patternBytes(100));
  static int sFlushes, sFlushFailures, sCloseErrno;
  calls().fFdatasync = [](int iFd) { return ++sFlushes, sFlushFailures-- > 0 ? fail() : real().fFdatasync(iFd); };
  calls().fClose = [](int iFd) { return real().fClose(iFd), sCloseErrno ? errno = std::exchange(sCloseErrno, 0), -1 : 0; };
  const std::tuple<const char*, int, int, int, int, int, int> cases[] = {
      // mode, errno of the flush, flush failures, errno of close(2), status, flushes
      {"upload, flush interrupted once", 2, EINTR, 1, 0, 0, 2},
      {"upload, a file system that cannot flush", 2, EINVAL, 1, 0, 0, 1},
      {"upload, close(2) fails after the flush", 2, 0, 0, EIO, ERR_FAILED, 1},
      {"download, close(2) fails", 1, 0, 0, EIO, ERR_FAILED, 0}};
  for (const auto& [name, mode, error, flushFailures, closeErrno, status, flushes] : cases) {
    const int id = open(mode == 1 ? "f" : "up", mode);
    inject(error);
    sFlushes = 0, sFlushFailures = flushFailures, sCloseErrno = closeErrno;
    EXPECT_EQ(status, close(id)) << name;
    EXPECT_EQ(flushes, sFlushes) << name;
    EXPECT_EQ(0, close(id)) << name << ": the data is safe and the descriptor gone; the next close answers 0";
  }
  // A failed write-back: the kernel may have dropped the data, so no close
  // of it ever answers 0; the transfer stays open and usable meanwhile.
  const int id = open("up", 2);
  EXPECT_EQ(0, statusOf(put(id, {1, 2, 3})));
  inject(EIO);
  sFlushes = 0, sFlushFailures = 1;
  EXPECT_EQ(ERR_FAILED, close(id));
  EXPECT_EQ(0, statusOf(put(id, {4})));
  EXPECT_EQ(ERR_FAILED, close(id)) << "even when the next flush succeeds";
  EXPECT_EQ(2, sFlushes) << "the second close flushed again";
  EXPECT_EQ(descriptors + 1, descriptorCount()) << "the transfer keeps its descriptor until the service goes";
  PSysCalls::restore();
  harness.stop();
  harness.fDispatcher.fHeld.clear();
}

INSTANTIATE_TEST_SUITE_P(Links, Faults, ::testing::Values(PPathPolicy::SYMLINKS_FOLLOW, PPathPolicy::SYMLINKS_REFUSE),
                         [](const ::testing::TestParamInfo<int>& iInfo) { return std::string(PPathPolicy::symlinksName(iInfo.param)); });
