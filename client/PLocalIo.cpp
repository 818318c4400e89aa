#include "PLocalIo.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "PClientInternal.h"
#include "PPipeSignalGuard.h"
#include "zevo/PErrors.h"

namespace {

std::atomic<unsigned int> gTemporaryCounter{0};

// Waits until iFd is ready for iEvents; false when the wait itself failed.
bool waitReady(int iFd, short iEvents) {
  pollfd waiting{iFd, iEvents, 0};
  while (::poll(&waiting, 1, -1) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

int writeAllTo(int iFd, const unsigned char* iBytes, size_t iCount) {
  PPipeSignalGuard guard;  // a reader gone is EPIPE here, never the end of the process
  int error = 0;
  while (iCount > 0) {
    const ssize_t written = ::write(iFd, iBytes, iCount);
    if (written > 0) {
      iBytes += written;
      iCount -= static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (waitReady(iFd, POLLOUT)) continue;
    }
    error = written < 0 ? errno : EIO;
    break;
  }
  if (error == EPIPE) guard.raised();
  return error;
}

// ----------------------------------------------------------- PSinkWriter

std::string partialName(const std::string& iTarget) {
  const size_t slash = iTarget.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : iTarget.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? iTarget : iTarget.substr(slash + 1);
  return dir + "." + base + ".zevofa-part";
}

int PSinkWriter::open(PClientError& oError) {
  if (fSink.fKind == PSink::Kind::kDescriptor) {
    if (fSink.fFd < 0) return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument, "invalid descriptor", "");
    fFd = fSink.fFd;
    return 0;
  }
  if (fSink.fKind == PSink::Kind::kCallback) {
    if (!fSink.fWrite) return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument, "no sink function", "");
    return 0;
  }
  return openFile(false, false, oError);
}

std::string PSinkWriter::partialPath() const {
  if (fSink.fKind != PSink::Kind::kFile || fSink.fPath.empty()) return {};
  struct stat info;
  std::string target = fSink.fPath;
  if (::lstat(target.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    char* resolved = ::realpath(target.c_str(), nullptr);
    if (resolved != nullptr) target = resolved;
    std::free(resolved);
  }
  return partialName(target);
}

int PSinkWriter::openPartial(bool iContinue, long long& oHave, PClientError& oError) {
  oHave = 0;
  if (fSink.fKind != PSink::Kind::kFile) return open(oError);
  const int result = openFile(true, iContinue, oError);
  struct stat info;
  if (result == 0 && iContinue && positional() && fstat(fFd, &info) == 0) oHave = info.st_size;
  return result;
}

int PSinkWriter::openFile(bool iPartial, bool iContinue, PClientError& oError) {
  const std::string& path = fSink.fPath;
  if (path.empty()) return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument, "empty local path", "");
  fTarget = path;
  struct stat info;
  bool exists = ::lstat(path.c_str(), &info) == 0;
  if (exists && S_ISLNK(info.st_mode)) {
    // The file behind the link is replaced, not the link.
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved != nullptr) {
      fTarget = resolved;
      std::free(resolved);
      exists = ::stat(fTarget.c_str(), &info) == 0;
    } else {
      exists = false;  // a dangling link: written through below
      fFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
      if (fFd < 0) return setLocalError(oError, errno, path);
      fOwnsFd = true;
      return 0;
    }
  }
  if (exists && S_ISDIR(info.st_mode)) return setLocalError(oError, EISDIR, path);
  if (exists && !S_ISREG(info.st_mode)) {
    // A device or a FIFO cannot be replaced by renaming.
    fFd = ::open(fTarget.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fFd < 0) return setLocalError(oError, errno, path);
    fOwnsFd = true;
    return 0;
  }
  fReplaces = exists;
  const size_t slash = fTarget.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : fTarget.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? fTarget : fTarget.substr(slash + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".zevofa-%d-%u", static_cast<int>(::getpid()),
                  gTemporaryCounter.fetch_add(1, std::memory_order_relaxed));
    const std::string temporary = iPartial ? partialName(fTarget) : dir + "." + base + suffix;
    const int flags = iPartial ? (iContinue ? O_RDWR | O_CREAT : O_RDWR | O_CREAT | O_TRUNC) : O_RDWR | O_CREAT | O_EXCL;
    fFd = ::open(temporary.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666);
    if (fFd >= 0) {
      fTemporary = temporary;
      fOwnsFd = true;
      fKeep = iPartial;
      if (exists && fchmod(fFd, info.st_mode & 07777) != 0) {
        // Keeps the default permissions; not worth failing the download.
      }
      return 0;
    }
    if (errno != EEXIST || iPartial) break;
  }
  const int error = errno;
  if (exists && (error == EACCES || error == EPERM || error == EROFS)) {
    // A writable file in a directory that is not: written in place.
    fFd = ::open(fTarget.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (fFd >= 0) {
      fOwnsFd = true;
      return 0;
    }
  }
  return setLocalError(oError, error, path);
}

