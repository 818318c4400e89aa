#include "PPathAt.h"

#include <fcntl.h>

#include <cerrno>
#include <string>

#include "PSys.h"
#include "zevo/PErrors.h"
#include "zevo/PPathPolicy.h"

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

namespace {

#ifdef RESOLVE_NO_SYMLINKS
constexpr unsigned long long kNoSymlinks = RESOLVE_NO_SYMLINKS;
constexpr unsigned long long kNoXdev = RESOLVE_NO_XDEV;
#else
constexpr unsigned long long kNoSymlinks = 0x04;  // the kernel's values
constexpr unsigned long long kNoXdev = 0x01;
#endif

constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

using PLast = PPathAt::Last;

// Opens iParent component by component (no openat2) into ioLast.fDir: every
// component must be a directory and none a link; with mounts refused, each
// must lie on the start's device (a bind mount within one file system
// cannot be told this way).
int walk(const std::string& iParent, PLast& ioLast) {
  int dir = PSys::open(!iParent.empty() && iParent[0] == '/' ? "/" : ".", kDirFlags, 0);
  if (dir < 0) return PErrors::fromErrno(errno);
  if (PPathPolicy::refusesMounts()) {
    struct stat info;
    if (PSys::fstat(dir, &info) != 0) {
      const int rc = PErrors::fromErrno(errno);
      PSys::close(dir);
      return rc;
    }
    ioLast.fSameDev = true;
    ioLast.fStartDev = info.st_dev;
  }
  size_t start = 0;
  while (start < iParent.size()) {
    size_t end = iParent.find('/', start);
    if (end == std::string::npos) end = iParent.size();
    const std::string part = iParent.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    // O_PATH | O_NOFOLLOW opens a link itself, so that fstat can see it.
    const int next = PSys::openat(dir, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0);
    const int error = errno;
    PSys::close(dir);
    if (next < 0) return PErrors::fromErrno(error);
    struct stat info;
    int rc = 0;
    if (PSys::fstat(next, &info) != 0) {
      rc = PErrors::fromErrno(errno);
    } else if (S_ISLNK(info.st_mode)) {
      rc = PERR_SYMLINK;
    } else if (ioLast.fSameDev && info.st_dev != ioLast.fStartDev) {
      rc = PERR_CROSS_DEVICE;
    } else if (!S_ISDIR(info.st_mode)) {
      rc = PERR_NOT_DIR;
    }
    if (rc != 0) {
      PSys::close(next);
      return rc;
    }
    dir = next;
  }
  ioLast.fDir = dir;
  return 0;
}

int split(const std::string& iPath, PLast& oLast) {
  size_t end = iPath.size();
  while (end > 0 && iPath[end - 1] == '/') --end;
  oLast.fSlash = end < iPath.size();
  if (end == 0) {  // the root: never a link
    oLast.fName = "/";
    return 0;
  }
  const size_t slash = iPath.rfind('/', end - 1);
  const size_t first = slash == std::string::npos ? 0 : slash + 1;
  oLast.fName = iPath.substr(first, end - first);
  const std::string parent = first == 0 ? std::string(".") : iPath.substr(0, first);
  if (!PPathPolicy::refusesSymlinks()) {
    const int fd = PSys::open(parent.c_str(), kDirFlags, 0);
    if (fd < 0) return PErrors::fromErrno(errno);
    oLast.fDir = fd;
    return 0;
  }
  // RESOLVE_NO_XDEV: every component on the mount of the start ("/" for an
  // absolute path, the working directory for a relative one); EXDEV is
  // PERR_CROSS_DEVICE.
  const unsigned long long resolve = kNoSymlinks | (PPathPolicy::refusesMounts() ? kNoXdev : 0);
  const int fd = PSys::openat2(AT_FDCWD, parent.c_str(), kDirFlags, 0, resolve);
  if (fd >= 0) {
    oLast.fDir = fd;
    oLast.fOpenat2 = true;
    return 0;
  }
  const int error = errno;
  // No openat2 (old kernel, user-mode emulator) or a filter that forbids
  // it: the walk judges the same components.
  if (error == ENOSYS || error == EPERM) return walk(parent, oLast);
  return error == ELOOP ? PERR_SYMLINK : PErrors::fromErrno(error);
}

int lastInfo(const PLast& iLast, struct stat& oInfo) {
  if (PSys::fstatat(iLast.fDir, iLast.fName.c_str(), &oInfo, AT_SYMLINK_NOFOLLOW) != 0) {
    return PErrors::fromErrno(errno);
  }
  return 0;
}

// What iFlags want at a path, judged by what is there: 0, or the code that
// refuses it. Nothing has opened it for reading or writing yet.
int judge(const struct stat& iInfo, int iFlags) {
  if (S_ISLNK(iInfo.st_mode)) return PERR_SYMLINK;
  if ((iFlags & O_DIRECTORY) != 0) return S_ISDIR(iInfo.st_mode) ? 0 : PERR_NOT_DIR;
  const int kind = PPathAt::kindCode(iInfo.st_mode);
  // Another name of the file may lie anywhere on the file system, outside
  // every granted tree: reading or writing through this one is an escape.
  if (kind == 0 && iInfo.st_nlink > 1 && PPathPolicy::refusesSymlinks()) return PERR_HARDLINK;
  return kind;
}

// Opens the object that the O_PATH descriptor iProbe holds, with iFlags
// less those that act on a name (creating, truncating: see truncateIfAsked()).
// Through /proc/self/fd the same inode is opened whatever has happened to
// its name since it was judged.
int reopen(int iProbe, const struct stat& iSeen, int iFlags, int& oFd) {
  const std::string self = "/proc/self/fd/" + std::to_string(iProbe);
  const int fd = PSys::openat(AT_FDCWD, self.c_str(), iFlags & ~(O_CREAT | O_EXCL | O_TRUNC | O_NOFOLLOW), 0);
  if (fd < 0) return PErrors::fromErrno(errno);
  struct stat info;
  int rc = 0;
  if (PSys::fstat(fd, &info) != 0) {
    rc = PErrors::fromErrno(errno);
  } else if (info.st_dev != iSeen.st_dev || info.st_ino != iSeen.st_ino) {
    rc = PERR_FAILED;  // not the inode judged: /proc is not what it should be
  }
  if (rc != 0) {
    PSys::close(fd);
    return rc;
  }
  oFd = fd;
  return 0;
}

// O_TRUNC for an open file, once it is known to be the one judged.
int truncateIfAsked(int& ioFd, int iFlags) {
  if ((iFlags & O_TRUNC) == 0 || (iFlags & O_ACCMODE) == O_RDONLY || PSys::ftruncate(ioFd, 0) == 0) return 0;
  const int rc = PErrors::fromErrno(errno);
  PSys::close(ioFd);
  ioFd = -1;
  return rc;
}

// What the O_PATH descriptor iFd holds (a link itself, not its target).
int probeInfo(int iFd, struct stat& oInfo) {
  return PSys::fstatat(iFd, "", &oInfo, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) == 0 ? 0 : PErrors::fromErrno(errno);
}

// Judges iSeen, what the O_PATH descriptor iProbe holds, and opens it;
// iProbe is closed.
int openProbed(int iProbe, const struct stat& iSeen, int iFlags, int& oFd) {
  int rc = judge(iSeen, iFlags);
  if (rc == 0) rc = reopen(iProbe, iSeen, iFlags, oFd);
  PSys::close(iProbe);
  return rc;
}

int openFollowing(const std::string& iPath, int iFlags, mode_t iMode, int& oFd) {
  const int probe = PSys::open(iPath.c_str(), O_PATH | O_CLOEXEC | (iFlags & O_DIRECTORY), 0);
  if (probe >= 0) {
    struct stat seen;
    int fd = -1;
    int rc = probeInfo(probe, seen);
    if (rc != 0) {
      PSys::close(probe);
      return rc;
    }
    rc = openProbed(probe, seen, iFlags, fd);
    if (rc == 0) rc = truncateIfAsked(fd, iFlags);
    if (rc == 0) oFd = fd;
    return rc;
  }
  const int error = errno;
  if (error != ENOENT || (iFlags & O_CREAT) == 0) return PErrors::fromErrno(error);
  // Nothing there: created by name, as the system does (through a dangling
  // link too). Something put there in the meantime is opened, then refused.
  const int fd = PSys::open(iPath.c_str(), iFlags, iMode);
  if (fd < 0) return errno == ENXIO ? PERR_NOT_FILE : PErrors::fromErrno(errno);  // a FIFO without reader
  struct stat info;
  const int rc = PSys::fstat(fd, &info) != 0 ? PErrors::fromErrno(errno) : judge(info, iFlags);
  if (rc != 0) {
    PSys::close(fd);
    return rc;
  }
  oFd = fd;
  return 0;
}

// Opens the last component itself (a link too) as an O_PATH descriptor,
// with what it is. With mounts refused a mount point there is
// PERR_CROSS_DEVICE, as anywhere before it.
int probeLast(const PLast& iLast, int& oFd, struct stat& oInfo) {
  constexpr int kFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
  const char* name = iLast.fName.c_str();
  const int fd = iLast.fOpenat2 && PPathPolicy::refusesMounts() ? PSys::openat2(iLast.fDir, name, kFlags, 0, kNoXdev)
                                                                 : PSys::openat(iLast.fDir, name, kFlags, 0);
  if (fd < 0) return PErrors::fromErrno(errno);
  int rc = probeInfo(fd, oInfo);
  if (rc == 0 && iLast.fSameDev && oInfo.st_dev != iLast.fStartDev) rc = PERR_CROSS_DEVICE;
  if (rc != 0) {
    PSys::close(fd);
    return rc;
  }
  oFd = fd;
  return 0;
}

// For the calls that act on the last component's name itself (deleting, or
// creating where something exists): PERR_SYMLINK for a link (the link itself
// would be removed, never its target; refused all the same),
// PERR_CROSS_DEVICE for a refused mount point, 0 for anything else and for
// nothing there (the call then answers as the system does).
int lastRefused(const PLast& iLast) {
  int fd = -1;
  struct stat info;
  const int rc = probeLast(iLast, fd, info);
  if (rc != 0) return rc == PERR_NOT_FOUND ? 0 : rc;
  PSys::close(fd);
  return S_ISLNK(info.st_mode) ? PERR_SYMLINK : 0;
}

// A name replaced between the judging and the opening is judged again;
// after that many replacements the caller is told the path is busy.
constexpr int kAttempts = 3;

int openRefusing(const std::string& iPath, int iFlags, mode_t iMode, int& oFd) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    PLast last;
    int rc = split(iPath, last);
    if (rc != 0) return rc;
    if (last.fSlash && (iFlags & O_DIRECTORY) == 0) {
      // A trailing "/" would make the system follow a last link despite
      // O_NOFOLLOW: it is judged here and the name opened without it.
      struct stat info;
      rc = lastInfo(last, info);
      if (rc == PERR_NOT_FOUND) return (iFlags & O_CREAT) != 0 ? PERR_IS_DIR : PERR_NOT_FOUND;
      if (rc != 0) return rc;
      if (S_ISLNK(info.st_mode)) return PERR_SYMLINK;
      if (!S_ISDIR(info.st_mode)) return PERR_NOT_DIR;
    }
    int probe = -1;
    struct stat seen;
    rc = probeLast(last, probe, seen);
    if (rc == PERR_NOT_FOUND && (iFlags & O_CREAT) != 0) {
      // O_EXCL: a new regular file, or EEXIST for whatever appeared.
      const int fd = PSys::openat(last.fDir, last.fName.c_str(), iFlags | O_EXCL | O_NOFOLLOW, iMode);
      if (fd >= 0) {
        oFd = fd;
        return 0;
      }
      if (errno == EEXIST) continue;
      return PErrors::fromErrno(errno);
    }
    if (rc != 0) return rc;
    int fd = -1;
    rc = openProbed(probe, seen, iFlags, fd);
    if (rc != 0) return rc;
    // The name must still name what was opened: a file swapped for a link
    // meanwhile is refused as the link, not read in its stead.
    struct stat now;
    if (lastInfo(last, now) == 0 && now.st_dev == seen.st_dev && now.st_ino == seen.st_ino) {
      rc = truncateIfAsked(fd, iFlags);
      if (rc == 0) oFd = fd;
      return rc;
    }
    PSys::close(fd);
  }
  return PERR_BUSY;
}

}  // namespace

