#include "zevo/PFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string>

#include "PPathAt.h"
#include "PPathCheck.h"
#include "PSys.h"
#include "zevo/PErrors.h"

namespace {

// One read() or write() moves at most this much, well below SSIZE_MAX on
// 32-bit and the kernel's own limit.
constexpr size_t kMaxTransfer = 0x40000000u;

constexpr unsigned int kKnownModes =
    PFile::MODE_READ | PFile::MODE_WRITE | PFile::MODE_APPEND | PFile::MODE_CREATE;

// open() flags for a mode, or PERR_INVALID_ARG.
int openFlags(unsigned int iMode, int& oFlags) {
  const bool read = iMode & PFile::MODE_READ;
  const bool write = iMode & PFile::MODE_WRITE;
  if ((iMode & ~kKnownModes) != 0 || (!read && !write)) return PERR_INVALID_ARG;
  // Creating, truncating and appending only make sense for a writer.
  if (!write && (iMode & (PFile::MODE_APPEND | PFile::MODE_CREATE))) return PERR_INVALID_ARG;
  int flags = read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  if (iMode & PFile::MODE_APPEND) flags |= O_APPEND;
  if (iMode & PFile::MODE_CREATE) flags |= O_CREAT | O_TRUNC;
  oFlags = flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  return 0;
}

}  // namespace

PFile::PFile() : fLock(), fFd(-1), fName(), fPosition(0), fWriting(false), fFlushError(0), fCloseFailed(false) {}

PFile::~PFile() {
  PStdMutexLock guard(fLock);
  if (fFd >= 0) PSys::close(fFd);
}

int PFile::popen(const PLiteral& iPath, unsigned int iMode, unsigned int /*iFlags*/) {
  PStdMutexLock guard(fLock);
  if (fFd >= 0) return PERR_ALREADY_OPEN;
  int flags = 0;
  int rc = openFlags(iMode, flags);
  if (rc != 0) return rc;
  std::string path;
  rc = PPathCheck::toSystem(iPath, path);
  if (rc != 0) return rc;
  PString name;
  try {
    name = PString(iPath);
  } catch (const std::bad_alloc&) {
    return PERR_NO_MEMORY;
  }

  // Only a regular file is opened; links are followed or refused as the
  // process's PPathPolicy says. O_NONBLOCK: should a FIFO be swapped in
  // where a file was created by name, it must not block the open.
  int fd = -1;
  rc = PPathAt::open(path, flags, kCreatePermissions, fd);
  if (rc != 0) return rc;
  // Back to blocking mode. F_SETFL changes only the status flags, so
  // O_APPEND stays and O_NONBLOCK goes.
  if (PSys::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) rc = PErrors::fromErrno(errno);
  if (rc != 0) {
    PSys::close(fd);
    return rc;
  }
  fFd = fd;
  fName = std::move(name);
  fPosition = (iMode & MODE_APPEND) != 0 ? -1 : 0;
  fWriting = (iMode & MODE_WRITE) != 0;
  fFlushError = 0;
  fCloseFailed = false;
  return 0;
}

int PFile::pread(char* oBuffer, unsigned int iSize, unsigned int& oDone) {
  PStdMutexLock guard(fLock);
  oDone = 0;
  if (fFd < 0) return PERR_NOT_OPEN;
  if (iSize == 0) return 0;
  if (!oBuffer) return PERR_INVALID_ARG;
  while (oDone < iSize) {
    const size_t want = std::min<size_t>(iSize - oDone, kMaxTransfer);
    const ssize_t got = PSys::read(fFd, oBuffer + oDone, want);
    if (got < 0) {
      const int code = PErrors::fromErrno(errno);
      rewind(oDone, false);
      return code;
    }
    if (got == 0) break;  // end of file
    oDone += static_cast<unsigned int>(got);
  }
  if (fPosition >= 0) fPosition += oDone;
  return oDone > 0 ? 0 : PERR_FILE_EOF;
}

