// The system calls behind the path operations of PFile and PDir, with the
// process's symbolic-link policy (zevo/PPathPolicy.h) applied. Internal to
// the layer; paths have passed PPathCheck.
//
// Following: the plain calls (open, stat, unlink, mkdir, rmdir).
// Refusing: the directory holding the last component is opened with
// openat2(RESOLVE_NO_SYMLINKS), or, where the system has no openat2, by
// walking its components with openat(O_PATH | O_NOFOLLOW) and checking each;
// the last component is then reached relative to it with O_NOFOLLOW or
// AT_SYMLINK_NOFOLLOW. A link anywhere is PERR_SYMLINK. With mount points
// refused too, RESOLVE_NO_XDEV (the walk: st_dev against the start's) makes
// a crossing PERR_CROSS_DEVICE, the last component included.
//
// open() never opens a special file for reading or writing: what the path
// names is first opened with O_PATH (which runs no driver), judged with
// fstatat, and only then reopened through /proc/self/fd with the real flags
// (the same inode, whatever happened to the name meanwhile). A file that
// does not exist is created with O_EXCL (links refused) or by name.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

class PPathAt {
 public:
  // A path's last component and the directory holding it: with links
  // refused, opened without passing through a link (and, with mount points
  // refused, without crossing one); with links followed, opened by name.
  struct Last {
    Last() = default;
    Last(const Last&) = delete;
    Last& operator=(const Last&) = delete;
    ~Last();
    // The name as given, its trailing "/" kept: the calls that never follow
    // the last component (unlink, rmdir, mkdir) judge it as the system does.
    std::string given() const { return fSlash && fName != "/" ? fName + "/" : fName; }

    int fDir = AT_FDCWD;     // O_PATH descriptor; AT_FDCWD for the root
    std::string fName;       // without trailing "/"; "/" for the root
    bool fSlash = false;     // the path ended with "/"
    bool fOpenat2 = false;   // fDir came from openat2: the last step may use it too
    bool fSameDev = false;   // mounts refused and walked: the last component must be on fStartDev
    dev_t fStartDev = 0;     // the device of the walk's start, "/" or the working directory
  };
  // Opens the directory holding the last component of iPath into oLast.
  static int parentOf(const std::string& iPath, Last& oLast);
  // The last component itself (a link too) as an O_PATH descriptor, with
  // what it is; with mount points refused a mount point is PERR_CROSS_DEVICE.
  static int probe(const Last& iLast, int& oFd, struct stat& oInfo);
  // For an operation on the last component's name itself: PERR_SYMLINK for
  // a link (links refused), PERR_CROSS_DEVICE for a refused mount point, 0
  // otherwise, nothing there included.
  static int refusedLast(const Last& iLast);

  // A descriptor in oFd, or a code: a regular file, or with O_DIRECTORY in
  // iFlags a directory. Anything else is refused before it is opened:
  // PERR_IS_DIR, PERR_NOT_FILE (FIFO, device, socket) or PERR_NOT_DIR; with
  // links refused, a regular file with more than one hard link is
  // PERR_HARDLINK.
  // O_TRUNC is applied once the file is known to be the one judged.
  static int open(const std::string& iPath, int iFlags, mode_t iMode, int& oFd);
  // What the path names (links followed, or refused).
  static int stat(const std::string& iPath, struct stat& oInfo);
  static int unlink(const std::string& iPath);
  static int mkdir(const std::string& iPath, mode_t iMode);
  static int rmdir(const std::string& iPath);

  // 0 for a regular file; PERR_IS_DIR or PERR_NOT_FILE for anything else.
  static int kindCode(mode_t iMode);
};
