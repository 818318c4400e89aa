// Faults injected through the porting layer's system-call table, seen by a
// peer of the plug-in: the status each failure becomes, the transfer table
// and the descriptors afterwards, and the bytes already acknowledged. Every
// case runs with links followed and refused (the calls differ: open or
// openat, mkdir or mkdirat...).

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "PServiceTest.h"
#include "PHardening.h"
#include "zevo/portinglayer/PSysCalls.h"

namespace {

const std::vector<unsigned char> kEmptyBlock = {0x85, 0, 0, 0, 0};

// The fault of the running case.
int gErrno = 0;    // errno the fault answers
int gPass = 0;     // matching calls let through before the fault
int gCalls = 0;    // matching calls seen
size_t gPart = 0;  // bytes the faulty read or write still moves, 0: none

bool failNow() { return gCalls++ >= gPass; }
int fail() {
  errno = gErrno;
  return -1;
}

// Opens of files and listings fail; the O_PATH steps that resolve the
// directories on the way (links refused) do not.
int openFails(const char* iPath, int iFlags, mode_t iMode) {
  if ((iFlags & O_PATH) == 0 && failNow()) return fail();
  return PSysCalls::defaults().fOpen(iPath, iFlags, iMode);
}
int openatFails(int iDir, const char* iPath, int iFlags, mode_t iMode) {
  if ((iFlags & O_PATH) == 0 && failNow()) return fail();
  return PSysCalls::defaults().fOpenat(iDir, iPath, iFlags, iMode);
}
int mkdirFails(const char*, mode_t) { return fail(); }
int mkdiratFails(int, const char*, mode_t) { return fail(); }
int unlinkFails(const char*) { return fail(); }
int rmdirFails(const char*) { return fail(); }
int unlinkatFails(int, const char*, int) { return fail(); }
// Asked of regular files only: the directories of a walked path pass.
int fstatFails(int iFd, struct stat* oInfo) {
  const int rc = PSysCalls::defaults().fFstat(iFd, oInfo);
  if (rc != 0 || !S_ISREG(oInfo->st_mode) || !failNow()) return rc;
  return fail();
}
// The faulty call moves gPart bytes first (a short write or read), then
// the next one fails.
template <class Buffer>
ssize_t moveThenFail(ssize_t (*iReal)(int, Buffer, size_t), int iFd, Buffer iBuffer, size_t iSize) {
  if (!failNow()) return iReal(iFd, iBuffer, iSize);
  if (gPart == 0) return fail();
  const size_t part = std::min(gPart, iSize);
  gPart = 0;
  --gCalls;
  return iReal(iFd, iBuffer, part);
}
ssize_t writeFails(int iFd, const void* iBuffer, size_t iSize) {
  return moveThenFail(PSysCalls::defaults().fWrite, iFd, iBuffer, iSize);
}
ssize_t readFails(int iFd, void* oBuffer, size_t iSize) { return moveThenFail(PSysCalls::defaults().fRead, iFd, oBuffer, iSize); }
ssize_t writeSevenAtATime(int iFd, const void* iBuffer, size_t iSize) {
  return PSysCalls::defaults().fWrite(iFd, iBuffer, std::min<size_t>(iSize, 7));
}
struct dirent* readdirGoneAfterThree(DIR* iDir) {
  if (!failNow()) return PSysCalls::defaults().fReaddir(iDir);
  errno = ENOENT;
  return nullptr;
}
DIR* fdopendirFails(int) {
  errno = gErrno;
  return nullptr;
}
int flushFails(int iFd) {
  if (!failNow()) return PSysCalls::defaults().fFdatasync(iFd);
  return fail();
}

class Faults : public PServiceTest<::testing::TestWithParam<int>> {
 protected:
  void SetUp() override {
    PServiceTest::SetUp();
    std::filesystem::create_directories(dir / "data/sub");
    gErrno = EIO;
    gPass = 0;
    gCalls = 0;
    gPart = 0;
    descriptors = openDescriptorCount();
  }
  void TearDown() override {
    PSysCalls::restore();
    EXPECT_EQ(descriptors, openDescriptorCount()) << "a descriptor leaked";
  }
  void inject(int iErrno, int iPass = 0) {
    gErrno = iErrno;
    gPass = iPass;
    gCalls = 0;
  }

