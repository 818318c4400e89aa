#include "zevo/PUploadFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <random>
#include <string>

#include "PPathAt.h"
#include "PPathCheck.h"
#include "PSys.h"
#include "zevo/PErrors.h"
#include "zevo/PPathPolicy.h"

namespace {

constexpr mode_t kNewPermissions = 0644;  // as PFile creates files, less the umask

std::string reservedName() {
  static thread_local std::random_device source;
  char digits[17];
  std::snprintf(digits, sizeof digits, "%08x%08x", static_cast<unsigned int>(source()),
                static_cast<unsigned int>(source()));
  return std::string(PUploadFile::kReservedPrefix) + digits;
}

std::string selfPath(int iFd) { return "/proc/self/fd/" + std::to_string(iFd); }

std::atomic<unsigned long long> gCreated{0};

// Whether syncfs reports the file system's write errors: Linux 5.8 and later.
bool syncfsReportsErrors() {
  struct utsname name;
  unsigned int major = 0, minor = 0;
  if (PSys::uname(&name) != 0 || std::sscanf(name.release, "%u.%u", &major, &minor) != 2) return false;
  return major > 5 || (major == 5 && minor >= 8);
}

}  // namespace

PUploadFile::~PUploadFile() { discard(); }

int PUploadFile::open(const PLiteral& iTarget) {
  if (fDir >= 0) return PERR_ALREADY_OPEN;
  std::string path;
  int rc = PPathCheck::toSystem(iTarget, path);
  if (rc != 0) return rc;
  PPathAt::Last last;
  rc = PPathAt::parentOf(path, last);
  if (rc != 0) return rc;
  if (last.fSlash || last.fName == "/" || last.fName == ".") return PERR_IS_DIR;
  int probe = -1;
  struct stat info;
  rc = PPathAt::probe(last, probe, info);
  if (rc == 0) {
    PSys::close(probe);
    // A link is replaced itself, never its target; refused as everywhere
    // while links are refused.
    if (S_ISLNK(info.st_mode)) rc = PPathPolicy::refusesSymlinks() ? PERR_SYMLINK : 0;
    else rc = PPathAt::kindCode(info.st_mode);
    fTargetExists = S_ISREG(info.st_mode);
    fTargetMode = static_cast<unsigned int>(info.st_mode & 07777);
  } else if (rc == PERR_NOT_FOUND) {
    rc = 0;
  }
  struct stat dir;
  if (rc == 0 && PSys::fstatat(last.fDir, "", &dir, AT_EMPTY_PATH) != 0) rc = PErrors::fromErrno(errno);
  if (rc != 0) return rc;
  fDevice = static_cast<unsigned long long>(dir.st_dev);
  fDirInode = static_cast<unsigned long long>(dir.st_ino);
  fName = last.fName;
  // The directory's descriptor is kept: everything later happens in it,
  // whatever becomes of its path.
  fDir = last.fDir == AT_FDCWD ? PSys::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC, 0) : last.fDir;
  if (fDir < 0) return PErrors::fromErrno(errno);
  last.fDir = AT_FDCWD;
  return 0;
}

std::string PUploadFile::targetKey() const { return directoryKey() + "/" + fName; }

std::string PUploadFile::directoryKey() const { return std::to_string(fDevice) + ":" + std::to_string(fDirInode); }

int PUploadFile::create() {
  if (fDir < 0) return PERR_NOT_OPEN;
  if (fFd >= 0) return PERR_ALREADY_OPEN;
  int fd = PSys::openat(fDir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, kNewPermissions);
  fAnonymous = fd >= 0;
  if (fd < 0) {
    // EOPNOTSUPP: a file system without O_TMPFILE (EISDIR: a kernel that
    // does not know the flag). Then a reserved name, never taken twice.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return PErrors::fromErrno(errno);
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
      fTempName = reservedName();
      fd = PSys::openat(fDir, fTempName.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, kNewPermissions);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
      fTempName.clear();
      return PErrors::fromErrno(errno);
    }
  }
  fFd = fd;
  fOrder = ++gCreated;
  // The data is never more exposed than the file it replaces.
  if (fTargetExists && PSys::fchmodat(AT_FDCWD, selfPath(fFd).c_str(), fTargetMode, 0) != 0) {
    const int rc = PErrors::fromErrno(errno);
    discard();
    return rc;
  }
  return 0;
}

