// The one-shot requests on real trees: dispatch and the reply convention,
// the access policy, and each action's outcomes element for element.
#include <sys/stat.h>

#include <algorithm>

#include "PPluginHarness.h"
#include "zevo/PEndian.h"
#include "zevo/protocol/PFileAccessProtocol.h"

namespace {

const Bytes kEmptyList = {0x87, 0, 0, 0, 0};

// T/data/{a.txt, sub/{b.txt, deeper/c.txt}}, T/database/d.txt.
class Requests : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir / "data/sub/deeper");
    std::filesystem::create_directories(dir / "database");
    for (const char* name : {"data/a.txt", "data/sub/b.txt", "data/sub/deeper/c.txt", "database/d.txt"}) writeFile(dir / name, Bytes(10, 1));
  }
  // The policy's lists; "T/" in an entry stands for the temporary directory.
  int start(const std::wstring& iRead, const std::wstring& iReadTree, const std::wstring& iWriteTree) {
    auto expand = [&](std::wstring iList) {
      for (size_t at; (at = iList.find(L"T/")) != std::wstring::npos;) iList.replace(at, 2, dir.wide());
      return iList;
    };
    return harness.start(expand(iRead), L"", expand(iReadTree), expand(iWriteTree));
  }
  PCommsMessage call(uint32_t iAction, const std::string& iName) { return harness.call(iAction, PPayload().str(dir.wide(iName))); }

  PTempDir dir;
  PPluginHarness harness;
};

}  // namespace

TEST_F(Requests, OnlyTheServicesTopicEventsAndActionsAreHandled) {
  ASSERT_EQ(0, start(L"", L"/", L""));
  const std::wstring topic(kFileAccessTopic);
  for (const std::wstring& other : {std::wstring(L"com.quorbex.zevo.other"), topic.substr(0, topic.size() - 1), topic + L"s"}) {
    EXPECT_TRUE(harness.deliver(kIsExists, PPayload().str(L"/x"), other).empty());
  }
  harness.listener()->notify(PLiteral(kFileAccessTopic), nullptr, 0);
  EXPECT_TRUE(harness.fComms.replies().empty());
  for (uint32_t action : {0u, 1000u, 1005u, 2000u, 2008u, 0x80000000u | kStartFileTransfer, 0xFFFFFFFFu}) {
    const PCommsMessage reply = harness.call(action, PPayload().str(L"/x"));
    EXPECT_EQ(std::make_tuple(0, std::wstring(), 0lu), std::make_tuple(statusOf(reply), moduleOf(reply), reply.fData.size())) << action;
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
      const PCommsMessage reply = harness.call(action, payload);
      EXPECT_EQ(std::make_tuple(code, std::wstring(), 0lu), std::make_tuple(statusOf(reply), moduleOf(reply), reply.fData.size())) << action;
    }
  }
  EXPECT_EQ(ERR_DATA_ENCODING, statusOf(harness.call(kIsExists, PPayload().raw({0x86, 2, 0, 0, 0, 0xC3, 0x28}))));
  // ListDir answers an unreadable path as the empty one: not a directory here...
  PCommsMessage reply = harness.call(kListDir, {});
  EXPECT_EQ(std::make_tuple(ERR_FAILED, std::wstring(kFileAccessModuleW), kEmptyList),
            std::make_tuple(statusOf(reply), moduleOf(reply), reply.fData));
  // ...and refused where "/", by which it is judged, is not granted.
  ASSERT_EQ(0, start(L"T/data", L"", L""));
  EXPECT_EQ(ERR_ACCESS_DENIED, statusOf(harness.call(kListDir, {})));
}

