#include "PTcpTransport.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "zevo/PErrors.h"

namespace {

constexpr int kBacklog = 128;

}  // namespace

PEndpoint PTcpTransport::endpointOf(const sockaddr_storage& iAddress) const {
  char host[INET6_ADDRSTRLEN] = "?";
  PEndpoint endpoint;
  endpoint.fScheme = scheme();
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

int PTcpTransport::bind(const PEndpoint& iEndpoint, PFd& oFd, std::string& oWhere, std::string&, std::string& oError) {
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
  if (!oFd.valid() || ::listen(oFd.get(), kBacklog) != 0) {
    if (oFd.valid()) error = errno;
    oError = "cannot " + std::string(oFd.valid() ? "listen on " : "bind ") + iEndpoint.text() + ": " + std::strerror(error);
    return PErrors::fromErrno(error);
  }
  oWhere = whereOf(oFd.get());
  return 0;
}

bool PTcpTransport::serves(int iFamily) const { return iFamily == AF_INET || iFamily == AF_INET6; }

// "SCHEME:HOST:PORT", the host of an IPv6 address in brackets.
std::string PTcpTransport::whereOf(int iFd) const {
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (getsockname(iFd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return std::string(scheme()) + ":";
  return endpointOf(bound).text();
}

// "SCHEME:ADDRESS:PORT"; the identity "tcp:ADDRESS" (a transport with a
// handshake proves a better one).
void PTcpTransport::describe(int iFd, PSessionInfo& ioInfo) const {
  ioInfo.fPeer = "unknown";
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getpeername(iFd, reinterpret_cast<sockaddr*>(&address), &length) != 0 || !serves(address.ss_family)) return;
  const PEndpoint endpoint = endpointOf(address);
  ioInfo.fPeer = endpoint.text();
  ioInfo.fAddress = endpoint.fHost;
  if (!handshakes()) ioInfo.fIdentity = "tcp:" + endpoint.fHost;
}
