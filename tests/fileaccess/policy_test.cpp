// The access policy on real directory trees: which directory each action is
// judged by, equality against prefix entries, read and write independent.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "PFakeFramework.h"
#include "PTestSupport.h"

namespace {

// A tree: T/data/{a.txt, sub/{b.txt, deeper/c.txt}}, T/database/d.txt.
class Policy : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir / "data/sub/deeper");
    std::filesystem::create_directories(dir / "database");
    for (const char* name : {"data/a.txt", "data/sub/b.txt", "data/sub/deeper/c.txt", "database/d.txt"}) {
      writeFile(dir / name, patternBytes(10));
    }
    t = dir.wide();
  }


  int exists(const std::wstring& iPath) { return statusOf(harness.call(2002, PPayload().str(iPath).data())); }
  int makeDir(const std::wstring& iPath) { return statusOf(harness.call(2005, PPayload().str(iPath).data())); }

  PTempDir dir;
  std::wstring t;
  PPluginHarness harness;
};

}  // namespace

TEST_F(Policy, PlainEntryCoversOnlyItsOwnDirectory) {
  ASSERT_EQ(0, harness.start(t + L"/data", L"", L"", L""));
  EXPECT_EQ(0, exists(t + L"/data/a.txt"));
  EXPECT_EQ(0, exists(t + L"/data/missing.txt"));
  EXPECT_EQ(0, exists(t + L"/data/sub")) << "an entry of /data, judged by /data/";
  EXPECT_EQ(0, exists(t + L"/data//a.txt")) << "doubled separators are the same directory";
  EXPECT_EQ(ERR_ACCESS_DENIED, exists(t + L"/data/sub/b.txt"));
  EXPECT_EQ(ERR_ACCESS_DENIED, exists(t + L"/data/sub/")) << "a trailing / is judged by itself";
  EXPECT_EQ(ERR_ACCESS_DENIED, exists(t + L"/data")) << "judged by its parent";
  EXPECT_EQ(ERR_ACCESS_DENIED, exists(t + L"/dat/a.txt"));
  EXPECT_EQ(ERR_ACCESS_DENIED, exists(t + L"/database/d.txt"));

  PCommsMessage reply = harness.call(2002, PPayload().str(t + L"/data/sub/b.txt").data());
  EXPECT_FALSE(replyBool(reply)) << "a refused query answers false even though the file exists";
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[checkMode] Checking permissions of path [" + t + L"/data/sub/]..."));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[checkMode] The path [" + t + L"/data/sub/] has permissions: [0]"));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_ERROR, L"[actionIsExists] No read access to file [" + t + L"/data/sub/b.txt]."));
}

TEST_F(Policy, RecursiveEntryCoversTheTreeAndStopsAtComponents) {
  ASSERT_EQ(0, harness.start(L"", L"", t + L"/data/", L""));
  EXPECT_EQ(0, exists(t + L"/data/a.txt"));
  EXPECT_EQ(0, exists(t + L"/data/sub/b.txt"));
  EXPECT_EQ(0, exists(t + L"/data/sub/deeper/c.txt"));
  EXPECT_EQ(0, exists(t + L"/data/sub/deeper/"));
  EXPECT_EQ(ERR_ACCESS_DENIED, exists(t + L"/database/d.txt"));
  EXPECT_EQ(ERR_ACCESS_DENIED, exists(t + L"/data"));
}

