#include "zevo/PPathOps.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "PFileAttributesOf.h"
#include "PPathAt.h"
#include "PPathCheck.h"
#include "PSys.h"
#include "zevo/PErrors.h"
#include "zevo/PPathPolicy.h"
#include "zevo/PUtils.h"

namespace {

// "/proc/self/fd/N": the inode an O_PATH descriptor holds, for the calls
// that cannot take such a descriptor (chmod, utimes).
std::string selfPath(int iFd) { return "/proc/self/fd/" + std::to_string(iFd); }

int readLink(int iDir, const char* iName, PString& oTarget) {
  std::string target(PATH_MAX, '\0');
  const ssize_t length = PSys::readlinkat(iDir, iName, target.data(), target.size());
  if (length < 0) return PErrors::fromErrno(errno);
  target.resize(static_cast<size_t>(length));
  PString wide;
  const int rc = PUtils::fromUtf8(target.data(), target.size(), wide);
  if (rc != 0) return rc;
  oTarget = std::move(wide);
  return 0;
}

// A directory below a tree's root, by its names from the root, each opened
// without following a link; with mount points refused each must lie on
// iDevice.
int openBelow(int iRoot, const std::vector<std::string>& iNames, size_t iCount, dev_t iDevice, int& oFd) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = PSys::openat(iRoot, ".", kFlags, 0);
  if (fd < 0) return PErrors::fromErrno(errno);
  for (size_t i = 0; i < iCount; ++i) {
    const int next = PSys::openat(fd, iNames[i].c_str(), kFlags, 0);
    const int error = errno;
    PSys::close(fd);
    if (next < 0) return error == ELOOP ? PERR_SYMLINK : PErrors::fromErrno(error);  // a link swapped in
    fd = next;
    struct stat info;
    if (PPathPolicy::refusesMounts() && (PSys::fstat(fd, &info) != 0 || info.st_dev != iDevice)) {
      PSys::close(fd);
      return PERR_CROSS_DEVICE;
    }
  }
  oFd = fd;
  return 0;
}

// One step of removeTree below the root directory iRoot: removes entries,
// deepest first, until the tree is empty (0, *oEmpty) or the budget is
// spent (0, !*oEmpty).
int emptyTree(int iRoot, dev_t iDevice, unsigned int iBudget, unsigned int& ioRemoved, bool& oEmpty) {
  std::vector<std::string> names;  // the directory being emptied, from the root
  // Bounds the work of one call where entries keep coming back.
  for (unsigned int rounds = 0; rounds < 4 * iBudget + 64; ++rounds) {
    int fd = -1;
    int rc = openBelow(iRoot, names, names.size(), iDevice, fd);
    if (rc != 0) return rc;
    DIR* dir = PSys::fdopendir(fd);
    if (!dir) {
      rc = PErrors::fromErrno(errno);
      PSys::close(fd);
      return rc;
    }
    bool descended = false;
    for (;;) {
      errno = 0;
      const struct dirent* entry = PSys::readdir(dir);
      if (!entry) {
        if (errno != 0) rc = PErrors::fromErrno(errno);
        break;
      }
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      struct stat info;
      if (PSys::fstatat(dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;
        rc = PErrors::fromErrno(errno);
        break;
      }
      if (S_ISDIR(info.st_mode)) {
        if (PPathPolicy::refusesMounts() && info.st_dev != iDevice) {
          rc = PERR_CROSS_DEVICE;
          break;
        }
        names.emplace_back(name);
        descended = true;
        break;
      }
      if (ioRemoved >= iBudget) break;
      if (PSys::unlinkat(dirfd(dir), name, 0) == 0) {
        ++ioRemoved;
      } else if (errno != ENOENT) {
        rc = PErrors::fromErrno(errno);
        break;
      }
    }
    PSys::closedir(dir);
    if (rc != 0) return rc;
    if (descended) continue;
    if (ioRemoved >= iBudget || names.empty()) {
      oEmpty = ioRemoved < iBudget;  // the root is empty and may go too
      return 0;
    }
    // This directory is empty: it goes from its parent.
    const std::string child = names.back();
    names.pop_back();
    rc = openBelow(iRoot, names, names.size(), iDevice, fd);
    if (rc != 0) return rc;
    const int removed = PSys::unlinkat(fd, child.c_str(), AT_REMOVEDIR);
    const int error = errno;
    PSys::close(fd);
    if (removed == 0) {
      ++ioRemoved;
    } else if (error != ENOENT) {
      return PErrors::fromErrno(error);
    }
  }
  oEmpty = false;
  return 0;
}

}  // namespace