int PSinkWriter::writeAt(long long iOffset, const unsigned char* iBytes, size_t iCount, PClientError& oError) {
  while (iCount > 0) {
    const ssize_t written = ::pwrite(fFd, iBytes, iCount, static_cast<off_t>(iOffset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return setLocalError(oError, written < 0 ? errno : EIO, fSink.fPath);
    iBytes += written;
    iCount -= static_cast<size_t>(written);
    iOffset += written;
  }
  return 0;
}

long PSinkWriter::readAt(long long iOffset, unsigned char* oBytes, size_t iCount) const {
  for (;;) {
    const ssize_t got = ::pread(fFd, oBytes, iCount, static_cast<off_t>(iOffset));
    if (got >= 0 || errno != EINTR) return static_cast<long>(got);
  }
}

int PSinkWriter::finish(long long iSize, int iMode, long long iTimeNs, PClientError& oError) {
  if (fSink.fKind != PSink::Kind::kFile || fFd < 0) return 0;
  if (positional() && ftruncate(fFd, static_cast<off_t>(iSize)) != 0) return setLocalError(oError, errno, fSink.fPath);
  if (iMode >= 0 && fchmod(fFd, static_cast<mode_t>(iMode)) != 0) return setLocalError(oError, errno, fSink.fPath);
  if (iTimeNs >= 0) {
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(iTimeNs / 1000000000), static_cast<long>(iTimeNs % 1000000000)}};
    if (futimens(fFd, times) != 0) return setLocalError(oError, errno, fSink.fPath);
  }
  return 0;
}

int PSinkWriter::write(const unsigned char* iBytes, size_t iCount, PClientError& oError) {
  if (fSink.fKind == PSink::Kind::kCallback) {
    int result = 0;
    try {
      result = fSink.fWrite(iBytes, iCount);
    } catch (...) {
      return setError(oError, ERR_FAILED, PErrorOrigin::kLocal, "the sink function threw an exception", "");
    }
    if (result < 0) return setError(oError, result, PErrorOrigin::kLocal, "", "");
    return 0;
  }
  const int error = writeAllTo(fFd, iBytes, iCount);
  if (error != 0) {
    return setLocalError(oError, error, fSink.fKind == PSink::Kind::kFile ? fSink.fPath : "descriptor " + std::to_string(fFd));
  }
  return 0;
}

int PSinkWriter::commit(PClientError& oError) {
  if (!fOwnsFd) return 0;
  const int closed = ::close(fFd);
  const int closeError = errno;
  fFd = -1;
  fOwnsFd = false;
  if (closed != 0 && closeError != EINTR) {
    abort();
    return setLocalError(oError, closeError, fSink.fPath);
  }
  if (!fTemporary.empty()) {
    if (::rename(fTemporary.c_str(), fTarget.c_str()) != 0) {
      const int error = errno;
      abort();
      return setLocalError(oError, error, fSink.fPath);
    }
    fTemporary.clear();
  }
  return 0;
}

void PSinkWriter::abort() {
  if (fOwnsFd && fFd >= 0) ::close(fFd);
  fFd = -1;
  fOwnsFd = false;
  if (!fTemporary.empty() && !fKeep) ::unlink(fTemporary.c_str());
  fTemporary.clear();
}

// --------------------------------------------------------- PSourceReader

PSourceReader::~PSourceReader() {
  if (fOwnsFd && fFd >= 0) ::close(fFd);
}