  std::wstring path(const std::string& iName) { return t + L"/data/" + widen(iName); }
  PCommsMessage call(uint32_t iAction, const std::string& iName) {
    return harness.call(iAction, PPayload().str(path(iName)).data());
  }
  int open(const std::string& iName, int iMode) {
    PCommsMessage reply = harness.call(1001, PPayload().str(path(iName)).i32(iMode).data());
    EXPECT_EQ(0, statusOf(reply));
    return replyInt32(reply);
  }

  PSymlinkPolicyScope policy{GetParam()};
  int descriptors = 0;
};

std::vector<unsigned char> concat(const std::vector<std::vector<unsigned char>>& iParts, size_t iCount) {
  std::vector<unsigned char> all;
  for (size_t i = 0; i < iCount; ++i) all.insert(all.end(), iParts[i].begin(), iParts[i].end());
  return all;
}

std::vector<std::vector<unsigned char>> chunks(size_t iCount, size_t iSize) {
  std::vector<std::vector<unsigned char>> all;
  for (size_t i = 0; i < iCount; ++i) all.push_back(patternBytes(iSize, static_cast<unsigned int>(100 + i)));
  return all;
}

}  // namespace

TEST_P(Faults, EachFailureReachesThePeerAsTheLayersCode) {
  writeFile(dir / "data/f", patternBytes(3000));
  writeFile(dir / "data/gone", patternBytes(10));
  struct Case {
    const char* fName;
    std::function<void()> fInject;
    uint32_t fAction;
    std::vector<unsigned char> fPayload;
    int fStatus;
  };
  auto openFault = [](int iErrno) {
    return [iErrno] {
      gErrno = iErrno;
      PSysCalls::table().fOpen = openFails;
      PSysCalls::table().fOpenat = openatFails;
    };
  };
  const std::vector<Case> cases = {
      {"permission denied, download", openFault(EACCES), 1001, PPayload().str(path("f")).i32(1).data(), PERR_ACCESS},
      {"permission denied, upload", openFault(EACCES), 1001, PPayload().str(path("new")).i32(2).data(), PERR_ACCESS},
      {"disk full on create", openFault(ENOSPC), 1001, PPayload().str(path("new")).i32(2).data(), PERR_NO_SPACE},
      {"no descriptor left", openFault(EMFILE), 1001, PPayload().str(path("f")).i32(1).data(), PERR_TOO_MANY_FILES},
      {"read-only file system", openFault(EROFS), 1001, PPayload().str(path("f")).i32(2).data(), PERR_READ_ONLY},
      {"size: permission denied", openFault(EACCES), 2001, PPayload().str(path("f")).data(), PERR_ACCESS},
      {"listing: permission denied", openFault(EACCES), 2004, PPayload().str(path("sub")).data(), PERR_ACCESS},
      {"listing: no descriptor left", openFault(EMFILE), 2004, PPayload().str(path("sub")).data(), PERR_TOO_MANY_FILES},
      {"size: fstat fails",
       [] {
         gPass = 1;  // the kind check of the open passes
         PSysCalls::table().fFstat = fstatFails;
       },
       2001, PPayload().str(path("f")).data(), ERR_FAILED},
      {"make: read-only file system",
       [] {
         gErrno = EROFS;
         PSysCalls::table().fMkdir = mkdirFails;
         PSysCalls::table().fMkdirat = mkdiratFails;
       },
       2005, PPayload().str(path("a/b")).data(), PERR_READ_ONLY},
      {"delete file: busy",
       [] {
         gErrno = EBUSY;
         PSysCalls::table().fUnlink = unlinkFails;
         PSysCalls::table().fUnlinkat = unlinkatFails;
       },
       2006, PPayload().str(path("gone")).data(), PERR_BUSY},
      {"delete dir: permission denied",
       [] {
         gErrno = EACCES;
         PSysCalls::table().fRmdir = rmdirFails;
         PSysCalls::table().fUnlinkat = unlinkatFails;
       },
       2007, PPayload().str(path("sub")).data(), PERR_ACCESS},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.fName);
    inject(EIO);
    test.fInject();
    PCommsMessage reply = harness.call(test.fAction, test.fPayload);
    PSysCalls::restore();
    EXPECT_EQ(test.fStatus, statusOf(reply));
    EXPECT_EQ(L"com.quorbex.zevo.fileaccess", moduleOf(reply));
    if (test.fAction == 1001) {
      EXPECT_EQ(0, replyInt32(reply)) << "no transfer opened";
    } else if (test.fAction == 2001) {
      EXPECT_EQ(0, replyInt64(reply));
    } else if (test.fAction == 2004) {
      EXPECT_TRUE(replyStrings(reply).empty());
    }
    EXPECT_EQ(descriptors, openDescriptorCount()) << "nothing left open";
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "data/new")) << "a refused upload creates nothing";
  EXPECT_FALSE(std::filesystem::exists(dir / "data/a"));
  EXPECT_EQ(patternBytes(10), readFile(dir / "data/gone"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "data/sub"));
}