void PFile::rewind(unsigned int iDone, bool iWriting) {
  if (iDone == 0 || fPosition < 0) return;
  const off_t start = static_cast<off_t>(fPosition);
  if (iWriting) {
    struct stat info;
    if (PSys::fstat(fFd, &info) == 0 && info.st_size == start + static_cast<off_t>(iDone)) {
      PSys::ftruncate(fFd, start);  // the bytes were appended: take them away
    }
  }
  PSys::lseek(fFd, start, SEEK_SET);
}

int PFile::pwrite(const char* iBuffer, unsigned int iSize, unsigned int& oDone) {
  PStdMutexLock guard(fLock);
  oDone = 0;
  if (fFd < 0) return PERR_NOT_OPEN;
  if (iSize == 0) return 0;
  if (!iBuffer) return PERR_INVALID_ARG;
  while (oDone < iSize) {
    const size_t want = std::min<size_t>(iSize - oDone, kMaxTransfer);
    const ssize_t put = PSys::write(fFd, iBuffer + oDone, want);
    if (put <= 0) {
      // put == 0: the device takes nothing; do not spin.
      const int code = put < 0 ? PErrors::fromErrno(errno) : PERR_IO;
      rewind(oDone, true);
      return code;
    }
    oDone += static_cast<unsigned int>(put);
  }
  if (fPosition >= 0) fPosition += oDone;
  return 0;
}

int PFile::pclose() {
  PStdMutexLock guard(fLock);
  return closeLocked();
}

int PFile::closeLocked() {
  if (fFd < 0) {
    if (!fCloseFailed) return PERR_NOT_OPEN;
    fCloseFailed = false;  // the descriptor went with the failed close
    return 0;
  }
  if (fWriting) {
    // A failure stays remembered: a later flush may succeed only because the
    // pages it could not write are gone.
    if (PSys::fdatasync(fFd) != 0 && errno != EINVAL && errno != EROFS) fFlushError = PErrors::fromErrno(errno);
    if (fFlushError != 0) return fFlushError;
  }
  const int fd = fFd;
  fFd = -1;
  fName.clear();
  // The descriptor is released whatever close() answers.
  if (PSys::close(fd) == 0) return 0;
  fCloseFailed = true;
  return PErrors::fromErrno(errno);
}

int PFile::pgetSize(long long& oSize) {
  PStdMutexLock guard(fLock);
  if (fFd < 0) return PERR_NOT_OPEN;
  struct stat info;
  if (PSys::fstat(fFd, &info) != 0) return PErrors::fromErrno(errno);
  oSize = static_cast<long long>(info.st_size);
  return 0;
}

int PFile::pgetName(PString& oName) {
  PStdMutexLock guard(fLock);
  if (fFd < 0) return PERR_NOT_OPEN;
  try {
    oName = fName;
  } catch (const std::bad_alloc&) {
    return PERR_NO_MEMORY;
  }
  return 0;
}

bool PFile::isOpen() const {
  PStdMutexLock guard(fLock);
  return fFd >= 0;
}

int PFile::exists(const PLiteral& iPath) {
  std::string path;
  struct stat info;
  if (PPathCheck::toSystem(iPath, path) != 0) return 0;
  return PPathAt::stat(path, info) == 0 ? 1 : 0;
}

int PFile::check(const PLiteral& iPath, int iWhat) {
  std::string path;
  struct stat info;
  if (PPathCheck::toSystem(iPath, path) != 0 || PPathAt::stat(path, info) != 0) return 0;
  if (iWhat == CHECK_DIR) return S_ISDIR(info.st_mode) ? 1 : 0;
  if (iWhat == CHECK_FILE) return S_ISREG(info.st_mode) ? 1 : 0;
  return 0;
}

int PFile::pdelete(const PLiteral& iPath) {
  std::string path;
  const int rc = PPathCheck::toSystem(iPath, path);
  if (rc != 0) return rc;
  return PPathAt::unlink(path);
}

void PFile::getFileName(PString& ioPath) {
  const std::wstring& text = ioPath.str();
  const size_t slash = text.rfind(L'/');
  if (slash != std::wstring::npos) ioPath.erase(0, static_cast<unsigned int>(slash + 1));
}