int PUploadFile::writeAt(long long iOffset, const void* iData, unsigned int iSize) {
  if (fFd < 0 || fPublished) return PERR_NOT_OPEN;
  if (iOffset < 0 || (iSize > 0 && !iData)) return PERR_INVALID_ARG;
  const char* data = static_cast<const char*>(iData);
  unsigned int done = 0;
  while (done < iSize) {
    const ssize_t put = PSys::pwrite(fFd, data + done, iSize - done, static_cast<off_t>(iOffset + done));
    if (put < 0) return PErrors::fromErrno(errno);
    if (put == 0) return PERR_IO;  // the device takes nothing: do not spin
    done += static_cast<unsigned int>(put);
  }
  return 0;
}

int PUploadFile::size(long long& oSize) {
  if (fFd < 0) return PERR_NOT_OPEN;
  struct stat info;
  if (PSys::fstat(fFd, &info) != 0) return PErrors::fromErrno(errno);
  oSize = static_cast<long long>(info.st_size);
  return 0;
}

int PUploadFile::reader(PRangeFile& oReader) {
  if (fFd < 0) return PERR_NOT_OPEN;
  if (oReader.fFd >= 0) return PERR_ALREADY_OPEN;
  const int fd = PSys::fcntl(fFd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return PErrors::fromErrno(errno);
  oReader.fFd = fd;
  return 0;
}

int PUploadFile::finish(long long iSize, int iMode, long long iMtimeNs) {
  if (fFd < 0 || fPublished) return PERR_NOT_OPEN;
  if (iSize < -1 || iMode < -1 || iMode > 07777 || iMtimeNs < -1) return PERR_INVALID_ARG;
  if (iSize >= 0 && PSys::ftruncate(fFd, static_cast<off_t>(iSize)) != 0) return PErrors::fromErrno(errno);
  const std::string self = selfPath(fFd);
  if (iMode >= 0 && PSys::fchmodat(AT_FDCWD, self.c_str(), static_cast<mode_t>(iMode), 0) != 0) {
    return PErrors::fromErrno(errno);
  }
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = iMtimeNs >= 0 ? static_cast<time_t>(iMtimeNs / 1000000000LL) : 0;
  times[1].tv_nsec = iMtimeNs >= 0 ? static_cast<long>(iMtimeNs % 1000000000LL) : UTIME_NOW;
  if (PSys::utimensat(AT_FDCWD, self.c_str(), times, 0) != 0) return PErrors::fromErrno(errno);
  return 0;
}

int PUploadFile::flushData(bool iFileSystemFlushed) {
  if (fFd < 0) return PERR_NOT_OPEN;
  if (iFileSystemFlushed && !fOwnFlush && syncfsReportsErrors()) return 0;
  return PSys::fdatasync(fFd) == 0 ? 0 : PErrors::fromErrno(errno);
}

int PUploadFile::flushFileSystem() {
  if (fFd < 0) return PERR_NOT_OPEN;
  return PSys::syncfs(fFd) == 0 ? 0 : PErrors::fromErrno(errno);
}

int PUploadFile::publish() {
  if (fFd < 0 || fPublished) return PERR_NOT_OPEN;
  if (fAnonymous) {
    // A name first (linkat cannot replace), then the rename over the target.
    fTempName = reservedName();
    if (PSys::linkat(AT_FDCWD, selfPath(fFd).c_str(), fDir, fTempName.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      const int rc = PErrors::fromErrno(errno);
      fTempName.clear();
      return rc;
    }
  }
  if (PSys::renameat2(fDir, fTempName.c_str(), fDir, fName.c_str(), 0) != 0) {
    // The file keeps its reserved name: once linked, a file made with
    // O_TMPFILE cannot be linked again after losing its name.
    fAnonymous = false;
    return PErrors::fromErrno(errno);
  }
  fTempName.clear();
  fPublished = true;
  return 0;
}

int PUploadFile::flushDirectory() {
  if (fDir < 0) return PERR_NOT_OPEN;
  const int fd = PSys::openat(fDir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return PErrors::fromErrno(errno);
  int rc = 0;
  // A file system that cannot flush a directory has nothing to flush.
  if (PSys::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) rc = PErrors::fromErrno(errno);
  PSys::close(fd);
  return rc;
}

void PUploadFile::discard() {
  if (!fTempName.empty() && fDir >= 0) PSys::unlinkat(fDir, fTempName.c_str(), 0);
  fTempName.clear();
  if (fFd >= 0) PSys::close(fFd);
  if (fDir >= 0) PSys::close(fDir);
  fFd = -1;
  fDir = -1;
}