TEST_F(Requests, ThePolicyJudgesTheDirectoryThatHoldsThePath) {
  struct Case {
    std::wstring fRead, fReadTree, fWriteTree;
    uint32_t fAction;
    std::string fPath;  // relative to T, or as it stands after "="
    int fStatus;
  };
  const Case cases[] = {
      // A plain entry covers its own directory only; a path ending in "/" is judged by itself.
      {L"T/data", L"", L"", kIsExists, "data//a.txt", 0},
      {L"T/data", L"", L"", kIsExists, "data/sub", 0},
      {L"T/data", L"", L"", kIsExists, "data/sub/b.txt", ERR_ACCESS_DENIED},
      {L"T/data", L"", L"", kIsExists, "data/sub/", ERR_ACCESS_DENIED},
      {L"T/data", L"", L"", kIsExists, "data", ERR_ACCESS_DENIED},
      {L"T/data", L"", L"", kIsExists, "database/d.txt", ERR_ACCESS_DENIED},
      // A tree covers everything below it, whole components only.
      {L"", L"T/data/", L"", kIsExists, "data/sub/deeper/", 0},
      {L"", L"T/data/", L"", kIsExists, "database/d.txt", ERR_ACCESS_DENIED},
      // Read and write are independent.
      {L"", L"", L"T/data", kIsExists, "data/sub/b.txt", ERR_ACCESS_DENIED},
      {L"", L"", L"T/data", kMakeDir, "data/sub/new", 0},
      {L"", L"/", L"", kDeleteFile, "data/a.txt", ERR_ACCESS_DENIED},
      {L"", L"", L"", kIsExists, "=/", ERR_ACCESS_DENIED},
      // Lists as a person writes them: blanks, empty pieces, doubled separators.
      {L"T/database,  T/data//sub/ ,, ", L"", L"", kIsExists, "data/sub/b.txt", 0},
      {L"T/database,  T/data//sub/ ,, ", L"", L"", kIsExists, "database/d.txt", 0},
      {L"T/database,  T/data//sub/ ,, ", L"", L"", kIsExists, "=bare", ERR_ACCESS_DENIED},  // an empty piece is not "/"
      // A bare name lies in "/"; a relative directory is not an absolute one.
      {L"/", L"", L"", kIsExists, "=bare", 0},
      {L"/", L"", L"", kIsExists, "=etc/passwd", ERR_ACCESS_DENIED},
      // The text of ".." lies under the tree: the porting layer refuses it.
      {L"", L"T/data/", L"T/data/", kGetFileSize, "data/../database/d.txt", PERR_INVALID_PATH},
      {L"", L"T/data/", L"T/data/", kDeleteFile, "data/../database/d.txt", PERR_INVALID_PATH},
  };
  for (const Case& test : cases) {
    ASSERT_EQ(0, start(test.fRead, test.fReadTree, test.fWriteTree));
    const PCommsMessage reply =
        harness.call(test.fAction, PPayload().str(test.fPath[0] == '=' ? widen(test.fPath.substr(1)) : dir.wide(test.fPath)));
    EXPECT_EQ(test.fStatus, statusOf(reply)) << test.fAction << " " << test.fPath;
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir / "data/sub/new") && std::filesystem::exists(dir / "database/d.txt"));
}