TEST_F(Policy, ReadAndWriteAreIndependent) {
  ASSERT_EQ(0, harness.start(t + L"/data/", L"", L"", t + L"/data/"));
  EXPECT_EQ(0, exists(t + L"/data/a.txt"));
  EXPECT_EQ(ERR_ACCESS_DENIED, exists(t + L"/data/sub/b.txt")) << "write access grants no reading";
  EXPECT_EQ(0, makeDir(t + L"/data/sub/new"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "data/sub/new"));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[checkMode] The path [" + t + L"/data/] has permissions: [3]"));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[checkMode] The path [" + t + L"/data/sub/] has permissions: [2]"));

  PPluginHarness readOnly;
  ASSERT_EQ(0, readOnly.start(L"", L"", t + L"/", L""));
  EXPECT_EQ(ERR_ACCESS_DENIED, statusOf(readOnly.call(2005, PPayload().str(t + L"/data/x").data())));
  EXPECT_EQ(ERR_ACCESS_DENIED, statusOf(readOnly.call(2006, PPayload().str(t + L"/data/a.txt").data())));
  EXPECT_TRUE(std::filesystem::exists(dir / "data/a.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir / "data/x"));
}

TEST_F(Policy, EmptyListsGrantNothing) {
  ASSERT_EQ(0, harness.start(L"", L"", L"", L""));
  EXPECT_EQ(ERR_ACCESS_DENIED, exists(t + L"/data/a.txt"));
  EXPECT_EQ(ERR_ACCESS_DENIED, exists(L"/"));
  EXPECT_EQ(ERR_ACCESS_DENIED, makeDir(t + L"/data/n"));
}

TEST_F(Policy, ConfiguredListsAreSplitTrimmedAndNormalised) {
  // As a person writes it: blanks after commas, an empty piece, doubled
  // separators. The empty piece must not become the root directory.
  ASSERT_EQ(0, harness.start(t + L"/database,  " + t + L"/data//sub/ ,, ", L"", L"", L""));
  EXPECT_EQ(0, exists(t + L"/database/d.txt"));
  EXPECT_EQ(0, exists(t + L"/data/sub/b.txt"));
  EXPECT_EQ(ERR_ACCESS_DENIED, exists(L"/etc"));
  EXPECT_EQ(ERR_ACCESS_DENIED, exists(L"bare-name"));
}

TEST_F(Policy, BareNamesAreJudgedAsLyingInTheRoot) {
  ASSERT_EQ(0, harness.start(L"/", L"", L"", L""));
  EXPECT_EQ(0, exists(L"bare-name"));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[checkMode] The path [/] has permissions: [1]"));
  EXPECT_EQ(ERR_ACCESS_DENIED, exists(L"etc/passwd")) << "a relative directory is not an absolute one";
}

TEST_F(Policy, NoRequestClimbsOutOfAGrantedTree) {
  writeFile(dir / "secret.txt", patternBytes(64));
  ASSERT_EQ(0, harness.start(L"", L"", t + L"/data/", t + L"/data/"));
  const std::wstring escape = t + L"/data/../secret.txt";
  // The text lies under /data/, so the policy agrees; the porting layer
  // refuses the ".." component itself.
  PCommsMessage reply = harness.call(2002, PPayload().str(escape).data());
  EXPECT_EQ(0, statusOf(reply));
  EXPECT_FALSE(replyBool(reply));
  EXPECT_EQ(PERR_INVALID_PATH, statusOf(harness.call(2001, PPayload().str(escape).data())));
  reply = harness.call(1001, PPayload().str(escape).i32(1).data());
  EXPECT_EQ(PERR_INVALID_PATH, statusOf(reply));
  EXPECT_EQ(0, replyInt32(reply));
  reply = harness.call(1001, PPayload().str(t + L"/data/sub/../../escaped.txt").i32(2).data());
  EXPECT_EQ(PERR_INVALID_PATH, statusOf(reply));
  EXPECT_FALSE(std::filesystem::exists(dir / "escaped.txt"));
  EXPECT_EQ(PERR_INVALID_PATH, statusOf(harness.call(2006, PPayload().str(escape).data())));
  EXPECT_EQ(PERR_INVALID_PATH, statusOf(harness.call(2005, PPayload().str(t + L"/data/../made").data())));
  EXPECT_EQ(ERR_FAILED, statusOf(harness.call(2004, PPayload().str(t + L"/data/..").data())));
  EXPECT_TRUE(std::filesystem::exists(dir / "secret.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir / "made"));
}
