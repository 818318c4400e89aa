#include "zevo/portinglayer/PSysCalls.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

#include "PSys.h"

namespace {

int sysOpen(const char* iPath, int iFlags, mode_t iMode) { return ::open(iPath, iFlags, iMode); }
ssize_t sysRead(int iFd, void* oBuffer, size_t iSize) { return ::read(iFd, oBuffer, iSize); }
ssize_t sysWrite(int iFd, const void* iBuffer, size_t iSize) { return ::write(iFd, iBuffer, iSize); }
int sysClose(int iFd) { return ::close(iFd); }
int sysFstat(int iFd, struct stat* oStat) { return ::fstat(iFd, oStat); }
int sysStat(const char* iPath, struct stat* oStat) { return ::stat(iPath, oStat); }
int sysLstat(const char* iPath, struct stat* oStat) { return ::lstat(iPath, oStat); }
int sysUnlink(const char* iPath) { return ::unlink(iPath); }
int sysMkdir(const char* iPath, mode_t iMode) { return ::mkdir(iPath, iMode); }
int sysRmdir(const char* iPath) { return ::rmdir(iPath); }
DIR* sysFdopendir(int iFd) { return ::fdopendir(iFd); }
struct dirent* sysReaddir(DIR* iDir) { return ::readdir(iDir); }
int sysClosedir(DIR* iDir) { return ::closedir(iDir); }
int sysFcntl(int iFd, int iCommand, int iArgument) { return ::fcntl(iFd, iCommand, iArgument); }

int sysOpenat2(int iDirFd, const char* iPath, int iFlags, mode_t iMode, unsigned long long iResolve) {
#if defined(SYS_openat2) && __has_include(<linux/openat2.h>)
  struct open_how how {};
  how.flags = static_cast<std::uint64_t>(static_cast<unsigned int>(iFlags));
  how.mode = iMode;
  how.resolve = iResolve;
  return static_cast<int>(::syscall(SYS_openat2, iDirFd, iPath, &how, sizeof how));
#else
  (void)iDirFd, (void)iPath, (void)iFlags, (void)iMode, (void)iResolve;
  errno = ENOSYS;
  return -1;
#endif
}
int sysOpenat(int iDirFd, const char* iPath, int iFlags, mode_t iMode) { return ::openat(iDirFd, iPath, iFlags, iMode); }
int sysFstatat(int iDirFd, const char* iPath, struct stat* oStat, int iFlags) {
  return ::fstatat(iDirFd, iPath, oStat, iFlags);
}
int sysUnlinkat(int iDirFd, const char* iPath, int iFlags) { return ::unlinkat(iDirFd, iPath, iFlags); }
int sysMkdirat(int iDirFd, const char* iPath, mode_t iMode) { return ::mkdirat(iDirFd, iPath, iMode); }
off_t sysLseek(int iFd, off_t iOffset, int iWhence) { return ::lseek(iFd, iOffset, iWhence); }
int sysFtruncate(int iFd, off_t iLength) { return ::ftruncate(iFd, iLength); }
int sysFdatasync(int iFd) { return ::fdatasync(iFd); }
ssize_t sysPread(int iFd, void* oBuffer, size_t iSize, off_t iOffset) { return ::pread(iFd, oBuffer, iSize, iOffset); }
ssize_t sysPwrite(int iFd, const void* iBuffer, size_t iSize, off_t iOffset) {
  return ::pwrite(iFd, iBuffer, iSize, iOffset);
}
int sysFsync(int iFd) { return ::fsync(iFd); }
int sysSyncfs(int iFd) { return ::syncfs(iFd); }
int sysRenameat2(int iFromDir, const char* iFrom, int iToDir, const char* iTo, unsigned int iFlags) {
  return ::renameat2(iFromDir, iFrom, iToDir, iTo, iFlags);
}
int sysLinkat(int iFromDir, const char* iFrom, int iToDir, const char* iTo, int iFlags) {
  return ::linkat(iFromDir, iFrom, iToDir, iTo, iFlags);
}
int sysFchmodat(int iDirFd, const char* iPath, mode_t iMode, int iFlags) { return ::fchmodat(iDirFd, iPath, iMode, iFlags); }
int sysUtimensat(int iDirFd, const char* iPath, const struct timespec* iTimes, int iFlags) {
  return ::utimensat(iDirFd, iPath, iTimes, iFlags);
}
ssize_t sysReadlinkat(int iDirFd, const char* iPath, char* oBuffer, size_t iSize) {
  return ::readlinkat(iDirFd, iPath, oBuffer, iSize);
}
int sysUname(struct utsname* oName) { return ::uname(oName); }

const PSysCallTable kDefaults = {sysOpen,   sysRead,    sysWrite,    sysClose,   sysFstat,    sysStat,
                                 sysLstat,  sysUnlink,  sysMkdir,    sysRmdir,   sysFdopendir, sysReaddir,
                                 sysClosedir, sysFcntl, sysOpenat2,  sysOpenat,  sysFstatat,  sysUnlinkat,
                                 sysMkdirat, sysLseek, sysFtruncate, sysFdatasync, sysPread,   sysPwrite,
                                 sysFsync,  sysSyncfs,  sysRenameat2, sysLinkat, sysFchmodat, sysUtimensat,
                                 sysReadlinkat, sysUname};

PSysCallTable gTable = kDefaults;

// The one place where an interrupted call is repeated.
template <class Result, class Call>
Result retryOnEintr(Result iFailure, Call iCall) {
  for (;;) {
    const Result result = iCall();
    if (result != iFailure || errno != EINTR) return result;
  }
}

}  // namespace

