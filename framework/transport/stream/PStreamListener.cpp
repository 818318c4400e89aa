#include "PStreamListener.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "PStreamConnection.h"
#include "zevo/PErrors.h"

namespace {

constexpr int kAcceptsPerTurn = 64;

int failure(int iError, const std::string& iWhat, std::string& oError) {
  oError = iWhat + ": " + std::strerror(iError);
  return PErrors::fromErrno(iError);
}

}  // namespace

std::unique_ptr<PByteChannel> plainChannel(int iFd, std::string& oError) {
  std::unique_ptr<PByteChannel> channel(new (std::nothrow) PSocketChannel(iFd));
  if (!channel) oError = "out of memory";
  return channel;
}

int PStreamTransport::listen(PComms& iComms, const PEndpoint& iEndpoint, std::unique_ptr<PTransportListener>& oListener,
                             std::string& oError) {
  PFd fd;
  std::string where = iEndpoint.text(), file;
  const int result = bind(iEndpoint, fd, where, file, oError);
  if (result != 0) return result;
  oListener.reset(new PStreamListener(iComms, *this, std::move(fd), where, file));
  return 0;
}

int PStreamTransport::adopt(PComms& iComms, PFd iFd, std::unique_ptr<PTransportListener>& oListener, std::string& oError) {
  const auto option = [&](int iName) {
    int value = 0;
    socklen_t length = sizeof value;
    return getsockopt(iFd.get(), SOL_SOCKET, iName, &value, &length) == 0 ? value : -1;
  };
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (option(SO_TYPE) != SOCK_STREAM || option(SO_ACCEPTCONN) != 1 ||
      getsockname(iFd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0 || !serves(address.ss_family)) {
    oError = "descriptor " + std::to_string(iFd.get()) + " is not a listening stream socket the " + scheme() +
             " transport serves";
    return ERR_INVALID_ARG;
  }
  // Inherited descriptors are blocking and survive exec; a blocking one
  // would stall the worker that accepts.
  const int flags = ::fcntl(iFd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(iFd.get(), F_SETFL, flags | O_NONBLOCK) != 0 || ::fcntl(iFd.get(), F_SETFD, FD_CLOEXEC) != 0) {
    return failure(errno, "cannot use descriptor " + std::to_string(iFd.get()), oError);
  }
  const std::string where = whereOf(iFd.get());
  oListener.reset(new PStreamListener(iComms, *this, std::move(iFd), where, ""));
  return 0;
}

PStreamListener::PStreamListener(PComms& iComms, const PStreamTransport& iTransport, PFd iFd, std::string iWhere,
                                 std::string iFile)
    : fComms(iComms), fTransport(iTransport), fFd(std::move(iFd)), fWhere(std::move(iWhere)), fFile(std::move(iFile)),
      fReserve(::open("/dev/null", O_RDONLY | O_CLOEXEC)) {}

PStreamListener::~PStreamListener() {
  if (fStarted && fFd.valid()) fComms.reactor().remove(fFd.get(), this);
  if (!fFile.empty()) ::unlink(fFile.c_str());
}

int PStreamListener::start() {
  if (fStarted) return 0;
  // Accepting is light: the first worker does it and hands each new
  // connection to the worker holding the fewest.
  const int result = fComms.reactor().add(fFd.get(), this, EPOLLIN, 0);
  fStarted = result == 0;
  return result;
}

void PStreamListener::onReady(uint32_t) {
  if (fStopped.load(std::memory_order_acquire)) {
    fComms.reactor().remove(fFd.get(), this);  // its own worker: safe here
    fStarted = false;
    return;
  }
  if (!fReserve.valid()) fReserve.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  bool backOff = false;
  for (int i = 0; i < kAcceptsPerTurn && !fStopped.load(std::memory_order_acquire); ++i) {
    const int fd = ::accept4(fFd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly on Unix sockets
      PSessionInfo info;
      info.fNumber = fComms.nextNumber();
      info.fTransport = fTransport.scheme();
      info.fLocal = fTransport.local();
      fTransport.describe(fd, info);
      PStreamConnection::begin(fComms, fTransport, PFd(fd), std::move(info));
      continue;
    }
    const int error = errno;
    if (error == EINTR || error == ECONNABORTED) continue;
    if (error != EMFILE && error != ENFILE) break;  // EAGAIN, or an error the next readiness shows again
    // No descriptor left. accept fails so even when nobody waits: look
    // first, then give up the spare descriptor to take the peer and refuse
    // it, rather than leave it pending and the socket ready for ever.
    pollfd waiting{fFd.get(), POLLIN, 0};
    if (::poll(&waiting, 1, 0) <= 0) break;
    if (!fReserve.valid()) {
      backOff = true;  // cannot even refuse: try again shortly
      break;
    }
    fReserve.reset();
    PFd refused(::accept4(fFd.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (refused.valid()) {
      PStreamConnection::refuse(fComms, refused, ERR_COMMS_BUSY, "the host has no descriptors left", fWhere,
                                !fTransport.handshakes());
    }
    fReserve.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!fReserve.valid()) {
      backOff = true;
      break;
    }
  }
  // A listener that can neither serve nor refuse waits a little instead of
  // spinning on a socket that stays ready.
  if (backOff) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