int PSourceReader::open(PClientError& oError) {
  if (fSource.fKind == PSource::Kind::kCallback) {
    if (!fSource.fRead) return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument, "no source function", "");
    fTotal = fSource.fTotal;
    return 0;
  }
  if (fSource.fKind == PSource::Kind::kDescriptor) {
    if (fSource.fFd < 0) return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument, "invalid descriptor", "");
    fFd = fSource.fFd;
  } else {
    if (fSource.fPath.empty()) return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument, "empty local path", "");
    fFd = ::open(fSource.fPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fFd < 0) return setLocalError(oError, errno, fSource.fPath);
    fOwnsFd = true;
  }
  struct stat info;
  if (fstat(fFd, &info) != 0) return setLocalError(oError, errno, fSource.fPath);
  if (S_ISDIR(info.st_mode)) return setLocalError(oError, EISDIR, fSource.fPath);
  if (S_ISREG(info.st_mode)) {
    const off_t at = lseek(fFd, 0, SEEK_CUR);
    fTotal = at >= 0 && at <= info.st_size ? static_cast<long long>(info.st_size - at) : -1;
    fSeekable = fTotal >= 0;
    fBase = at;
    fSparse = static_cast<long long>(info.st_blocks) * 512 < info.st_size;
    fMode = static_cast<int>(info.st_mode & 0777);
    fTimeNs = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  }
  return 0;
}

const std::string& PSourceReader::name() const {
  static const std::string kInput = "standard input";
  return fSource.fKind == PSource::Kind::kFile ? fSource.fPath : kInput;
}

int PSourceReader::readAt(long long iOffset, unsigned char* oBytes, size_t iCount, size_t& oCount, PClientError& oError) {
  oCount = 0;
  while (oCount < iCount) {
    const ssize_t got = ::pread(fFd, oBytes + oCount, iCount - oCount, static_cast<off_t>(fBase + iOffset) + static_cast<off_t>(oCount));
    if (got > 0) {
      oCount += static_cast<size_t>(got);
    } else if (got == 0) {
      return 0;
    } else if (errno != EINTR) {
      return setLocalError(oError, errno, name());
    }
  }
  return 0;
}

void PSourceReader::nextData(long long iOffset, long long& oStart, long long& oEnd) const {
  oStart = iOffset;
  oEnd = fTotal;
  if (!fSparse || iOffset >= fTotal) return;
  const off_t data = lseek(fFd, static_cast<off_t>(fBase + iOffset), SEEK_DATA);
  if (data < 0) {
    // No data after the offset (ENXIO), or holes cannot be told: all data.
    if (errno == ENXIO) oStart = fTotal;
    return;
  }
  const off_t hole = lseek(fFd, data, SEEK_HOLE);
  oStart = std::min<long long>(data - fBase, fTotal);
  oEnd = hole < 0 ? fTotal : std::min<long long>(hole - fBase, fTotal);
}

int PSourceReader::fill(unsigned char* oBytes, size_t iCapacity, size_t& oCount, bool& oEnd,
                        const std::function<bool()>& iContinue, bool& oCancelled, PClientError& oError) {
  oCount = 0;
  oEnd = false;
  while (oCount < iCapacity) {
    if (fSource.fKind == PSource::Kind::kCallback) {
      long got = 0;
      try {
        got = fSource.fRead(oBytes + oCount, iCapacity - oCount);
      } catch (...) {
        return setError(oError, ERR_FAILED, PErrorOrigin::kLocal, "the source function threw an exception", "");
      }
      if (got < 0) return setError(oError, static_cast<int>(got), PErrorOrigin::kLocal, "", "");
      if (got == 0 || static_cast<size_t>(got) > iCapacity - oCount) {
        oEnd = got == 0;
        if (!oEnd) return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kLocal, "the source gave more than asked", "");
        return 0;
      }
      oCount += static_cast<size_t>(got);
      continue;
    }
    const size_t want = iCapacity - oCount < SSIZE_MAX ? iCapacity - oCount : SSIZE_MAX;
    const ssize_t got = ::read(fFd, oBytes + oCount, want);
    if (got > 0) {
      oCount += static_cast<size_t>(got);
      // A pipe's bytes go as they come: no waiting to fill a large block.
      pollfd more{fFd, POLLIN, 0};
      if (!fSeekable && ::poll(&more, 1, 0) == 0) return 0;
      continue;
    }
    if (got == 0) {
      oEnd = true;
      return 0;
    }
    if (errno == EINTR) {
      if (iContinue && !iContinue()) {
        oCancelled = true;
        return 0;
      }
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (waitReady(fFd, POLLIN)) continue;
    }
    return setLocalError(oError, errno,
                         fSource.fKind == PSource::Kind::kFile ? fSource.fPath : "descriptor " + std::to_string(fFd));
  }
  return 0;
}