PPathAt::Last::~Last() {
  if (fDir >= 0) PSys::close(fDir);
}

int PPathAt::parentOf(const std::string& iPath, Last& oLast) { return split(iPath, oLast); }

int PPathAt::probe(const Last& iLast, int& oFd, struct stat& oInfo) { return probeLast(iLast, oFd, oInfo); }

int PPathAt::refusedLast(const Last& iLast) { return PPathPolicy::refusesSymlinks() ? lastRefused(iLast) : 0; }

int PPathAt::kindCode(mode_t iMode) {
  if (S_ISREG(iMode)) return 0;
  return S_ISDIR(iMode) ? PERR_IS_DIR : PERR_NOT_FILE;
}

int PPathAt::open(const std::string& iPath, int iFlags, mode_t iMode, int& oFd) {
  if (PPathPolicy::refusesSymlinks()) return openRefusing(iPath, iFlags, iMode, oFd);
  return openFollowing(iPath, iFlags, iMode, oFd);
}

int PPathAt::stat(const std::string& iPath, struct stat& oInfo) {
  if (!PPathPolicy::refusesSymlinks()) {
    return PSys::stat(iPath.c_str(), &oInfo) == 0 ? 0 : PErrors::fromErrno(errno);
  }
  PLast last;
  int rc = split(iPath, last);
  int probe = -1;
  if (rc == 0) rc = probeLast(last, probe, oInfo);
  if (rc != 0) return rc;
  PSys::close(probe);
  if (S_ISLNK(oInfo.st_mode)) return PERR_SYMLINK;
  if (last.fSlash && !S_ISDIR(oInfo.st_mode)) return PERR_NOT_DIR;
  return 0;
}