TEST_P(Faults, UploadWhoseDiskFillsAtChunkKKeepsChunksBeforeIt) {
  const auto parts = chunks(6, 1000);
  for (size_t k = 1; k <= parts.size(); ++k) {
    SCOPED_TRACE(k);
    const int id = open("up", 2);
    inject(ENOSPC, static_cast<int>(k - 1));  // one write per chunk until then
    PSysCalls::table().fWrite = writeFails;
    for (size_t i = 0; i < k; ++i) {
      PCommsMessage reply = put(id, parts[i]);
      EXPECT_EQ(i + 1 < k ? 0 : ERR_FAILED, statusOf(reply));
      EXPECT_TRUE(reply.fData.empty());
    }
    PSysCalls::restore();
    EXPECT_EQ(concat(parts, k - 1), readFile(dir / "data/up")) << "exactly the acknowledged chunks";
    // Still open: space came back, the peer goes on, then closes.
    EXPECT_EQ(0, statusOf(put(id, parts[k - 1])));
    EXPECT_EQ(0, close(id));
    EXPECT_EQ(concat(parts, k), readFile(dir / "data/up"));
    EXPECT_EQ(ERR_FAILED, statusOf(put(id, parts[0]))) << "closed for good";
    EXPECT_EQ(descriptors, openDescriptorCount());
  }
}

TEST_P(Faults, ShortWritesLoseNothing) {
  const auto parts = chunks(5, 3001);
  const int id = open("short", 2);
  PSysCalls::table().fWrite = writeSevenAtATime;
  for (const auto& part : parts) EXPECT_EQ(0, statusOf(put(id, part)));
  PSysCalls::restore();
  EXPECT_EQ(0, close(id));
  EXPECT_EQ(concat(parts, parts.size()), readFile(dir / "data/short"));
}

TEST_P(Faults, AChunkCutShortByAFullDiskLeavesNoBytesBehindAndKeepsTheAcknowledged) {
  // Chunk 2 is written in part, then the disk is full: the peer is told it
  // failed, and the file holds exactly chunk 1 until chunk 2 is sent again.
  const auto parts = chunks(3, 1000);
  const int id = open("retry", 2);
  inject(ENOSPC, 1);
  gPart = 400;
  PSysCalls::table().fWrite = writeFails;
  EXPECT_EQ(0, statusOf(put(id, parts[0])));
  EXPECT_EQ(ERR_FAILED, statusOf(put(id, parts[1])));
  PSysCalls::restore();
  EXPECT_EQ(concat(parts, 1), readFile(dir / "data/retry")) << "exactly chunk 1";
  EXPECT_EQ(0, statusOf(put(id, parts[1])));
  EXPECT_EQ(0, statusOf(put(id, parts[2])));
  EXPECT_EQ(0, close(id));
  const std::vector<unsigned char> content = readFile(dir / "data/retry");
  EXPECT_TRUE(concat(parts, 3) == content)
      << content.size() << " bytes, not 3000: the part written of the failed chunk stays before its retry";
}

