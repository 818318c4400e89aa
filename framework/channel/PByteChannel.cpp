#include "PByteChannel.h"

#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "PPipeSignalGuard.h"

ssize_t PSocketChannel::read(unsigned char* oBytes, size_t iRoom) {
  for (;;) {
    const ssize_t got = ::recv(fFd, oBytes, iRoom, MSG_DONTWAIT);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
    fError = std::strerror(errno);
    return kFailed;
  }
}

ssize_t PSocketChannel::write(const unsigned char* iBytes, size_t iCount) {
  if (iCount > kNarrowAt) widen(false);
  return sendBytes(iBytes, iCount);
}

ssize_t PSocketChannel::sendBytes(const unsigned char* iBytes, size_t iCount) {
  for (;;) {
    const ssize_t sent = ::send(fFd, iBytes, iCount, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) return sent;
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kWouldBlock;
    fError = sent < 0 ? std::strerror(errno) : "the socket took nothing";
    return kFailed;
  }
}

void PSocketChannel::widen(bool iWide) {
  if (!fWidens || iWide == (fNarrowBuffer >= 0)) return;
  if (!iWide) {
    // The kernel doubles what it is given, and reports the doubled size.
    const int narrow = fNarrowBuffer / 2;
    ::setsockopt(fFd, SOL_SOCKET, SO_SNDBUF, &narrow, sizeof narrow);
    fNarrowBuffer = -1;
    return;
  }
  int domain = 0, buffer = 0;
  socklen_t size = sizeof domain;
  fWidens = ::getsockopt(fFd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 && domain == AF_UNIX;
  size = sizeof buffer;
  // TCP sizes its buffer itself, and stops doing so once it is set.
  if (!fWidens || ::getsockopt(fFd, SOL_SOCKET, SO_SNDBUF, &buffer, &size) != 0 || buffer >= 2 * kFileSendBuffer) return;
  if (::setsockopt(fFd, SOL_SOCKET, SO_SNDBUF, &kFileSendBuffer, sizeof kFileSendBuffer) == 0) fNarrowBuffer = buffer;
}

ssize_t PSocketChannel::writeFile(int iFd, long long iOffset, size_t iCount) {
  widen(true);
  PPipeSignalGuard guard;
  for (;;) {
    off_t offset = static_cast<off_t>(iOffset);
    const ssize_t sent = ::sendfile(fFd, iFd, &offset, iCount);
    if (sent > 0) return sent;
    if (sent == 0) {
      fError = "the file ended before the bytes its reply announced";
      return kFileFailed;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
    if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return copyFile(iFd, iOffset, iCount);
    const bool peer = errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN;
    if (errno == EPIPE) guard.raised();
    fError = std::strerror(errno);
    return peer ? kFailed : kFileFailed;
  }
}

ssize_t PSocketChannel::copyFile(int iFd, long long iOffset, size_t iCount) {
  unsigned char buffer[16384];
  ssize_t got = 0;
  do {
    got = ::pread(iFd, buffer, std::min(iCount, sizeof buffer), static_cast<off_t>(iOffset));
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    fError = got == 0 ? "the file ended before the bytes its reply announced" : std::strerror(errno);
    return kFileFailed;
  }
  return sendBytes(buffer, static_cast<size_t>(got));  // what the socket took; the rest is read again
}