PSysCallTable& PSysCalls::table() { return gTable; }
const PSysCallTable& PSysCalls::defaults() { return kDefaults; }
void PSysCalls::restore() { gTable = kDefaults; }

int PSys::open(const char* iPath, int iFlags, mode_t iMode) {
  return retryOnEintr(-1, [&] { return gTable.fOpen(iPath, iFlags, iMode); });
}

ssize_t PSys::read(int iFd, void* oBuffer, size_t iSize) {
  return retryOnEintr<ssize_t>(-1, [&] { return gTable.fRead(iFd, oBuffer, iSize); });
}

ssize_t PSys::write(int iFd, const void* iBuffer, size_t iSize) {
  return retryOnEintr<ssize_t>(-1, [&] { return gTable.fWrite(iFd, iBuffer, iSize); });
}

int PSys::close(int iFd) {
  if (gTable.fClose(iFd) == 0 || errno == EINTR) return 0;
  return -1;
}

int PSys::fstat(int iFd, struct stat* oStat) {
  return retryOnEintr(-1, [&] { return gTable.fFstat(iFd, oStat); });
}

int PSys::stat(const char* iPath, struct stat* oStat) {
  return retryOnEintr(-1, [&] { return gTable.fStat(iPath, oStat); });
}

int PSys::lstat(const char* iPath, struct stat* oStat) {
  return retryOnEintr(-1, [&] { return gTable.fLstat(iPath, oStat); });
}

int PSys::unlink(const char* iPath) {
  return retryOnEintr(-1, [&] { return gTable.fUnlink(iPath); });
}

int PSys::mkdir(const char* iPath, mode_t iMode) {
  return retryOnEintr(-1, [&] { return gTable.fMkdir(iPath, iMode); });
}

int PSys::rmdir(const char* iPath) {
  return retryOnEintr(-1, [&] { return gTable.fRmdir(iPath); });
}

DIR* PSys::fdopendir(int iFd) {
  return retryOnEintr<DIR*>(nullptr, [&] { return gTable.fFdopendir(iFd); });
}

struct dirent* PSys::readdir(DIR* iDir) {
  return gTable.fReaddir(iDir);
}

int PSys::closedir(DIR* iDir) {
  if (gTable.fClosedir(iDir) == 0 || errno == EINTR) return 0;
  return -1;
}

