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

namespace {

enum Form { kPathForm, kHostPort, kUrl };

struct PScheme {
  const char* fName;
  Form fForm;
  int fDefaultPort;  // the URL form's, when none is written
};

const PScheme kSchemes[] = {
    {"unix", kPathForm, 0}, {"tcp", kHostPort, 0}, {"tls", kHostPort, 0}, {"mqtt", kUrl, 1883}, {"mqtts", kUrl, 8883},
};

const PScheme* schemeOf(const std::string& iName) {
  for (const PScheme& scheme : kSchemes) {
    if (iName == scheme.fName) return &scheme;
  }
  return nullptr;
}

// "HOST:PORT" or "[IPV6]:PORT" (iPortOptional: "HOST" alone too): false when malformed.
bool hostAndPort(const std::string& iText, bool iPortOptional, std::string& oHost, int& oPort) {
  const size_t close = iText.size() > 0 && iText[0] == '[' ? iText.find(']') : std::string::npos;
  size_t colon = close != std::string::npos ? iText.find(':', close) : iText.rfind(':');
  if (close == std::string::npos && iPortOptional && colon != std::string::npos && iText.find(':') != colon) {
    colon = std::string::npos;  // an IPv6 address without brackets has no port
  }
  if (colon == std::string::npos) {
    if (!iPortOptional) return false;
    oHost = iText;
  } else {
    const std::string port = iText.substr(colon + 1);
    bool digits = !port.empty() && port.size() <= 5;
    for (char c : port) digits = digits && c >= '0' && c <= '9';
    if (!digits || std::stoi(port) > 65535) return false;
    oPort = std::stoi(port);
    oHost = iText.substr(0, colon);
  }
  if (oHost.size() >= 2 && oHost.front() == '[' && oHost.back() == ']') oHost = oHost.substr(1, oHost.size() - 2);
  return true;
}

}  // namespace

int PEndpoint::parse(const std::string& iText, PEndpoint& oEndpoint, std::string& oError) {
  PEndpoint endpoint;
  const size_t colon = iText.find(':');
  const PScheme* scheme = colon == std::string::npos ? nullptr : schemeOf(iText.substr(0, colon));
  if (scheme == nullptr) {
    oError = "unknown endpoint \"" + iText + "\" (expected unix:PATH, tcp:HOST:PORT, tls:HOST:PORT or mqtt[s]://HOST[:PORT])";
    return ERR_INVALID_ARG;
  }
  endpoint.fScheme = scheme->fName;
  const std::string rest = iText.substr(colon + 1);
  if (scheme->fForm == kPathForm) {
    endpoint.fPath = rest;
    const size_t room = sizeof(sockaddr_un::sun_path) - 1;
    if (endpoint.fPath.empty() || endpoint.fPath.size() > room || endpoint.fPath.find('\0') != std::string::npos) {
      oError = "invalid socket path \"" + endpoint.fPath + "\" (1 to " + std::to_string(room) + " bytes)";
      return ERR_INVALID_ARG;
    }
  } else if (scheme->fForm == kHostPort) {
    if (!hostAndPort(rest, false, endpoint.fHost, endpoint.fPort)) {
      oError = "expected " + endpoint.fScheme + ":HOST:PORT with a port of 0 to 65535, got \"" + iText + "\"";
      return ERR_INVALID_ARG;
    }
  } else {
    const size_t slash = rest.compare(0, 2, "//") == 0 ? rest.find('/', 2) : std::string::npos;
    endpoint.fPort = scheme->fDefaultPort;
    const std::string authority = rest.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
    if (rest.compare(0, 2, "//") != 0 || authority.empty() || !hostAndPort(authority, true, endpoint.fHost, endpoint.fPort) ||
        endpoint.fHost.empty()) {
      oError = "expected " + endpoint.fScheme + "://HOST[:PORT][/PATH] with a port of 0 to 65535, got \"" + iText + "\"";
      return ERR_INVALID_ARG;
    }
    if (slash != std::string::npos) endpoint.fPath = rest.substr(slash + 1);
  }
  oEndpoint = endpoint;
  return 0;
}

std::string PEndpoint::text() const {
  const PScheme* scheme = schemeOf(fScheme);
  if (scheme == nullptr || scheme->fForm == kPathForm) return fScheme + ":" + fPath;
  const std::string host = fHost.find(':') != std::string::npos ? "[" + fHost + "]" : fHost;
  if (scheme->fForm == kHostPort) return fScheme + ":" + host + ":" + std::to_string(fPort);
  return fScheme + "://" + host + ":" + std::to_string(fPort) + (fPath.empty() ? "" : "/" + fPath);
}

int PEndpoint::connect(int iTimeoutMs, int& oFd, std::string& oWhy) const {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
  int result = ECONNREFUSED;
  if (fScheme == "unix") {
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
