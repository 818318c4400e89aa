// Uploads as a peer sees them, with the temporary file made by O_TMPFILE
// and, where a file system has none (the seam says so), under a reserved
// name: whole replacement at commit, faults that leave the old file,
// one upload per target, resuming after the session's end, expiry, and
// group commits that flush once.
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

#include "PFileOpsFixture.h"
#include "zevo/PUploadFile.h"
#include "zevo/portinglayer/PSysCalls.h"

namespace {

bool gNamed = false;  // uploads get reserved names: O_TMPFILE is refused
int gSyncfs = 0, gFsync = 0, gFdatasync = 0;
const char* gRelease = nullptr;  // the kernel's release as uname tells it (null: the real one)
int gFailErrno = 0;  // the errno a failing entry answers

int tmpfileRefused(int iDir, const char* iPath, int iFlags, mode_t iMode) {
  if (gNamed && (iFlags & O_TMPFILE) == O_TMPFILE) return errno = EOPNOTSUPP, -1;
  return PSysCalls::defaults().fOpenat(iDir, iPath, iFlags, iMode);
}
int countedSyncfs(int iFd) { return ++gSyncfs, PSysCalls::defaults().fSyncfs(iFd); }
int countedFsync(int iFd) { return ++gFsync, PSysCalls::defaults().fFsync(iFd); }
int countedFdatasync(int iFd) { return ++gFdatasync, PSysCalls::defaults().fFdatasync(iFd); }
int kernel(struct utsname* oName) {
  const int result = PSysCalls::defaults().fUname(oName);
  if (gRelease != nullptr) std::snprintf(oName->release, sizeof oName->release, "%s", gRelease);
  return result;
}
int fail() { return errno = gFailErrno, -1; }

class Uploads : public Ops, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    gNamed = GetParam();
    PSysCalls::table().fOpenat = tmpfileRefused;
    PSysCalls::table().fSyncfs = countedSyncfs;
    PSysCalls::table().fFsync = countedFsync;
    PSysCalls::table().fFdatasync = countedFdatasync;
    PSysCalls::table().fUname = kernel;
    Ops::SetUp();
  }
  void TearDown() override {
    ops.stop();
    ops.fDispatcher.fHeld.clear();  // the service goes, and every upload with it
    EXPECT_EQ(Bytes{}, reserved()) << "a temporary file outlived the service";
    EXPECT_EQ(descriptors, descriptorCount());
  }
  // The names of reserved files in T and T/d*, as one string.
  Bytes reserved() const {
    Bytes names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(PUploadFile::kReservedPrefix, 0) == 0) names.insert(names.end(), name.begin(), name.end());
    }
    return names;
  }

  PSysCallsScope restore;
  int descriptors = descriptorCount();
};

}  // namespace

