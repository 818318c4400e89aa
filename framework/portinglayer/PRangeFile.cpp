#include "zevo/PRangeFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "PFileAttributesOf.h"
#include "PPathAt.h"
#include "PPathCheck.h"
#include "PSys.h"
#include "zevo/PErrors.h"

PRangeFile::~PRangeFile() {
  if (fFd >= 0) PSys::close(fFd);
}

int PRangeFile::open(const PLiteral& iPath) {
  if (fFd >= 0) return PERR_ALREADY_OPEN;
  std::string path;
  int rc = PPathCheck::toSystem(iPath, path);
  int fd = -1;
  if (rc == 0) rc = PPathAt::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0, fd);
  if (rc != 0) return rc;
  if (PSys::fcntl(fd, F_SETFL, 0) != 0) {  // back to blocking reads
    rc = PErrors::fromErrno(errno);
    PSys::close(fd);
    return rc;
  }
  fFd = fd;
  return 0;
}

int PRangeFile::readAt(long long iOffset, void* oBuffer, unsigned int iSize, unsigned int& oDone) {
  oDone = 0;
  if (fFd < 0) return PERR_NOT_OPEN;
  if (iOffset < 0 || (iSize > 0 && !oBuffer)) return PERR_INVALID_ARG;
  char* buffer = static_cast<char*>(oBuffer);
  while (oDone < iSize) {
    const ssize_t got = PSys::pread(fFd, buffer + oDone, iSize - oDone, static_cast<off_t>(iOffset + oDone));
    if (got < 0) return PErrors::fromErrno(errno);
    if (got == 0) break;  // the end of the file
    oDone += static_cast<unsigned int>(got);
  }
  return 0;
}

int PRangeFile::span(long long iOffset, unsigned int iSize, PFileSpan& oSpan) {
  oSpan = PFileSpan();
  if (fFd < 0) return PERR_NOT_OPEN;
  if (iOffset < 0) return PERR_INVALID_ARG;
  struct stat info;
  if (PSys::fstat(fFd, &info) != 0) return PErrors::fromErrno(errno);
  const long long left = static_cast<long long>(info.st_size) - iOffset;
  oSpan.fFd = fFd;
  oSpan.fOffset = iOffset;
  oSpan.fLength = left <= 0 ? 0 : static_cast<uint32_t>(std::min<long long>(left, iSize));
  return 0;
}

int PRangeFile::attributes(PFileAttributes& oInfo) {
  if (fFd < 0) return PERR_NOT_OPEN;
  struct stat info;
  if (PSys::fstat(fFd, &info) != 0) return PErrors::fromErrno(errno);
  oInfo = attributesOf(info);
  return 0;
}

int PRangeFile::dataRange(long long iOffset, long long& oStart, long long& oEnd) {
  if (fFd < 0) return PERR_NOT_OPEN;
  if (iOffset < 0) return PERR_INVALID_ARG;
  struct stat info;
  if (PSys::fstat(fFd, &info) != 0) return PErrors::fromErrno(errno);
  const long long size = static_cast<long long>(info.st_size);
  if (iOffset >= size) return PERR_FILE_EOF;
  const off_t data = PSys::lseek(fFd, static_cast<off_t>(iOffset), SEEK_DATA);
  if (data < 0) {
    if (errno == ENXIO) return PERR_FILE_EOF;  // only a hole follows
    if (errno != EINVAL && errno != EOPNOTSUPP) return PErrors::fromErrno(errno);
    oStart = iOffset;  // the file system cannot tell holes: all of it is data
    oEnd = size;
    return 0;
  }
  const off_t hole = PSys::lseek(fFd, data, SEEK_HOLE);
  if (hole < 0) return PErrors::fromErrno(errno);
  oStart = static_cast<long long>(data);
  oEnd = std::min(static_cast<long long>(hole), size);
  return oStart < oEnd ? 0 : PERR_FILE_EOF;
}