int PSys::fcntl(int iFd, int iCommand, int iArgument) {
  return retryOnEintr(-1, [&] { return gTable.fFcntl(iFd, iCommand, iArgument); });
}

int PSys::openat2(int iDirFd, const char* iPath, int iFlags, mode_t iMode, unsigned long long iResolve) {
  return retryOnEintr(-1, [&] { return gTable.fOpenat2(iDirFd, iPath, iFlags, iMode, iResolve); });
}

int PSys::openat(int iDirFd, const char* iPath, int iFlags, mode_t iMode) {
  return retryOnEintr(-1, [&] { return gTable.fOpenat(iDirFd, iPath, iFlags, iMode); });
}

int PSys::fstatat(int iDirFd, const char* iPath, struct stat* oStat, int iFlags) {
  return retryOnEintr(-1, [&] { return gTable.fFstatat(iDirFd, iPath, oStat, iFlags); });
}

int PSys::unlinkat(int iDirFd, const char* iPath, int iFlags) {
  return retryOnEintr(-1, [&] { return gTable.fUnlinkat(iDirFd, iPath, iFlags); });
}

int PSys::mkdirat(int iDirFd, const char* iPath, mode_t iMode) {
  return retryOnEintr(-1, [&] { return gTable.fMkdirat(iDirFd, iPath, iMode); });
}

off_t PSys::lseek(int iFd, off_t iOffset, int iWhence) { return gTable.fLseek(iFd, iOffset, iWhence); }

int PSys::ftruncate(int iFd, off_t iLength) {
  return retryOnEintr(-1, [&] { return gTable.fFtruncate(iFd, iLength); });
}

int PSys::fdatasync(int iFd) {
  return retryOnEintr(-1, [&] { return gTable.fFdatasync(iFd); });
}

ssize_t PSys::pread(int iFd, void* oBuffer, size_t iSize, off_t iOffset) {
  return retryOnEintr<ssize_t>(-1, [&] { return gTable.fPread(iFd, oBuffer, iSize, iOffset); });
}

ssize_t PSys::pwrite(int iFd, const void* iBuffer, size_t iSize, off_t iOffset) {
  return retryOnEintr<ssize_t>(-1, [&] { return gTable.fPwrite(iFd, iBuffer, iSize, iOffset); });
}

int PSys::fsync(int iFd) {
  return retryOnEintr(-1, [&] { return gTable.fFsync(iFd); });
}

int PSys::syncfs(int iFd) {
  return retryOnEintr(-1, [&] { return gTable.fSyncfs(iFd); });
}

int PSys::renameat2(int iFromDir, const char* iFrom, int iToDir, const char* iTo, unsigned int iFlags) {
  return retryOnEintr(-1, [&] { return gTable.fRenameat2(iFromDir, iFrom, iToDir, iTo, iFlags); });
}

int PSys::linkat(int iFromDir, const char* iFrom, int iToDir, const char* iTo, int iFlags) {
  return retryOnEintr(-1, [&] { return gTable.fLinkat(iFromDir, iFrom, iToDir, iTo, iFlags); });
}

int PSys::fchmodat(int iDirFd, const char* iPath, mode_t iMode, int iFlags) {
  return retryOnEintr(-1, [&] { return gTable.fFchmodat(iDirFd, iPath, iMode, iFlags); });
}

int PSys::utimensat(int iDirFd, const char* iPath, const struct timespec* iTimes, int iFlags) {
  return retryOnEintr(-1, [&] { return gTable.fUtimensat(iDirFd, iPath, iTimes, iFlags); });
}

ssize_t PSys::readlinkat(int iDirFd, const char* iPath, char* oBuffer, size_t iSize) {
  return retryOnEintr<ssize_t>(-1, [&] { return gTable.fReadlinkat(iDirFd, iPath, oBuffer, iSize); });
}

int PSys::uname(struct utsname* oName) { return gTable.fUname(oName); }
