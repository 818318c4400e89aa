#include "PByteChannel.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

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
  for (;;) {
    const ssize_t sent = ::send(fFd, iBytes, iCount, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) return sent;
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kWouldBlock;
    fError = sent < 0 ? std::strerror(errno) : "the socket took nothing";
    return kFailed;
  }
}
