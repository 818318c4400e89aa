#include "PListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "zevo/PErrors.h"
#include "zevo/core/PComms.h"

namespace {

constexpr int kAcceptsPerTurn = 64;

// "tcp:HOST:PORT", the host of an IPv6 address in brackets.
std::string tcpText(const sockaddr_storage& iAddress) {
  char host[INET6_ADDRSTRLEN] = "?";
  PEndpoint endpoint;
  endpoint.fKind = PEndpoint::kTcp;
  if (iAddress.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&iAddress);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    endpoint.fPort = ntohs(in->sin_port);
  } else {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&iAddress);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    endpoint.fPort = ntohs(in6->sin6_port);
  }
  endpoint.fHost = host;
  return endpoint.text();
}

// Who is at the other end: "unix:PID:UID" as far as the system tells, or
// "tcp:ADDRESS:PORT".
std::string peerName(int iFd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getpeername(iFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "unknown";
  if (address.ss_family == AF_UNIX) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(iFd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return "unix";
    return "unix:" + std::to_string(credentials.pid) + ":" + std::to_string(credentials.uid);
  }
  return address.ss_family == AF_INET || address.ss_family == AF_INET6 ? tcpText(address) : "unknown";
}

int failure(int iError, const std::string& iWhat, std::string& oError) {
  oError = iWhat + ": " + std::strerror(iError);
  return PErrors::fromErrno(iError);
}

int bindUnix(const std::string& iPath, PFd& oFd, std::string& oError) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, iPath.c_str(), iPath.size() + 1);
  struct stat info;
  if (::lstat(iPath.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      oError = iPath + " exists and is not a socket";
      return PERR_EXISTS;
    }
    PFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe.valid() && ::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      oError = "another process is listening on " + iPath;
      return ERR_ALREADY;
    }
    ::unlink(iPath.c_str());
  }
  oFd.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!oFd.valid() || ::bind(oFd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return failure(errno, "cannot bind " + iPath, oError);
  }
  return 0;
}

int bindTcp(const PEndpoint& iEndpoint, PFd& oFd, std::string& oWhere, std::string& oError) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const bool any = iEndpoint.fHost.empty() || iEndpoint.fHost == "*";
  const int lookup = getaddrinfo(any ? nullptr : iEndpoint.fHost.c_str(), std::to_string(iEndpoint.fPort).c_str(), &hints, &found);
  if (lookup != 0) {
    oError = "cannot resolve \"" + iEndpoint.fHost + "\": " + gai_strerror(lookup);
    return ERR_INVALID_ARG;
  }
  int error = 0;
  for (addrinfo* candidate = found; candidate != nullptr && !oFd.valid(); candidate = candidate->ai_next) {
    PFd fd(::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int one = 1;
    if (fd.valid()) setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd.valid() && ::bind(fd.get(), candidate->ai_addr, candidate->ai_addrlen) == 0) {
      oFd = std::move(fd);
    } else {
      error = errno;
    }
  }
  freeaddrinfo(found);
  if (!oFd.valid()) return failure(error, "cannot bind " + iEndpoint.text(), oError);
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(oFd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
  oWhere = tcpText(bound);
  return 0;
}

}  // namespace

int PListener::open(PComms& iComms, const PEndpoint& iEndpoint, std::unique_ptr<PListener>& oListener, std::string& oError) {
  PFd fd;
  std::string where = iEndpoint.text();
  const int result = iEndpoint.fKind == PEndpoint::kUnix ? bindUnix(iEndpoint.fPath, fd, oError) : bindTcp(iEndpoint, fd, where, oError);
  if (result != 0) return result;
  if (::listen(fd.get(), 128) != 0) return failure(errno, "cannot listen on " + where, oError);
  oListener.reset(new PListener(iComms, std::move(fd), where, iEndpoint.fKind == PEndpoint::kUnix ? iEndpoint.fPath : ""));
  return 0;
}

PListener::PListener(PComms& iComms, PFd iFd, std::string iWhere, std::string iUnixPath)
    : fComms(iComms), fFd(std::move(iFd)), fWhere(std::move(iWhere)), fUnixPath(std::move(iUnixPath)),
      fReserve(::open("/dev/null", O_RDONLY | O_CLOEXEC)) {}

PListener::~PListener() {
  if (!fUnixPath.empty()) ::unlink(fUnixPath.c_str());
}

void PListener::onReady(uint32_t) {
  if (!fReserve.valid()) fReserve.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  bool backOff = false;
  for (int i = 0; i < kAcceptsPerTurn && !fStopped.load(std::memory_order_acquire); ++i) {
    const int fd = ::accept4(fFd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly on Unix sockets
      fComms.accepted(fd, peerName(fd));
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
    if (refused.valid()) fComms.refuse(refused, "the host has no descriptors left", fWhere);
    fReserve.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!fReserve.valid()) {
      backOff = true;
      break;
    }
  }
  if (fStopped.load(std::memory_order_acquire)) {
    fComms.fDispatcher->reactor().remove(fFd.get(), this);  // its own worker: safe here
    return;
  }
  // A listener that can neither serve nor refuse waits a little instead of
  // spinning on a socket that stays ready.
  if (backOff) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
