#include "zevo/protocol/PEndpoint.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "zevo/PErrors.h"
#include "zevo/PFd.h"

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point iDeadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(iDeadline - Clock::now()).count();
  return left <= 0 ? 0 : left > 1000000000 ? 1000000000 : static_cast<int>(left);
}

// Starts a non-blocking connect and waits for its end: 0 or an errno value.
int connectWithin(int iFd, const sockaddr* iAddress, socklen_t iLength, Clock::time_point iDeadline) {
  for (;;) {
    if (::connect(iFd, iAddress, iLength) == 0) return 0;
    const int error = errno;
    if (error == EAGAIN) {  // a Unix socket's backlog is full: wait for room
      if (msLeft(iDeadline) == 0) return ETIMEDOUT;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    if (error != EINPROGRESS && error != EINTR) return error;
    for (;;) {
      pollfd waiting{iFd, POLLOUT, 0};
      const int ready = ::poll(&waiting, 1, msLeft(iDeadline));
      if (ready == 0) return ETIMEDOUT;
      if (ready > 0) break;
      if (errno != EINTR) return errno;
    }
    int result = 0;
    socklen_t length = sizeof result;
    return getsockopt(iFd, SOL_SOCKET, SO_ERROR, &result, &length) != 0 ? errno : result;
  }
}

}  // namespace

int PEndpoint::parse(const std::string& iText, PEndpoint& oEndpoint, std::string& oError) {
  PEndpoint endpoint;
  if (iText.compare(0, 5, "unix:") == 0) {
    endpoint.fPath = iText.substr(5);
    const size_t room = sizeof(sockaddr_un::sun_path) - 1;
    if (endpoint.fPath.empty() || endpoint.fPath.size() > room || endpoint.fPath.find('\0') != std::string::npos) {
      oError = "invalid socket path \"" + endpoint.fPath + "\" (1 to " + std::to_string(room) + " bytes)";
      return ERR_INVALID_ARG;
    }
  } else if (iText.compare(0, 4, "tcp:") == 0 || iText.compare(0, 4, "tls:") == 0) {
    endpoint.fKind = iText[1] == 'c' ? kTcp : kTls;
    const size_t colon = iText.rfind(':');
    const std::string port = iText.substr(colon + 1);
    endpoint.fHost = iText.substr(4, colon < 4 ? 0 : colon - 4);
    if (endpoint.fHost.size() >= 2 && endpoint.fHost.front() == '[' && endpoint.fHost.back() == ']') {
      endpoint.fHost = endpoint.fHost.substr(1, endpoint.fHost.size() - 2);
    }
    bool digits = colon > 3 && !port.empty() && port.size() <= 5;
    for (char c : port) digits = digits && c >= '0' && c <= '9';
    endpoint.fPort = digits ? std::stoi(port) : -1;
    if (endpoint.fPort < 0 || endpoint.fPort > 65535) {
      oError = "expected " + iText.substr(0, 3) + ":HOST:PORT with a port of 0 to 65535, got \"" + iText + "\"";
      return ERR_INVALID_ARG;
    }
  } else {
    oError = "unknown endpoint \"" + iText + "\" (expected unix:PATH, tcp:HOST:PORT or tls:HOST:PORT)";
    return ERR_INVALID_ARG;
  }
  oEndpoint = endpoint;
  return 0;
}

std::string PEndpoint::text() const {
  if (fKind == kUnix) return "unix:" + fPath;
  const std::string host = fHost.find(':') != std::string::npos ? "[" + fHost + "]" : fHost;
  return (fKind == kTls ? "tls:" : "tcp:") + host + ":" + std::to_string(fPort);
}

int PEndpoint::connect(int iTimeoutMs, int& oFd, std::string& oWhy) const {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
  int result = ECONNREFUSED;
  if (fKind == kUnix) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, fPath.data(), std::min(fPath.size(), sizeof address.sun_path - 1));
    PFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    result = !fd.valid() ? errno : connectWithin(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address, deadline);
    if (result == 0) oFd = fd.release();
  } else {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(fHost.c_str(), std::to_string(fPort).c_str(), &hints, &found);
    if (lookup != 0) {
      oWhy = "cannot resolve " + fHost + ": " + gai_strerror(lookup);
      return EHOSTUNREACH;
    }
    for (addrinfo* candidate = found; candidate != nullptr; candidate = candidate->ai_next) {
      PFd fd(::socket(candidate->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, candidate->ai_protocol));
      result = !fd.valid() ? errno : connectWithin(fd.get(), candidate->ai_addr, candidate->ai_addrlen, deadline);
      if (result == 0) {
        const int one = 1;  // the small requests of a window go out at once
        setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        oFd = fd.release();
        break;
      }
      if (result == ETIMEDOUT) break;
    }
    freeaddrinfo(found);
  }
  if (result != 0) oWhy = std::strerror(result);
  return result;
}
