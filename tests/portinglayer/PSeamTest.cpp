// Faults injected through the system-call table.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "PlTestSupport.h"
#include "zevo/PDir.h"
#include "zevo/PFile.h"
#include "zevo/portinglayer/PSysCalls.h"

namespace {

int gCalls = 0;  // calls seen by the current fake

// Takes 100 bytes, then the disk is full.
ssize_t writeThenFull(int iFd, const void* iBuffer, size_t iSize) {
  if (gCalls++ == 0) return PSysCalls::defaults().fWrite(iFd, iBuffer, iSize < 100 ? iSize : 100);
  errno = ENOSPC;
  return -1;
}

// Interrupted once, then 10 bytes, then a device error.
ssize_t readThenFail(int iFd, void* oBuffer, size_t iSize) {
  switch (gCalls++) {
    case 0: errno = EINTR; return -1;
    case 1: return PSysCalls::defaults().fRead(iFd, oBuffer, iSize < 10 ? iSize : 10);
    default: errno = EIO; return -1;
  }
}

int openDenied(const char*, int, mode_t) {
  errno = EACCES;
  return -1;
}

int fstatFails(int, struct stat*) {
  errno = EIO;
  return -1;
}

int closeFails(int iFd) {
  PSysCalls::defaults().fClose(iFd);
  errno = EIO;
  return -1;
}

// Three entries, then the directory is gone.
struct dirent* readdirThenGone(DIR* iDir) {
  if (gCalls++ < 3) return PSysCalls::defaults().fReaddir(iDir);
  errno = ENOENT;
  return nullptr;
}

std::atomic<bool> gInRead{false};
ssize_t slowRead(int iFd, void* oBuffer, size_t iSize) {
  gInRead = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return PSysCalls::defaults().fRead(iFd, oBuffer, iSize);
}

}  // namespace

TEST(PSysCalls, DiskFullAndReadErrorAfterSomeBytes) {
  PTempDir dir;
  PSysCallsScope restore;
  PFile file;
  ASSERT_EQ(0, file.popen(widePath(dir, "f"), PFile::MODE_WRITE_NEW, 0));
  const std::string data(1000, 'q');
  unsigned int done = 0;
  gCalls = 0;
  PSysCalls::table().fWrite = writeThenFull;
  EXPECT_EQ(PERR_NO_SPACE, file.pwrite(data.data(), 1000, done)) << codeName(file.pwrite(data.data(), 1, done));
  EXPECT_EQ(100u, done);
  PSysCalls::restore();
  long long size = -1;
  EXPECT_EQ(0, file.pgetSize(size));
  EXPECT_EQ(0, size) << "a failed write takes back what it appended";
  ASSERT_EQ(0, file.pwrite(data.data(), 100, done));  // the same block again, now with room
  ASSERT_EQ(0, file.pclose());

  ASSERT_EQ(0, file.popen(widePath(dir, "f"), PFile::MODE_READ_ONLY, 0));
  EXPECT_EQ(0, file.pgetSize(size));
  EXPECT_EQ(100, size);
  char buffer[8192];
  gCalls = 0;
  PSysCalls::table().fRead = readThenFail;
  const int rc = file.pread(buffer, sizeof buffer, done);
  EXPECT_EQ(PERR_IO, rc) << codeName(rc);
  EXPECT_EQ(10u, done);
  EXPECT_EQ(3, gCalls);  // the interruption was retried
}

TEST(PSysCalls, FailuresLeaveNoDescriptorOrOpenState) {
  PTempDir dir;
  PSysCallsScope restore;
  const int before = openDescriptorCount();
  PFile file;
  PSysCalls::table().fOpen = openDenied;
  EXPECT_EQ(PERR_ACCESS, file.popen(widePath(dir, "f"), PFile::MODE_WRITE_NEW, 0));
  PDir listing;
  EXPECT_EQ(PERR_ACCESS, listing.popen(widePath(dir, ""), PLiteral()));
  PSysCalls::restore();

  PSysCalls::table().fFstat = fstatFails;  // after the open: the descriptor must go again
  EXPECT_EQ(PERR_IO, file.popen(widePath(dir, "f"), PFile::MODE_WRITE_NEW, 0));
  EXPECT_FALSE(file.isOpen());
  PSysCalls::restore();

  ASSERT_EQ(0, file.popen(widePath(dir, "f"), PFile::MODE_WRITE_NEW, 0));
  PSysCalls::table().fClose = closeFails;
  EXPECT_EQ(PERR_IO, file.pclose());
  EXPECT_FALSE(file.isOpen());
  PSysCalls::restore();
  EXPECT_EQ(before, openDescriptorCount());
}

TEST(PSysCalls, DirectoryRemovedMidListing) {
  PTempDir dir;
  for (int i = 0; i < 10; ++i) ::close(::open((dir.path() + "/f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0600));
  PSysCallsScope restore;
  PDir listing;
  ASSERT_EQ(0, listing.popen(widePath(dir, ""), PLiteral()));
  gCalls = 0;
  PSysCalls::table().fReaddir = readdirThenGone;
  ASSERT_EQ(0, listing.preaddir());
  int seen = 0;
  for (; listing == 0; listing++) ++seen;
  EXPECT_EQ(3, seen);
  EXPECT_TRUE(listing == PERR_FILE_EOF);
  EXPECT_EQ(PERR_NOT_FOUND, listing.lastError());
}

TEST(PSysCalls, CloseWaitsForReadOnAnotherThread) {
  PTempDir dir;
  ::close(::open((dir.path() + "/f").c_str(), O_CREAT | O_WRONLY, 0600));
  PFile file;
  ASSERT_EQ(0, file.popen(widePath(dir, "f"), PFile::MODE_READ_ONLY, 0));
  PSysCallsScope restore;
  PSysCalls::table().fRead = slowRead;
  int readResult = 0;
  unsigned int done = 0;
  char byte = 0;
  std::thread reader([&] { readResult = file.pread(&byte, 1, done); });
  while (!gInRead) std::this_thread::yield();
  EXPECT_EQ(0, file.pclose());
  reader.join();
  EXPECT_EQ(PERR_FILE_EOF, readResult) << codeName(readResult);  // not a closed descriptor
}