TEST_P(Uploads, ATargetChangesWholeAtCommitAndHasOneUploadAtATime) {
  const Bytes old = patternBytes(5000, 1), head = patternBytes(3000, 2), tail = patternBytes(100, 3);
  writeFile(dir / "f", old);
  ::chmod((dir / "f").c_str(), 0600);
  const int handle = upload("f");
  EXPECT_EQ(FOPS_ERR_TARGET_BUSY, statusOf(call(kOpsBeginUpload, PPayload().str(dir.path() + "//./f").flag(false))));
  for (const std::string& directory : {dir.path() + "/new/", dir.path() + "/."}) {
    EXPECT_EQ(PERR_IS_DIR, statusOf(call(kOpsBeginUpload, PPayload().str(directory).flag(false)))) << directory;
  }
  ASSERT_EQ(0, write(handle, 0, head));
  ASSERT_EQ(0, write(handle, 1 << 20, tail));
  EXPECT_EQ(old, readFile(dir / "f")) << "nothing shows before the commit";
  PPluginHarness access;
  ASSERT_EQ(0, start(L"", L"", L"T/", L"", &access));
  EXPECT_EQ(std::vector<std::wstring>{L"f"}, replyStrings(access.call(kListDir, PPayload().str(dir.wide("")))));
  EXPECT_EQ(gNamed, !reserved().empty());
  EXPECT_EQ(FOPS_ERR_ARGUMENT, commit(handle, -1, 04755));
  EXPECT_EQ(0, commit(handle, 2 << 20, -1, 1700000000123456789LL));
  Bytes expected(2 << 20, 0);
  std::copy(head.begin(), head.end(), expected.begin());
  std::copy(tail.begin(), tail.end(), expected.begin() + (1 << 20));
  EXPECT_EQ(expected, readFile(dir / "f"));
  struct stat info;
  ASSERT_EQ(0, ::stat((dir / "f").c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 07777) << "the replaced file's permissions";
  EXPECT_EQ(1700000000123456789LL, info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec);
  EXPECT_LT(info.st_blocks * 512, 64 * 1024) << "the holes stayed holes";
  EXPECT_EQ(FOPS_ERR_NO_HANDLE, write(handle, 0, {1})) << "a commit ends the upload";
  const int next = upload("f");  // the target is free again
  ASSERT_EQ(0, write(next, 0, {9}));
  EXPECT_EQ(0, commit(next, -1, 0640));
  EXPECT_EQ(Bytes{9}, readFile(dir / "f"));
  ASSERT_EQ(0, ::stat((dir / "f").c_str(), &info));
  EXPECT_EQ(0640u, info.st_mode & 07777);
  const int dropped = upload("g");
  ASSERT_EQ(0, write(dropped, 0, {1}));
  EXPECT_EQ(0, statusOf(call(kOpsCloseHandle, PPayload().i32(dropped))));
  EXPECT_FALSE(std::filesystem::exists(dir / "g"));
  EXPECT_EQ(Bytes{}, reserved());
  upload("h");  // left open: the service's end removes it
}

TEST_P(Uploads, AFailedFlushOrRenameLeavesTheOldFile) {
  const Bytes old = {1, 2, 3}, fresh = patternBytes(10000, 7);
  writeFile(dir / "f", old);
  // what fails, whether the target has the new bytes after the failed commit
  const std::tuple<const char*, std::function<void()>, bool> cases[] = {
      {"data flush", [] { PSysCalls::table().fFdatasync = [](int) { return fail(); }; }, false},
      {"rename", [] { PSysCalls::table().fRenameat2 = [](int, const char*, int, const char*, unsigned) { return fail(); }; }, false},
      {"link", [] { PSysCalls::table().fLinkat = [](int, const char*, int, const char*, int) { return fail(); }; }, false},
      {"directory flush", [] { PSysCalls::table().fFsync = [](int) { return fail(); }; }, true},
  };
  for (const auto& [what, inject, replaced] : cases) {
    writeFile(dir / "f", old);
    const int handle = upload("f");
    ASSERT_EQ(0, write(handle, 0, fresh));
    gFailErrno = EIO;
    inject();
    const int status = commit(handle);
    PSysCalls::restore();
    PSysCalls::table().fOpenat = tmpfileRefused;
    const bool linked = !gNamed || std::string(what) != "link";  // a named file is never linked
    EXPECT_EQ(linked ? PERR_IO : 0, status) << what;
    EXPECT_EQ(replaced || !linked ? fresh : old, readFile(dir / "f")) << what;
    if (status == 0) continue;
    EXPECT_EQ(0, commit(handle)) << what << ": the upload stayed open";
    EXPECT_EQ(fresh, readFile(dir / "f")) << what;
  }
  EXPECT_EQ(Bytes{}, reserved());
}

TEST_P(Uploads, AReleasedUploadIsKeptForItsOwnerUntilItExpires) {
  const Bytes content = patternBytes(300000, 5), half(content.begin(), content.begin() + 150000);
  PReplyReader begun(call(kOpsBeginUpload, PPayload().str(path("f")).flag(true)));
  const int handle = begun.i32();
  const std::wstring token = begun.str();
  EXPECT_EQ(32u, token.size());
  ASSERT_EQ(0, write(handle, 0, half));
  EXPECT_EQ(0, statusOf(call(kOpsReleaseHandle, PPayload().i32(handle)))) << "the session ended";
  EXPECT_EQ(FOPS_ERR_NO_HANDLE, write(handle, 0, {1}));
  EXPECT_EQ(FOPS_ERR_TARGET_BUSY, statusOf(call(kOpsBeginUpload, PPayload().str(path("f")).flag(false))));
  const auto resume = [&](const std::wstring& iToken) { return call(kOpsResumeUpload, PPayload().str(iToken)); };
  EXPECT_EQ(FOPS_ERR_NO_UPLOAD, statusOf(resume(L"0123456789abcdef0123456789abcdef")));
  ops.fSessions.fIdentity = L"uid:1001";
  EXPECT_EQ(FOPS_ERR_NO_UPLOAD, statusOf(resume(token))) << "only its owner";
  ops.fSessions.fIdentity = L"uid:1000";
  PReplyReader resumed(resume(token));
  const int again = resumed.i32();
  EXPECT_EQ(std::make_pair(150000LL, path("f")), (std::pair{resumed.i64(), resumed.str()}));
  EXPECT_EQ(FOPS_ERR_NO_UPLOAD, statusOf(resume(token))) << "in use again";
  EXPECT_EQ(sha256(half), digest(call(kOpsChecksumUpload, PPayload().i32(again).i64(0).i64(-1)))) << "what is there";
  ASSERT_EQ(0, write(again, 150000, Bytes(content.begin() + 150000, content.end())));
  EXPECT_EQ(0, commit(again));
  EXPECT_EQ(content, readFile(dir / "f"));

  // Kept for no time: gone at the next request.
  ops.fConfigManager.fConfig.fValues[L"fileops.resume.keep"] = L"0";
  ASSERT_EQ(0, start());
  PReplyReader second(call(kOpsBeginUpload, PPayload().str(path("f")).flag(true)));
  const int kept = second.i32();
  const std::wstring secondToken = second.str();
  ASSERT_EQ(0, write(kept, 0, {1, 2}));
  EXPECT_EQ(0, statusOf(call(kOpsReleaseHandle, PPayload().i32(kept))));
  const auto audited = [&] {
    const std::vector<PLogLine> lines = ops.fLogger.lines();
    return std::count_if(lines.begin(), lines.end(), [](const PLogLine& iLine) { return iLine.fLevel == LOG_LEVEL_INFO; });
  };
  const auto before = audited();
  EXPECT_EQ(FOPS_ERR_NO_UPLOAD, statusOf(resume(secondToken)));
  EXPECT_EQ(before + 1, audited()) << "its expiry is audited, though no session sees it";
  EXPECT_EQ(Bytes{}, reserved());
  const int closed = upload("f", true);  // closed, not released: not kept
  EXPECT_EQ(0, statusOf(call(kOpsCloseHandle, PPayload().i32(closed))));
  EXPECT_EQ(content, readFile(dir / "f"));
  for (const wchar_t* bad : {L"x", L"-1", L"700000000"}) {
    ops.fConfigManager.fConfig.fValues[L"fileops.resume.keep"] = bad;
    EXPECT_EQ(ERR_CONFIG_VALUE, start()) << "a bad setting stops the start";
  }
}

TEST_P(Uploads, AGroupCommitFlushesOnceAndEachDirectoryOnce) {
  for (const char* name : {"d0", "d1", "d2"}) std::filesystem::create_directories(dir / name);
  const auto name = [](size_t i) { return "d" + std::to_string(i % 3) + "/" + std::to_string(i); };
  const auto begin = [&](size_t iFrom, size_t iTo) {
    std::vector<int> handles;
    for (size_t i = iFrom; i < iTo; ++i) {
      writeFile(dir / name(i), {0});
      handles.push_back(upload(name(i)));
      EXPECT_EQ(0, write(handles.back(), 0, patternBytes(100 + i, static_cast<unsigned>(i))));
    }
    return handles;
  };
  const auto group = [&](const std::vector<int>& iHandles) {
    PPayload payload;
    payload.i32(static_cast<int>(iHandles.size()));
    for (int handle : iHandles) payload.i32(handle);
    for (size_t i = 0; i < iHandles.size(); ++i) payload.i64(-1).i32(-1).i64(-1);
    const PCommsMessage reply = call(kOpsCommitGroup, payload);
    PReplyReader statuses(reply);
    std::vector<int> out(static_cast<size_t>(statuses.i32()));
    for (int& status : out) status = statuses.i32();
    return std::make_pair(statusOf(reply), out);
  };
  const std::vector<int> handles = begin(0, 12);
  gSyncfs = gFsync = gFdatasync = 0;
  PSysCalls::table().fSyncfs = [](int) { return ++gSyncfs, errno = EIO, -1; };
  EXPECT_EQ(std::make_pair(PERR_IO, std::vector<int>(12, PERR_IO)), group(handles));
  EXPECT_EQ(std::make_tuple(1, 0, 0), std::make_tuple(gSyncfs, gFdatasync, gFsync)) << "one flush for the one file system, no rename";
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(Bytes{0}, readFile(dir / name(i)));
  PSysCalls::table().fSyncfs = countedSyncfs;
  gSyncfs = 0;
  std::vector<int> twice = handles;
  twice.push_back(handles[0]);
  std::vector<int> statuses(12, 0);
  statuses.push_back(FOPS_ERR_ARGUMENT);
  EXPECT_EQ(std::make_pair(FOPS_ERR_ARGUMENT, statuses), group(twice)) << "each upload once";
  EXPECT_EQ(std::make_tuple(1, 12, 3), std::make_tuple(gSyncfs, gFdatasync, gFsync))
      << "each directory flushed once; after their file system's flush failed, each file's own flush says whether it is kept";
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(patternBytes(100 + i, static_cast<unsigned>(i)), readFile(dir / name(i)));
  EXPECT_EQ(std::make_pair(FOPS_ERR_NO_HANDLE, std::vector<int>{FOPS_ERR_NO_HANDLE}), group({handles[0]})) << "committed: ended";
  // Where the kernel's syncfs reports write errors, it stands for each file's own flush.
  const std::pair<const char*, int> kernels[] = {{"6.1.0", 0}, {"5.8.0-arm", 0}, {"5.4.219", 6}, {"weird", 6}};
  size_t next = 12;
  for (const auto& [release, ownFlushes] : kernels) {
    const std::vector<int> more = begin(next, next + 6);
    next += 6;
    gRelease = release;
    gSyncfs = gFsync = gFdatasync = 0;
    EXPECT_EQ(std::make_pair(0, std::vector<int>(6, 0)), group(more)) << release;
    gRelease = nullptr;
    EXPECT_EQ(std::make_pair(1, ownFlushes), std::make_pair(gSyncfs, gFdatasync)) << release;
  }
}

INSTANTIATE_TEST_SUITE_P(TemporaryFiles, Uploads, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& iInfo) { return iInfo.param ? "Named" : "Anonymous"; });
