// What a peer of the plug-in sees when the system fails a call: faults
// injected through the porting layer's system-call table, with links
// followed and refused (the calls differ).
#include <fcntl.h>

#include <utility>


#include "PPluginHarness.h"
#include "PTestSupport.h"
#include "zevo/portinglayer/PSysCalls.h"
#include "zevo/protocol/PFileAccessProtocol.h"

namespace {

const Bytes kEmptyBlock = {0x85, 0, 0, 0, 0};

int gErrno = 0;   // what the fault answers
int gPass = 0;    // matching calls let through first
int gPart = 0;    // bytes the faulty read still moves
int fail() { return errno = gErrno, -1; }
bool failNow() { return gPass-- <= 0; }

class Faults : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir / "sub");
    ASSERT_EQ(0, harness.start(L"", L"", dir.wide(), dir.wide()));
  }
  void TearDown() override {
    PSysCalls::restore();
    EXPECT_EQ(descriptors, descriptorCount()) << "a descriptor leaked";
  }
  void inject(int iErrno, int iPass = 0) {
    gErrno = iErrno;
    gPass = iPass;
  }
  PCommsMessage call(uint32_t iAction, const std::string& iName, int iMode = -1) {
    PPayload payload;
    payload.str(dir.wide(iName));
    if (iMode >= 0) payload.i32(iMode);
    return harness.call(iAction, payload);
  }
  int open(const std::string& iName, int iMode) { return replyInt32(call(kStartFileTransfer, iName, iMode)); }
  int put(int iID, const Bytes& iBytes) { return statusOf(harness.call(kSetNextFileData, PPayload().i32(iID).bytes(iBytes))); }
  PCommsMessage next(int iID) { return harness.call(kGetNextFileData, PPayload().i32(iID).i32(1000)); }
  int close(int iID) { return statusOf(harness.call(kCloseFileTransfer, PPayload().i32(iID))); }

  PSymlinkPolicyScope policy{GetParam()};
  PTempDir dir;
  PPluginHarness harness;
  int descriptors = descriptorCount();
};

}  // namespace

TEST_P(Faults, EachFailureReachesThePeerAsTheLayersCode) {
  writeFile(dir / "f", patternBytes(3000));
  const auto opens = [] {
    PSysCalls::table().fOpen = [](const char* iPath, int iFlags, mode_t iMode) {  // not the O_PATH steps of a walk
      return (iFlags & O_PATH) == 0 && failNow() ? fail() : PSysCalls::defaults().fOpen(iPath, iFlags, iMode);
    };
    PSysCalls::table().fOpenat = [](int iDir, const char* iPath, int iFlags, mode_t iMode) {
      return (iFlags & O_PATH) == 0 && failNow() ? fail() : PSysCalls::defaults().fOpenat(iDir, iPath, iFlags, iMode);
    };
  };
  struct Case {
    std::function<void()> fInject;
    int fErrno;
    uint32_t fAction;
    std::string fName;
    int fMode, fStatus;
  };
  const Case cases[] = {
      {opens, EACCES, kStartFileTransfer, "f", 1, PERR_ACCESS},
      {opens, ENOSPC, kStartFileTransfer, "new", 2, PERR_NO_SPACE},
      {opens, EMFILE, kStartFileTransfer, "f", 1, PERR_TOO_MANY_FILES},
      {opens, EROFS, kStartFileTransfer, "f", 2, PERR_READ_ONLY},
      {opens, EACCES, kGetFileSize, "f", -1, PERR_ACCESS},
      {opens, EMFILE, kListDir, "sub", -1, PERR_TOO_MANY_FILES},
      {[] {
         gPass = 1;  // the kind check of the open passes
         PSysCalls::table().fFstat = [](int iFd, struct stat* oInfo) {
           const int rc = PSysCalls::defaults().fFstat(iFd, oInfo);
           return rc != 0 || !S_ISREG(oInfo->st_mode) || !failNow() ? rc : fail();
         };
       }, EIO, kGetFileSize, "f", -1, ERR_FAILED},
      {[] {
         PSysCalls::table().fMkdir = [](const char*, mode_t) { return fail(); };
         PSysCalls::table().fMkdirat = [](int, const char*, mode_t) { return fail(); };
       }, EROFS, kMakeDir, "a/b", -1, PERR_READ_ONLY},
      {[] {
         PSysCalls::table().fUnlink = [](const char*) { return fail(); };
         PSysCalls::table().fUnlinkat = [](int, const char*, int) { return fail(); };
       }, EBUSY, kDeleteFile, "f", -1, PERR_BUSY},
      {[] {
         PSysCalls::table().fRmdir = [](const char*) { return fail(); };
         PSysCalls::table().fUnlinkat = [](int, const char*, int) { return fail(); };
       }, EACCES, kDeleteDir, "sub", -1, PERR_ACCESS},
      {[] { PSysCalls::table().fFdopendir = [](int) { return errno = gErrno, static_cast<DIR*>(nullptr); }; },
       ENOMEM, kListDir, "sub", -1, PERR_NO_MEMORY},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(std::to_string(test.fAction) + " " + test.fName);
    inject(test.fErrno);
    test.fInject();
    const PCommsMessage reply = call(test.fAction, test.fName, test.fMode);
    PSysCalls::restore();
    EXPECT_EQ(test.fStatus, statusOf(reply));
    EXPECT_EQ(kFileAccessModuleW, moduleOf(reply));
    if (test.fAction == kStartFileTransfer) {
      EXPECT_EQ(0, replyInt32(reply)) << "no transfer opened";
    } else if (test.fAction == kListDir) {
      EXPECT_TRUE(replyStrings(reply).empty());
    }
    EXPECT_EQ(descriptors, descriptorCount()) << "nothing left open";
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "new") || std::filesystem::exists(dir / "a"));
  EXPECT_TRUE(std::filesystem::exists(dir / "f") && std::filesystem::is_directory(dir / "sub"));
}

