// Fault-injection seam of the porting layer, for tests only.
//
// Every system call the layer makes for files and directories goes through
// one table of function pointers. A test replaces entries to simulate
// failures (permission denied, disk full, short writes, read errors, a
// directory removed mid-listing) and restores the defaults afterwards. The
// defaults call the system directly. A replacement reports failure as the
// system does: -1 (or null) with errno set.
//
// A file or listing is opened in two steps: an O_PATH open (fOpen, or
// fOpenat with links refused) judged with fFstatat, then fOpenat of
// "/proc/self/fd/N" with the real flags (and fFdopendir for a listing). A
// new file is created by fOpen or fOpenat with O_CREAT. When the process
// refuses symbolic links (zevo/PPathPolicy.h) paths go through fOpenat2
// (ENOSYS: walked with fOpenat and fFstat instead), then fOpenat, fFstatat,
// fUnlinkat and fMkdirat relative to the directory found.
//
// The table is not synchronised: change it only while no other thread uses
// the layer. Built with the project's _FILE_OFFSET_BITS=64, like the layer.
//
// Uploads (PUploadFile) create their file with fOpenat and O_TMPFILE (a
// reserved name with O_CREAT | O_EXCL where the file system has none), and
// publish it with fLinkat (O_TMPFILE) and fRenameat2 after fFdatasync or
// fSyncfs (fUname: whether the kernel's syncfs reports write errors); the
// directory is flushed with fFsync on an fOpenat descriptor.
// Attributes are set through "/proc/self/fd/N" (fFchmodat, fUtimensat).
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utsname.h>

#include "zevo/PExport.h"

struct PSysCallTable {
  int (*fOpen)(const char* iPath, int iFlags, mode_t iMode);
  ssize_t (*fRead)(int iFd, void* oBuffer, size_t iSize);
  ssize_t (*fWrite)(int iFd, const void* iBuffer, size_t iSize);
  int (*fClose)(int iFd);
  int (*fFstat)(int iFd, struct stat* oStat);
  int (*fStat)(const char* iPath, struct stat* oStat);
  int (*fLstat)(const char* iPath, struct stat* oStat);  // not used by the layer today
  int (*fUnlink)(const char* iPath);
  int (*fMkdir)(const char* iPath, mode_t iMode);
  int (*fRmdir)(const char* iPath);
  DIR* (*fFdopendir)(int iFd);
  struct dirent* (*fReaddir)(DIR* iDir);
  int (*fClosedir)(DIR* iDir);
  int (*fFcntl)(int iFd, int iCommand, int iArgument);
  // openat2(2) with the flags, mode and RESOLVE_... bits of its open_how;
  // -1 with ENOSYS where the system has none.
  int (*fOpenat2)(int iDirFd, const char* iPath, int iFlags, mode_t iMode, unsigned long long iResolve);
  int (*fOpenat)(int iDirFd, const char* iPath, int iFlags, mode_t iMode);
  int (*fFstatat)(int iDirFd, const char* iPath, struct stat* oStat, int iFlags);
  int (*fUnlinkat)(int iDirFd, const char* iPath, int iFlags);
  int (*fMkdirat)(int iDirFd, const char* iPath, mode_t iMode);
  off_t (*fLseek)(int iFd, off_t iOffset, int iWhence);
  int (*fFtruncate)(int iFd, off_t iLength);
  int (*fFdatasync)(int iFd);  // PFile::pclose of a file opened for writing
  // Positional transfers, flushes, renames and attributes of the calls
  // beside PFile and PDir (PRangeFile, PUploadFile, PPathOps, PDirStream).
  ssize_t (*fPread)(int iFd, void* oBuffer, size_t iSize, off_t iOffset);
  ssize_t (*fPwrite)(int iFd, const void* iBuffer, size_t iSize, off_t iOffset);
  int (*fFsync)(int iFd);    // a directory, after a rename into it
  int (*fSyncfs)(int iFd);   // the file system of a group of uploads
  int (*fRenameat2)(int iFromDir, const char* iFrom, int iToDir, const char* iTo, unsigned int iFlags);
  int (*fLinkat)(int iFromDir, const char* iFrom, int iToDir, const char* iTo, int iFlags);
  int (*fFchmodat)(int iDirFd, const char* iPath, mode_t iMode, int iFlags);
  int (*fUtimensat)(int iDirFd, const char* iPath, const struct timespec* iTimes, int iFlags);
  ssize_t (*fReadlinkat)(int iDirFd, const char* iPath, char* oBuffer, size_t iSize);
  int (*fUname)(struct utsname* oName);  // the kernel's release
};

class ZEVO_EXPORT PSysCalls {
 public:
  // The table in use; entries may be replaced.
  static PSysCallTable& table();
  // The system's own functions, e.g. for a replacement that fails only sometimes.
  static const PSysCallTable& defaults();
  // Puts every entry back to its default.
  static void restore();
};

// Restores the defaults when the scope ends, so a failing test cannot leave
// a fault behind for the next one.
class PSysCallsScope {
 public:
  PSysCallsScope() = default;
  ~PSysCallsScope() { PSysCalls::restore(); }
  PSysCallsScope(const PSysCallsScope&) = delete;
  PSysCallsScope& operator=(const PSysCallsScope&) = delete;
};
