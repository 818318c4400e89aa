// Special files, hard links and mount points: what PFile and PDir refuse,
// with links refused (openat2, and the walk used where the system has none)
// and followed. "Opened" is seen at the system-call seam: an open without
// O_PATH of something that is neither a regular file nor a directory.
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "PTestSupport.h"
#include "zevo/PDir.h"
#include "zevo/PFile.h"
#include "zevo/portinglayer/PSysCalls.h"

namespace {

enum class Mode { kFollow, kOpenat2, kWalk };

int gSpecialOpens = 0;
std::string gSwapTo;  // when set, the first real open of a regular file finds this renamed over it first

void seen(int iDir, const char* iPath, int iFlags) {
  struct stat info;
  if ((iFlags & O_PATH) != 0 || ::fstatat(iDir, iPath, &info, 0) != 0) return;
  if (S_ISREG(info.st_mode) && !gSwapTo.empty()) {
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlinkat(iDir, iPath, target.data(), target.size());  // /proc/self/fd/N, or the name
    target.resize(length > 0 ? static_cast<size_t>(length) : 0);
    const bool byName = length <= 0;
    if (::renameat(AT_FDCWD, gSwapTo.c_str(), byName ? iDir : AT_FDCWD, byName ? iPath : target.c_str()) != 0) ADD_FAILURE();
    gSwapTo.clear();
  }
  if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) ++gSpecialOpens;
}
int countedOpen(const char* iPath, int iFlags, mode_t iMode) {
  seen(AT_FDCWD, iPath, iFlags);
  return PSysCalls::defaults().fOpen(iPath, iFlags, iMode);
}
int countedOpenat(int iDir, const char* iPath, int iFlags, mode_t iMode) {
  seen(iDir, iPath, iFlags);
  return PSysCalls::defaults().fOpenat(iDir, iPath, iFlags, iMode);
}
int noOpenat2(int, const char*, int, mode_t, unsigned long long) { return errno = ENOSYS, -1; }

int openPath(const std::string& iPath, unsigned int iMode = PFile::MODE_READ_ONLY) {
  PFile file;
  return file.popen(wpath(iPath), iMode, 0);
}

class Special : public ::testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    PSysCalls::table().fOpen = countedOpen;
    PSysCalls::table().fOpenat = countedOpenat;
    if (GetParam() == Mode::kWalk) PSysCalls::table().fOpenat2 = noOpenat2;
    gSpecialOpens = 0;
  }
  void TearDown() override {
    gSwapTo.clear();
    EXPECT_EQ(descriptors, descriptorCount()) << "a descriptor leaked";
  }
  bool refusing() const { return GetParam() != Mode::kFollow; }

  PTempDir dir;
  PSysCallsScope restore;
  PSymlinkPolicyScope policy{GetParam() == Mode::kFollow ? PPathPolicy::SYMLINKS_FOLLOW : PPathPolicy::SYMLINKS_REFUSE};
  int descriptors = descriptorCount();
};

}  // namespace

TEST_P(Special, DevicesAndFifosAreRefusedWithoutBeingOpened) {
  ASSERT_EQ(0, ::mkfifo((dir / "fifo").c_str(), 0600));
  for (const std::string& path : {std::string("/dev/null"), dir / "fifo"}) {
    for (unsigned int mode : {PFile::MODE_READ_ONLY, PFile::MODE_WRITE_NEW, PFile::MODE_WRITE | PFile::MODE_APPEND}) {
      EXPECT_EQ(PERR_NOT_FILE, openPath(path, mode)) << path << " " << mode;
    }
    EXPECT_EQ(PERR_NOT_DIR, PDir().popen(wpath(path), PLiteral()));
  }
  // A FIFO renamed over the file just before the real open: the file judged
  // is the one opened (links refused: the name, changed, is judged again).
  writeText(dir / "f", "x");
  gSwapTo = dir / "fifo";
  EXPECT_EQ(refusing() ? PERR_NOT_FILE : 0, openPath(dir / "f"));
  EXPECT_TRUE(gSwapTo.empty()) << "swapped";
  EXPECT_EQ(0, gSpecialOpens);
}

TEST_P(Special, AHardLinkToAnOutsideFileIsOpenedOnlyWithLinksFollowed) {
  std::filesystem::create_directories(dir / "tree");
  writeText(dir / "outside", "secret");
  ASSERT_EQ(0, ::link((dir / "outside").c_str(), (dir / "tree/hard").c_str()));
  for (unsigned int mode : {PFile::MODE_READ_ONLY, PFile::MODE_WRITE_NEW, PFile::MODE_WRITE | PFile::MODE_APPEND}) {
    EXPECT_EQ(refusing() ? PERR_HARDLINK : 0, openPath(dir / "tree/hard", mode)) << mode;
  }
  EXPECT_EQ(refusing() ? "secret" : "", readText(dir / "outside")) << "emptied only through a followed link";
  EXPECT_EQ(0, PFile::pdelete(wpath(dir / "tree/hard")));
  EXPECT_EQ(0, openPath(dir / "outside", PFile::MODE_WRITE_NEW)) << "its only name now";
}

TEST_P(Special, AMountPointIsCrossedOnlyWhenTheSettingsAllow) {
  // Relative paths: they start on the mount of the working directory.
  std::filesystem::create_directories(dir / "tree/mnt");
  writeText(dir / "tree/f", "x");
  if (::mount("zevo-test", (dir / "tree/mnt").c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "mount(2) is not permitted here: " << std::strerror(errno);
  }
  struct Restore {
    explicit Restore(std::string iMount) : fMount(std::move(iMount)) {}
    ~Restore() {
      PPathPolicy::setMounts(PPathPolicy::MOUNTS_CROSS);
      if (::fchdir(fHere) + ::close(fHere) + ::umount2(fMount.c_str(), MNT_DETACH) != 0) ADD_FAILURE() << "restored";
    }
    int fHere = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::string fMount;
  } restore(dir / "tree/mnt");
  ASSERT_EQ(0, ::chdir(dir.path().c_str()));
  writeText("tree/mnt/f", "on the mount");
  EXPECT_EQ(PERR_INVALID_ARG, PPathPolicy::setMounts(7));
  for (int mounts : {PPathPolicy::MOUNTS_CROSS, PPathPolicy::MOUNTS_REFUSE}) {
    SCOPED_TRACE(mounts);
    ASSERT_EQ(0, PPathPolicy::setMounts(mounts));
    const bool refused = mounts == PPathPolicy::MOUNTS_REFUSE && refusing();
    EXPECT_EQ(refused ? PERR_CROSS_DEVICE : 0, openPath("tree/mnt/f"));
    // The last component is the mount point:
    EXPECT_EQ(refused ? PERR_CROSS_DEVICE : 0, PDir().popen(wpath("tree/mnt"), PLiteral()));
    EXPECT_EQ(refused ? PERR_CROSS_DEVICE : PERR_EXISTS, PDir::pcreate(wpath("tree/mnt")));
    EXPECT_EQ(!refused, PFile::exists(wpath("tree/mnt/")) != 0);
    EXPECT_EQ(0, openPath("tree/f", PFile::MODE_WRITE_NEW)) << "on the start's mount";
  }
}

INSTANTIATE_TEST_SUITE_P(Special, Special, ::testing::Values(Mode::kFollow, Mode::kOpenat2, Mode::kWalk));