TEST_F(Requests, QueriesAndListingsElementForElement) {
  ASSERT_EQ(0, start(L"", L"T/data/", L""));
  ASSERT_EQ(0, ::mkfifo((dir / "data/fifo").c_str(), 0600));
  ASSERT_TRUE(makeSparse(dir / "data/big", 5LL << 30));
  writeFile(dir / "data/sub/.hidden", {});
  std::filesystem::create_directories(dir / "data/empty");
  const Bytes falseBool = {0x01, 0}, trueBool = {0x01, 1}, zeroSize = {0x04, 0, 0, 0, 0, 0, 0, 0, 0};
  const std::tuple<uint32_t, std::string, int, Bytes> cases[] = {
      {kIsFile, "data/a.txt", 0, trueBool},
      {kIsFile, "data/sub", 0, falseBool},
      {kIsFile, "data/missing", ERR_FAILED, falseBool},
      {kIsFile, "data/fifo", ERR_NOT_FILE_OR_DIR, falseBool},
      {kIsFile, "database/d.txt", ERR_ACCESS_DENIED, falseBool},
      {kIsExists, "data/sub", 0, trueBool},
      {kIsExists, "data/nothing", 0, falseBool},
      {kGetFileSize, "data/a.txt", 0, {0x04, 10, 0, 0, 0, 0, 0, 0, 0}},
      {kGetFileSize, "data/big", 0, {0x04, 0, 0, 0, 0x40, 1, 0, 0, 0}},
      {kGetFileSize, "data/missing", PERR_NOT_FOUND, zeroSize},
      {kGetFileSize, "data/sub", PERR_IS_DIR, zeroSize},
      {kGetFileSize, "database/d.txt", ERR_ACCESS_DENIED, zeroSize},
      {kListDir, "data/empty/", 0, kEmptyList},
      {kListDir, "data/a.txt", ERR_FAILED, kEmptyList},
      {kListDir, "data/none", ERR_FAILED, kEmptyList},
      {kListDir, "data", ERR_ACCESS_DENIED, kEmptyList},
  };
  const int descriptors = descriptorCount();
  for (const auto& [action, path, status, data] : cases) {
    const PCommsMessage reply = call(action, path);
    EXPECT_EQ(std::make_tuple(status, std::wstring(kFileAccessModuleW), data), std::make_tuple(statusOf(reply), moduleOf(reply), reply.fData))
        << action << " " << path;
  }
  EXPECT_EQ(descriptors, descriptorCount()) << "no descriptor outlives a query";
  std::vector<std::wstring> names = replyStrings(call(kListDir, "data/sub"));
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::wstring>{L".hidden", L"b.txt", L"deeper"}), names);
  zevoSetEndiannessOverride(1);  // as on a host whose payload values are reversed
  const PCommsMessage reply = call(kGetFileSize, "data/a.txt");
  zevoSetEndiannessOverride(-1);
  EXPECT_EQ((Bytes{0x04, 0, 0, 0, 0, 0, 0, 0, 10}), reply.fData);
}

TEST_F(Requests, MakeDirAndDeletesReportWhatHappened) {
  ASSERT_EQ(0, start(L"", L"", L"T/data/"));
  std::filesystem::create_directories(dir / "data/full/x");
  const std::tuple<uint32_t, std::string, int> steps[] = {
      {kMakeDir, "data/a/b/c", 0},        {kMakeDir, "data/a/b/c", 0},           {kMakeDir, "data/a.txt", 0},
      {kMakeDir, "data/a.txt/sub", PERR_EXISTS}, {kDeleteFile, "data/sub", PERR_IS_DIR}, {kDeleteDir, "data/a.txt", PERR_NOT_DIR},
      {kDeleteDir, "data/full", PERR_NOT_EMPTY}, {kDeleteFile, "data/a.txt", 0},     {kDeleteFile, "data/a.txt", PERR_NOT_FOUND},
      {kDeleteDir, "data/a/b/c", 0},      {kDeleteDir, "data/a/b/c", PERR_NOT_FOUND}};
  for (const auto& [action, path, status] : steps) {
    const PCommsMessage reply = call(action, path);
    EXPECT_EQ(std::make_tuple(status, std::wstring(kFileAccessModuleW), 0lu), std::make_tuple(statusOf(reply), moduleOf(reply), reply.fData.size()))
        << action << " " << path;
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir / "data/a/b") && std::filesystem::exists(dir / "data/full/x"));
  // A plain entry checks only the parent: data/new is judged by data/.
  PPluginHarness plain;
  ASSERT_EQ(0, plain.start(L"", dir.wide("data/"), L"", L""));
  EXPECT_EQ(0, statusOf(plain.call(kMakeDir, PPayload().str(dir.wide("data/new")))));
  EXPECT_EQ(ERR_ACCESS_DENIED, statusOf(plain.call(kMakeDir, PPayload().str(dir.wide("data/other/")))));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "data/new") && !std::filesystem::exists(dir / "data/other"));
}