int PPathAt::unlink(const std::string& iPath) {
  if (!PPathPolicy::refusesSymlinks()) return PSys::unlink(iPath.c_str()) == 0 ? 0 : PErrors::fromErrno(errno);
  PLast last;
  const int rc = split(iPath, last);
  if (rc != 0) return rc;
  const int refused = lastRefused(last);
  if (refused != 0) return refused;
  return PSys::unlinkat(last.fDir, last.given().c_str(), 0) == 0 ? 0 : PErrors::fromErrno(errno);
}

int PPathAt::mkdir(const std::string& iPath, mode_t iMode) {
  if (!PPathPolicy::refusesSymlinks()) return PSys::mkdir(iPath.c_str(), iMode) == 0 ? 0 : PErrors::fromErrno(errno);
  PLast last;
  const int rc = split(iPath, last);
  if (rc != 0) return rc;
  if (PSys::mkdirat(last.fDir, last.given().c_str(), iMode) == 0) return 0;
  const int error = errno;
  const int refused = error == EEXIST ? lastRefused(last) : 0;
  return refused != 0 ? refused : PErrors::fromErrno(error);
}

int PPathAt::rmdir(const std::string& iPath) {
  if (!PPathPolicy::refusesSymlinks()) return PSys::rmdir(iPath.c_str()) == 0 ? 0 : PErrors::fromErrno(errno);
  PLast last;
  const int rc = split(iPath, last);
  if (rc != 0) return rc;
  const int refused = lastRefused(last);
  if (refused != 0) return refused;
  return PSys::unlinkat(last.fDir, last.given().c_str(), AT_REMOVEDIR) == 0 ? 0 : PErrors::fromErrno(errno);
}
