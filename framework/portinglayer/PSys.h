// The layer's own entry to the system calls: through the seam table, with
// EINTR retried here and nowhere else. Internal to the layer.
#pragma once

#include "zevo/portinglayer/PSysCalls.h"

class PSys {
 public:
  static int open(const char* iPath, int iFlags, mode_t iMode);
  static ssize_t read(int iFd, void* oBuffer, size_t iSize);
  static ssize_t write(int iFd, const void* iBuffer, size_t iSize);
  // Not retried: on Linux the descriptor is released even when interrupted,
  // and a retry could close a descriptor another thread has just opened.
  // An interruption therefore counts as success.
  static int close(int iFd);
  static int fstat(int iFd, struct stat* oStat);
  static int stat(const char* iPath, struct stat* oStat);
  static int lstat(const char* iPath, struct stat* oStat);
  static int unlink(const char* iPath);
  static int mkdir(const char* iPath, mode_t iMode);
  static int rmdir(const char* iPath);
  static DIR* fdopendir(int iFd);
  static struct dirent* readdir(DIR* iDir);
  static int closedir(DIR* iDir);  // as close()
  static int fcntl(int iFd, int iCommand, int iArgument);
  // -1 with ENOSYS where the system has no openat2.
  static int openat2(int iDirFd, const char* iPath, int iFlags, mode_t iMode, unsigned long long iResolve);
  static int openat(int iDirFd, const char* iPath, int iFlags, mode_t iMode);
  static int fstatat(int iDirFd, const char* iPath, struct stat* oStat, int iFlags);
  static int unlinkat(int iDirFd, const char* iPath, int iFlags);
  static int mkdirat(int iDirFd, const char* iPath, mode_t iMode);
  static off_t lseek(int iFd, off_t iOffset, int iWhence);
  static int ftruncate(int iFd, off_t iLength);
  static int fdatasync(int iFd);
  static ssize_t pread(int iFd, void* oBuffer, size_t iSize, off_t iOffset);
  static ssize_t pwrite(int iFd, const void* iBuffer, size_t iSize, off_t iOffset);
  static int fsync(int iFd);
  static int syncfs(int iFd);
  static int renameat2(int iFromDir, const char* iFrom, int iToDir, const char* iTo, unsigned int iFlags);
  static int linkat(int iFromDir, const char* iFrom, int iToDir, const char* iTo, int iFlags);
  static int fchmodat(int iDirFd, const char* iPath, mode_t iMode, int iFlags);
  static int utimensat(int iDirFd, const char* iPath, const struct timespec* iTimes, int iFlags);
  static ssize_t readlinkat(int iDirFd, const char* iPath, char* oBuffer, size_t iSize);
  static int uname(struct utsname* oName);
};
