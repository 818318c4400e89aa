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
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <thread>

#include "zevo/PErrors.h"
#include "zevo/core/PComms.h"

namespace {

constexpr int kAcceptsPerTurn = 64;
constexpr int kBacklog = 128;

// An IP socket address as an endpoint (its host: the address as text).
PEndpoint ipEndpoint(const sockaddr_storage& iAddress, bool iTls) {
  char host[INET6_ADDRSTRLEN] = "?";
  PEndpoint endpoint;
  endpoint.fKind = iTls ? PEndpoint::kTls : PEndpoint::kTcp;
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
  return endpoint;
}

// "tcp:HOST:PORT" (or "tls:..."), the host of an IPv6 address in brackets.
std::string tcpText(const sockaddr_storage& iAddress, bool iTls) { return ipEndpoint(iAddress, iTls).text(); }

// Who is at the other end, as far as the system tells: "unix:PID:UID" and
// the identity "uid:UID", or "tcp:ADDRESS:PORT" and "tcp:ADDRESS" (a TLS
// peer: "tls:ADDRESS:PORT", its identity is its certificate's).
PSessionInfo describePeer(int iFd, bool iTls) {
  PSessionInfo info;
  info.fPeer = "unknown";
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getpeername(iFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return info;
  if (address.ss_family == AF_UNIX) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    info.fPeer = "unix";
    if (getsockopt(iFd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return info;
    info.fPeer += ":" + std::to_string(credentials.pid) + ":" + std::to_string(credentials.uid);
    info.fIdentity = "uid:" + std::to_string(credentials.uid);
    info.fGroups.push_back(credentials.gid);
    // The supplementary groups: as many as the peer has (the system says how
    // many when the buffer is short).
    std::vector<gid_t> groups(32);
    socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    int got = getsockopt(iFd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes);
    if (got != 0 && errno == ERANGE) {
      groups.resize(bytes / sizeof(gid_t));
      got = getsockopt(iFd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes);
    }
    if (got == 0) info.fGroups.insert(info.fGroups.end(), groups.begin(), groups.begin() + bytes / sizeof(gid_t));
  } else if (address.ss_family == AF_INET || address.ss_family == AF_INET6) {
    const PEndpoint endpoint = ipEndpoint(address, iTls);
    info.fPeer = endpoint.text();
    if (!iTls) info.fIdentity = "tcp:" + endpoint.fHost;
  }
  return info;
}

int failure(int iError, const std::string& iWhat, std::string& oError) {
  oError = iWhat + ": " + std::strerror(iError);
  return PErrors::fromErrno(iError);
}

// The directory of a socket path ("." for a bare name).
std::string directoryOf(const std::string& iPath) {
  const size_t slash = iPath.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : iPath.substr(0, slash);
}

// Binds iPath so that no other user can connect before iMode and iGroup
// hold. The umask cannot do it (it is the whole process's), and changing the
// mode by path after binding leaves a moment with the umask's mode, through
// a link that whoever can write the directory may put there. So the socket
// is bound in a private directory (0700, beside iPath), given its group and
// mode there, made to listen, and renamed into place, which also replaces a
// stale socket file in one step. (getsockname and a peer's getpeername name
// the private path; nothing relies on them.)
int bindUnix(const std::string& iPath, mode_t iMode, gid_t iGroup, PFd& oFd, std::string& oError) {
  struct stat info;
  if (::lstat(iPath.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      oError = iPath + " exists and is not a socket";
      return PERR_EXISTS;
    }
    sockaddr_un probeAddress{};
    probeAddress.sun_family = AF_UNIX;
    std::memcpy(probeAddress.sun_path, iPath.c_str(), iPath.size() + 1);
    PFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe.valid() && ::connect(probe.get(), reinterpret_cast<sockaddr*>(&probeAddress), sizeof probeAddress) == 0) {
      oError = "another process is listening on " + iPath;
      return ERR_ALREADY;
    }
  }
  const std::string directory = directoryOf(iPath);
  std::string scratch = (directory == "/" ? "" : directory) + "/.zevoXXXXXX";
  if (::mkdtemp(scratch.data()) == nullptr) return failure(errno, "cannot bind " + iPath, oError);
  const std::string bound = scratch + "/s";
  struct Scratch {  // removed on every way out (after the rename, only the directory is left)
    const std::string& fDirectory;
    const std::string& fSocket;
    ~Scratch() {
      ::unlink(fSocket.c_str());
      ::rmdir(fDirectory.c_str());
    }
  } cleanup{scratch, bound};
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (bound.size() >= sizeof address.sun_path) {
    oError = "cannot bind " + iPath + ": the path of its private directory, " + bound + ", is longer than " +
             std::to_string(sizeof address.sun_path - 1) + " bytes";
    return ERR_INVALID_ARG;
  }
  std::memcpy(address.sun_path, bound.c_str(), bound.size() + 1);
  oFd.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!oFd.valid() || ::bind(oFd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return failure(errno, "cannot bind " + iPath, oError);
  }
  const gid_t group = iGroup == static_cast<gid_t>(-1) ? ::getegid() : iGroup;
  if (::chown(bound.c_str(), static_cast<uid_t>(-1), group) != 0) {
    return failure(errno, "cannot give " + iPath + " the group " + std::to_string(group), oError);
  }
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned int>(iMode));
  if (::chmod(bound.c_str(), iMode) != 0) return failure(errno, "cannot give " + iPath + " the mode " + mode, oError);
  if (::listen(oFd.get(), kBacklog) != 0) return failure(errno, "cannot listen on " + iPath, oError);
  if (::rename(bound.c_str(), iPath.c_str()) != 0) return failure(errno, "cannot bind " + iPath, oError);
  return 0;
}

// "unix:PATH" of a bound Unix socket; "unix:@NAME" for an abstract name.
std::string unixText(const sockaddr_storage& iAddress, socklen_t iLength) {
  const auto* un = reinterpret_cast<const sockaddr_un*>(&iAddress);
  const size_t offset = offsetof(sockaddr_un, sun_path);
  const size_t length = iLength > offset ? std::min<size_t>(iLength - offset, sizeof un->sun_path) : 0;
  if (length == 0) return "unix:";
  if (un->sun_path[0] == '\0') return "unix:@" + std::string(un->sun_path + 1, length - 1);
  return "unix:" + std::string(un->sun_path, strnlen(un->sun_path, length));
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
  if (::listen(oFd.get(), kBacklog) != 0) return failure(errno, "cannot listen on " + iEndpoint.text(), oError);
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(oFd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
  oWhere = tcpText(bound, iEndpoint.fKind == PEndpoint::kTls);
  return 0;
}

}  // namespace

int PListener::open(PComms& iComms, const PEndpoint& iEndpoint, std::unique_ptr<PListener>& oListener, std::string& oError) {
  PFd fd;
  std::string where = iEndpoint.text();
  const int result = iEndpoint.fKind == PEndpoint::kUnix
                         ? bindUnix(iEndpoint.fPath, iComms.fSettings.fUnixMode, iComms.fSettings.fUnixGroup, fd, oError)
                         : bindTcp(iEndpoint, fd, where, oError);
  if (result != 0) return result;
  oListener.reset(new PListener(iComms, std::move(fd), where, iEndpoint.fKind == PEndpoint::kUnix ? iEndpoint.fPath : "",
                                iEndpoint.fKind == PEndpoint::kTls));
  return 0;
}

int PListener::adopt(PComms& iComms, PFd iFd, bool iTls, std::unique_ptr<PListener>& oListener, std::string& oError) {
  const auto option = [&](int iName) {
    int value = 0;
    socklen_t length = sizeof value;
    return getsockopt(iFd.get(), SOL_SOCKET, iName, &value, &length) == 0 ? value : -1;
  };
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (option(SO_TYPE) != SOCK_STREAM || option(SO_ACCEPTCONN) != 1 ||
      getsockname(iFd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      (address.ss_family != AF_UNIX && address.ss_family != AF_INET && address.ss_family != AF_INET6)) {
    oError = "descriptor " + std::to_string(iFd.get()) + " is not a listening Unix or TCP stream socket";
    return ERR_INVALID_ARG;
  }
  // Inherited descriptors are blocking and survive exec; a blocking one
  // would stall the worker that accepts.
  const int flags = ::fcntl(iFd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(iFd.get(), F_SETFL, flags | O_NONBLOCK) != 0 || ::fcntl(iFd.get(), F_SETFD, FD_CLOEXEC) != 0) {
    return failure(errno, "cannot use descriptor " + std::to_string(iFd.get()), oError);
  }
  const bool tls = iTls && address.ss_family != AF_UNIX;
  const std::string where = address.ss_family == AF_UNIX ? unixText(address, size) : tcpText(address, tls);
  oListener.reset(new PListener(iComms, std::move(iFd), where, "", tls));
  return 0;
}

PListener::PListener(PComms& iComms, PFd iFd, std::string iWhere, std::string iUnixPath, bool iTls)
    : fComms(iComms), fFd(std::move(iFd)), fWhere(std::move(iWhere)), fTls(iTls), fUnixPath(std::move(iUnixPath)),
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
      fComms.accepted(fd, describePeer(fd, fTls), fTls);
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
    if (refused.valid()) fComms.refuse(refused, ERR_COMMS_BUSY, "the host has no descriptors left", fWhere, fTls);
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