int PPathOps::stat(const PLiteral& iPath, PFileAttributes& oInfo, PString& oLinkTarget) {
  std::string path;
  int rc = PPathCheck::toSystem(iPath, path);
  if (rc != 0) return rc;
  PPathAt::Last last;
  rc = PPathAt::parentOf(path, last);
  int probe = -1;
  struct stat info;
  if (rc == 0) rc = PPathAt::probe(last, probe, info);
  if (rc != 0) return rc;
  PString target;
  if (S_ISLNK(info.st_mode)) {
    if (PPathPolicy::refusesSymlinks()) rc = PERR_SYMLINK;
    else if (last.fSlash) rc = PPathAt::stat(path, info);  // "link/" names what the link names
    else rc = readLink(probe, "", target);
  }
  PSys::close(probe);
  if (rc != 0) return rc;
  if (last.fSlash && !S_ISDIR(info.st_mode)) return PERR_NOT_DIR;
  oInfo = attributesOf(info);
  oLinkTarget = std::move(target);
  return 0;
}

int PPathOps::rename(const PLiteral& iFrom, const PLiteral& iTo, bool iReplace, bool& oAcrossFileSystems) {
  oAcrossFileSystems = false;
  std::string from, to;
  int rc = PPathCheck::toSystem(iFrom, from);
  if (rc == 0) rc = PPathCheck::toSystem(iTo, to);
  if (rc != 0) return rc;
  PPathAt::Last source, target;
  rc = PPathAt::parentOf(from, source);
  if (rc == 0) rc = PPathAt::parentOf(to, target);
  if (rc == 0) rc = PPathAt::refusedLast(source);
  if (rc == 0) rc = PPathAt::refusedLast(target);
  if (rc != 0) return rc;
  if (PSys::renameat2(source.fDir, source.given().c_str(), target.fDir, target.given().c_str(),
                      iReplace ? 0u : static_cast<unsigned int>(RENAME_NOREPLACE)) == 0) {
    return 0;
  }
  oAcrossFileSystems = errno == EXDEV;
  return PErrors::fromErrno(errno);
}

int PPathOps::setAttributes(const PLiteral& iPath, int iMode, long long iMtimeNs) {
  if (iMode < -1 || iMode > 07777 || iMtimeNs < -1) return PERR_INVALID_ARG;
  std::string path;
  int rc = PPathCheck::toSystem(iPath, path);
  if (rc != 0) return rc;
  // An O_PATH descriptor of what was judged: a regular file (one link while
  // links are refused) or a directory; nothing else is touched.
  int fd = -1;
  rc = PPathAt::open(path, O_PATH | O_CLOEXEC, 0, fd);
  if (rc == PERR_IS_DIR) rc = PPathAt::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC, 0, fd);
  if (rc != 0) return rc;
  const std::string self = selfPath(fd);
  if (iMode >= 0 && PSys::fchmodat(AT_FDCWD, self.c_str(), static_cast<mode_t>(iMode), 0) != 0) {
    rc = PErrors::fromErrno(errno);
  }
  if (rc == 0 && iMtimeNs >= 0) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(iMtimeNs / 1000000000LL);
    times[1].tv_nsec = static_cast<long>(iMtimeNs % 1000000000LL);
    if (PSys::utimensat(AT_FDCWD, self.c_str(), times, 0) != 0) rc = PErrors::fromErrno(errno);
  }
  PSys::close(fd);
  return rc;
}

int PPathOps::removeTree(const PLiteral& iPath, unsigned int iBudget, unsigned int& oRemoved, bool& oMore) {
  oRemoved = 0;
  oMore = false;
  if (iBudget == 0) return PERR_INVALID_ARG;
  std::string path;
  int rc = PPathCheck::toSystem(iPath, path);
  if (rc != 0) return rc;
  PPathAt::Last last;
  rc = PPathAt::parentOf(path, last);
  int probe = -1;
  struct stat info;
  if (rc == 0) rc = PPathAt::probe(last, probe, info);
  if (rc != 0) return rc;
  if (S_ISLNK(info.st_mode) && PPathPolicy::refusesSymlinks()) rc = PERR_SYMLINK;
  if (rc == 0 && last.fSlash && !S_ISDIR(info.st_mode)) rc = PERR_NOT_DIR;
  bool empty = true;
  if (rc == 0 && S_ISDIR(info.st_mode)) rc = emptyTree(probe, info.st_dev, iBudget, oRemoved, empty);
  PSys::close(probe);
  if (rc != 0) return rc;
  if (!empty) {
    oMore = true;
    return 0;
  }
  const int flags = S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0;
  if (PSys::unlinkat(last.fDir, last.fName.c_str(), flags) != 0) return PErrors::fromErrno(errno);
  ++oRemoved;
  return 0;
}