TEST_P(Faults, ADownloadWhoseReadFailsMidChunkResumesAtThatChunkAndCloses) {
  const std::vector<unsigned char> content = patternBytes(10000, 8);
  writeFile(dir / "data/down", content);
  const int id = open("down", 1);
  inject(EIO, 2);
  gPart = 300;  // chunk 3 gets 300 bytes, then an input/output error
  PSysCalls::table().fRead = readFails;
  std::vector<unsigned char> got;
  for (int i = 0; i < 2; ++i) {
    const std::vector<unsigned char> chunk = replyBytes(next(id, 1000));
    got.insert(got.end(), chunk.begin(), chunk.end());
  }
  PCommsMessage reply = next(id, 1000);
  PSysCalls::restore();
  EXPECT_EQ(ERR_FAILED, statusOf(reply));
  EXPECT_EQ(kEmptyBlock, reply.fData) << "bytes that came with the failure are dropped";
  EXPECT_EQ(std::vector<unsigned char>(content.begin(), content.begin() + 2000), got);
  // Asked again, chunk 3 starts where chunk 2 ended, not past the 300 bytes
  // read before the error.
  EXPECT_TRUE(std::vector<unsigned char>(content.begin() + 2000, content.begin() + 3000) == replyBytes(next(id, 1000)));
  EXPECT_EQ(0, close(id));
  EXPECT_EQ(ERR_FAILED, statusOf(next(id, 1000)));
}

TEST_P(Faults, DirectoryRemovedMidListing) {
  for (int i = 0; i < 20; ++i) writeFile(dir / ("data/sub/f" + std::to_string(i)), {});
  inject(ENOENT, 3);
  PSysCalls::table().fReaddir = readdirGoneAfterThree;
  PCommsMessage reply = call(2004, "sub");
  PSysCalls::restore();
  // The status is that of the listing's start; what was read is sent.
  EXPECT_EQ(0, statusOf(reply));
  const std::vector<std::wstring> names = replyStrings(reply);
  EXPECT_LE(names.size(), 3u);
  for (const std::wstring& name : names) EXPECT_EQ(L'f', name[0]) << "only real entries";

  inject(ENOMEM);
  PSysCalls::table().fFdopendir = fdopendirFails;
  reply = call(2004, "sub");
  PSysCalls::restore();
  EXPECT_EQ(PERR_NO_MEMORY, statusOf(reply));
  EXPECT_TRUE(replyStrings(reply).empty());
  EXPECT_EQ(20u, replyStrings(call(2004, "sub")).size()) << "served again";
}

TEST_P(Faults, AnUploadWhoseDataCannotBeFlushedNeverClosesSuccessfully) {
  const int id = open("closing", 2);
  EXPECT_EQ(0, statusOf(put(id, {1, 2, 3})));
  inject(EIO);
  PSysCalls::table().fFdatasync = flushFails;
  EXPECT_EQ(ERR_FAILED, close(id));
  EXPECT_EQ(0, statusOf(put(id, {4}))) << "the transfer stays open and usable";
  gPass = 100;  // the next flush succeeds: the data it could not write may be gone all the same
  EXPECT_EQ(ERR_FAILED, close(id));
  EXPECT_EQ(2, gCalls) << "the second close flushed again";
  PSysCalls::restore();
  EXPECT_EQ(descriptors + 1, openDescriptorCount()) << "the transfer keeps its descriptor";
  EXPECT_EQ(std::vector<unsigned char>({1, 2, 3, 4}), readFile(dir / "data/closing"));
  harness.stop();
  harness.fDispatcher.fHeld.clear();
  EXPECT_EQ(descriptors, openDescriptorCount()) << "until the service goes";
}

INSTANTIATE_TEST_SUITE_P(Links, Faults, ::testing::Values(PPathPolicy::SYMLINKS_FOLLOW, PPathPolicy::SYMLINKS_REFUSE),
                         [](const ::testing::TestParamInfo<int>& iInfo) {
                           return std::string(PPathPolicy::symlinksName(iInfo.param));
                         });