TEST_P(Faults, AFailedChunkLeavesTheTransferOpenAndTheFileAsAcknowledged) {
  const Bytes first = patternBytes(1000, 1), second = patternBytes(1000, 2);
  const int up = open("up", 2);
  inject(ENOSPC, 1);  // the disk fills at the second chunk
  PSysCalls::table().fWrite = [](int iFd, const void* iBuffer, size_t iSize) {
    return failNow() ? static_cast<ssize_t>(fail()) : PSysCalls::defaults().fWrite(iFd, iBuffer, iSize);
  };
  EXPECT_EQ(0, put(up, first));
  EXPECT_EQ(ERR_FAILED, put(up, second));
  PSysCalls::restore();
  EXPECT_EQ(first, readFile(dir / "up")) << "exactly the acknowledged chunks";
  EXPECT_EQ(0, put(up, second)) << "still open: space came back";
  EXPECT_EQ(0, close(up));
  Bytes both = first;
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(both, readFile(dir / "up"));

  writeFile(dir / "down", both);
  const int down = open("down", 1);
  inject(EIO, 1);
  gPart = 300;  // chunk 2 gets 300 bytes, then an input/output error
  PSysCalls::table().fRead = [](int iFd, void* oBuffer, size_t iSize) -> ssize_t {
    if (!failNow()) return PSysCalls::defaults().fRead(iFd, oBuffer, iSize);
    if (gPart == 0) return fail();
    const size_t part = std::min<size_t>(static_cast<size_t>(gPart), iSize);
    gPart = 0;
    gPass = 0;
    return PSysCalls::defaults().fRead(iFd, oBuffer, part);
  };
  EXPECT_EQ(first, replyBytes(next(down)));
  const PCommsMessage failed = next(down);
  PSysCalls::restore();
  EXPECT_EQ(ERR_FAILED, statusOf(failed));
  EXPECT_EQ(kEmptyBlock, failed.fData) << "bytes that came with the failure are dropped";
  EXPECT_EQ(second, replyBytes(next(down))) << "asked again, the chunk comes whole";
  EXPECT_EQ(0, close(down));
}

TEST_P(Faults, ACloseSaysWhetherTheDataReachedStorage) {
  writeFile(dir / "f", patternBytes(100));
  static int sFlushes, sFlushFailures, sCloseErrno;
  PSysCalls::table().fFdatasync = [](int iFd) { return ++sFlushes, sFlushFailures-- > 0 ? fail() : PSysCalls::defaults().fFdatasync(iFd); };
  PSysCalls::table().fClose = [](int iFd) { return PSysCalls::defaults().fClose(iFd), sCloseErrno ? errno = std::exchange(sCloseErrno, 0), -1 : 0; };
  struct Case {
    const char* fName;
    int fMode, fErrno, fFlushFailures, fCloseErrno, fStatus, fFlushes;
  };
  const Case cases[] = {{"upload, flush interrupted once", 2, EINTR, 1, 0, 0, 2},
                        {"upload, a file system that cannot flush", 2, EINVAL, 1, 0, 0, 1},
                        {"upload, close(2) fails after the flush", 2, 0, 0, EIO, ERR_FAILED, 1},
                        {"download, close(2) fails", 1, 0, 0, EIO, ERR_FAILED, 0}};
  for (const Case& test : cases) {
    const int id = open(test.fMode == 1 ? "f" : "up", test.fMode);
    inject(test.fErrno);
    sFlushes = 0, sFlushFailures = test.fFlushFailures, sCloseErrno = test.fCloseErrno;
    EXPECT_EQ(test.fStatus, close(id)) << test.fName;
    EXPECT_EQ(test.fFlushes, sFlushes) << test.fName;
    EXPECT_EQ(0, close(id)) << test.fName << ": the data is safe and the descriptor gone; the next close answers 0";
    EXPECT_EQ(descriptors, descriptorCount()) << test.fName;
  }
  // A failed write-back: the kernel may have dropped the data, so no close
  // of it ever answers 0; the transfer stays open and usable meanwhile.
  const int id = open("up", 2);
  EXPECT_EQ(0, put(id, {1, 2, 3}));
  inject(EIO);
  sFlushes = 0, sFlushFailures = 1;
  EXPECT_EQ(ERR_FAILED, close(id));
  EXPECT_EQ(0, put(id, {4}));
  EXPECT_EQ(ERR_FAILED, close(id)) << "even when the next flush succeeds";
  EXPECT_EQ(2, sFlushes) << "the second close flushed again";
  EXPECT_EQ(descriptors + 1, descriptorCount()) << "the transfer keeps its descriptor until the service goes";
  PSysCalls::restore();
  harness.stop();
  harness.fDispatcher.fHeld.clear();
}

INSTANTIATE_TEST_SUITE_P(Links, Faults, ::testing::Values(PPathPolicy::SYMLINKS_FOLLOW, PPathPolicy::SYMLINKS_REFUSE),
                         [](const ::testing::TestParamInfo<int>& iInfo) { return std::string(PPathPolicy::symlinksName(iInfo.param)); });
