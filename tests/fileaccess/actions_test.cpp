// The one-shot actions on real files: each outcome of the failure tables,
// element for element.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "PServiceTest.h"

namespace {

const std::wstring kModule = L"com.quorbex.zevo.fileaccess";

class Actions : public PServiceTest<> {
 protected:
  void SetUp() override {
    PServiceTest::SetUp();
    std::filesystem::create_directories(dir / "data/sub");
  }
};

}  // namespace

TEST_F(Actions, IsFileTellsFilesDirectoriesAndOthersApart) {
  writeFile(dir / "data/f", patternBytes(1));
  ASSERT_EQ(0, mkfifo((dir / "data/fifo").c_str(), 0600));

  PCommsMessage reply = call(2003, t + L"/data/f");
  EXPECT_EQ(0, statusOf(reply));
  EXPECT_EQ(kModule, moduleOf(reply));
  EXPECT_EQ(std::vector<unsigned char>({0x01, 0x01}), reply.fData);

  reply = call(2003, t + L"/data/sub");
  EXPECT_EQ(0, statusOf(reply));
  EXPECT_EQ(std::vector<unsigned char>({0x01, 0x00}), reply.fData);
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG,
                                  L"[actionIsFile] Check if path [" + t + L"/data/sub] is dir: [1]; is file: [0]"));

  reply = call(2003, t + L"/data/missing");
  EXPECT_EQ(ERR_FAILED, statusOf(reply));
  EXPECT_FALSE(replyBool(reply));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[actionIsFile] The path [" + t + L"/data/missing] does not exist."));

  reply = call(2003, t + L"/data/fifo");
  EXPECT_EQ(ERR_NOT_FILE_OR_DIR, statusOf(reply));
  EXPECT_FALSE(replyBool(reply));

  reply = call(2003, t + L"/elsewhere");
  EXPECT_EQ(ERR_ACCESS_DENIED, statusOf(reply));
  EXPECT_FALSE(replyBool(reply));
}

TEST_F(Actions, IsExistsAnswersForFilesAndDirectories) {
  writeFile(dir / "data/f", {});
  EXPECT_TRUE(replyBool(call(2002, t + L"/data/f")));
  EXPECT_TRUE(replyBool(call(2002, t + L"/data/sub")));
  PCommsMessage reply = call(2002, t + L"/data/nothing");
  EXPECT_EQ(0, statusOf(reply));
  EXPECT_FALSE(replyBool(reply));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[actionIsExists] Check if file [" + t + L"/data/nothing] exists: [0]"));
}

TEST_F(Actions, GetFileSizeOpensTheFileAndAsksIt) {
  writeFile(dir / "data/empty", {});
  writeFile(dir / "data/five", patternBytes(5000));
  const int descriptors = openDescriptorCount();

  PCommsMessage reply = call(2001, t + L"/data/empty");
  EXPECT_EQ(0, statusOf(reply));
  EXPECT_EQ(0, replyInt64(reply));

  reply = call(2001, t + L"/data/five");
  EXPECT_EQ(0, statusOf(reply));
  EXPECT_EQ(std::vector<unsigned char>({0x04, 0x88, 0x13, 0, 0, 0, 0, 0, 0}), reply.fData);
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[actionGetFileSize] file size [5000]"));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[actionGetFileSize] file closed"));

  reply = call(2001, t + L"/data/missing");
  EXPECT_EQ(PERR_NOT_FOUND, statusOf(reply));
  EXPECT_EQ(0, replyInt64(reply));
  EXPECT_TRUE(harness.fLogger.has(
      LOG_LEVEL_ERROR, L"[actionGetFileSize] Error opening file [" + t + L"/data/missing] mode [1], res=" +
                           std::to_wstring(PERR_NOT_FOUND)));

  reply = call(2001, t + L"/data/sub");
  EXPECT_EQ(PERR_IS_DIR, statusOf(reply));
  EXPECT_EQ(0, replyInt64(reply));

  reply = call(2001, t + L"/other");
  EXPECT_EQ(ERR_ACCESS_DENIED, statusOf(reply));
  EXPECT_EQ(0, replyInt64(reply));
  EXPECT_EQ(descriptors, openDescriptorCount()) << "no descriptor outlives a size query";
}

TEST_F(Actions, ListDirNamesEveryEntryButDotAndDotDot) {
  for (const char* name : {"data/sub/a", "data/sub/b", "data/sub/.hidden", "data/sub/spaced name"}) {
    writeFile(dir / name, {});
  }
  std::filesystem::create_directories(dir / "data/sub/inner");
  PCommsMessage reply = call(2004, t + L"/data/sub");
  EXPECT_EQ(0, statusOf(reply));
  EXPECT_EQ(kModule, moduleOf(reply));
  std::vector<std::wstring> names = replyStrings(reply);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::vector<std::wstring>({L".hidden", L"a", L"b", L"inner", L"spaced name"}), names);
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[actionListDir] Found [5] entries"));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[actionListDir] path=[" + t + L"/data/]"));

  std::filesystem::create_directories(dir / "data/empty");
  reply = call(2004, t + L"/data/empty/");
  EXPECT_EQ(0, statusOf(reply));
  EXPECT_EQ(std::vector<unsigned char>({0x87, 0, 0, 0, 0}), reply.fData);
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[actionListDir] Found [0] entries"));

  for (const std::wstring& path : {t + L"/data/sub/a", t + L"/data/none"}) {
    reply = call(2004, path);
    EXPECT_EQ(ERR_FAILED, statusOf(reply));
    EXPECT_TRUE(replyStrings(reply).empty());
  }
  reply = call(2004, t + L"/data");  // judged by its parent, T/
  EXPECT_EQ(ERR_ACCESS_DENIED, statusOf(reply));
  EXPECT_TRUE(replyStrings(reply).empty());
}

TEST_F(Actions, ListDirOfTenThousandEntries) {
  std::filesystem::create_directories(dir / "data/many");
  for (int i = 0; i < 10000; ++i) {
    std::ofstream(dir / ("data/many/entry-" + std::to_string(i)));
  }
  std::vector<std::wstring> names = replyStrings(call(2004, t + L"/data/many"));
  ASSERT_EQ(10000u, names.size());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names.end(), std::adjacent_find(names.begin(), names.end()));
}

TEST_F(Actions, MakeDirCreatesMissingAncestorsTopDown) {
  PCommsMessage reply = call(2005, t + L"/data/a/b/c");
  EXPECT_EQ(0, statusOf(reply));
  EXPECT_EQ(kModule, moduleOf(reply));
  EXPECT_TRUE(reply.fData.empty());
  EXPECT_TRUE(std::filesystem::is_directory(dir / "data/a/b/c"));
  const std::vector<PLogLine> lines = harness.fLogger.lines();
  std::vector<std::wstring> created;
  for (const PLogLine& line : lines) {
    if (line.fText.find(L"successful") != std::wstring::npos) created.push_back(line.fText);
  }
  EXPECT_EQ(std::vector<std::wstring>({L"[createRecursiveDirs] Create dir: [" + t + L"/data/a] successful",
                                       L"[createRecursiveDirs] Create dir: [" + t + L"/data/a/b] successful",
                                       L"[createRecursiveDirs] Create dir: [" + t + L"/data/a/b/c] successful"}),
            created);

  EXPECT_EQ(0, statusOf(call(2005, t + L"/data/a/b/c"))) << "an existing directory";
  writeFile(dir / "data/file", patternBytes(4));
  EXPECT_EQ(0, statusOf(call(2005, t + L"/data/file"))) << "an existing file counts as made";
  // "file/" does not exist as a directory, so the walk tries to create
  // "file" itself, which is taken.
  EXPECT_EQ(PERR_EXISTS, statusOf(call(2005, t + L"/data/file/sub")));
  EXPECT_EQ(patternBytes(4), readFile(dir / "data/file"));
}

TEST_F(Actions, MakeDirWithAPlainEntryChecksOnlyTheParent) {
  PPluginHarness plain;
  ASSERT_EQ(0, plain.start(L"", t + L"/data/", L"", L""));
  EXPECT_EQ(0, statusOf(plain.call(2005, PPayload().str(t + L"/data/new").data())));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "data/new"));
  EXPECT_EQ(ERR_ACCESS_DENIED, statusOf(plain.call(2005, PPayload().str(t + L"/data/other/").data())));
  EXPECT_FALSE(std::filesystem::exists(dir / "data/other"));
}

TEST_F(Actions, DeleteFileAndDeleteDirReportWhatHappened) {
  writeFile(dir / "data/f", patternBytes(3));
  std::filesystem::create_directories(dir / "data/full/x");

  EXPECT_EQ(PERR_IS_DIR, statusOf(call(2006, t + L"/data/sub")));
  EXPECT_EQ(PERR_NOT_DIR, statusOf(call(2007, t + L"/data/f")));
  EXPECT_EQ(PERR_NOT_EMPTY, statusOf(call(2007, t + L"/data/full")));
  EXPECT_TRUE(std::filesystem::exists(dir / "data/full/x"));

  PCommsMessage reply = call(2006, t + L"/data/f");
  EXPECT_EQ(0, statusOf(reply));
  EXPECT_EQ(kModule, moduleOf(reply));
  EXPECT_TRUE(reply.fData.empty());
  EXPECT_FALSE(std::filesystem::exists(dir / "data/f"));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[actionDeleteFile] File to delete: [" + t + L"/data/f]"));
  EXPECT_EQ(PERR_NOT_FOUND, statusOf(call(2006, t + L"/data/f"))) << "deleting twice is not a success";

  EXPECT_EQ(0, statusOf(call(2007, t + L"/data/sub")));
  EXPECT_FALSE(std::filesystem::exists(dir / "data/sub"));
  EXPECT_EQ(PERR_NOT_FOUND, statusOf(call(2007, t + L"/data/sub")));
}
