#include "PConnectors.h"

#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <new>

#include "PClientInternal.h"
#include "PMqttChannel.h"
#include "PTls.h"
#include "zevo/protocol/PMqttTopics.h"
#include "zevo/PErrors.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUnixSendBuffer = 2 << 20;  // the kernel doubles it

// A stream socket to the endpoint's address: 0 with oConnection.fFd.
int dial(const PEndpoint& iEndpoint, int iTimeoutMs, PConnection& oConnection, PClientError& oError) {
  int fd = -1;
  std::string why;
  const int result = iEndpoint.connect(iTimeoutMs, fd, why);
  if (result == ETIMEDOUT) {
    return setError(oError, ERR_COMMS_TIMEOUT, PErrorOrigin::kConnection, "cannot connect within " + formatSeconds(iTimeoutMs),
                    iEndpoint.text());
  }
  if (result != 0) return setError(oError, ERR_CLIENT_CONNECT, PErrorOrigin::kConnection, "cannot connect: " + why, iEndpoint.text());
  oConnection.fFd.reset(fd);
  return 0;
}

// A tls: or mqtts: endpoint needs the CA that signed the host's or the
// broker's (iWhose) certificate; a client certificate comes with its key.
int checkTlsFiles(const PEndpoint& iEndpoint, const PClientTls& iTls, const char* iWhose, PClientError& oError) {
  if (iTls.fCaFile.empty()) {
    return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument,
                    "a " + iEndpoint.fScheme + ": endpoint needs the CA certificate that signed the " + iWhose + "'s (zevofa --ca)",
                    iEndpoint.text());
  }
  if (iTls.fCertFile.empty() != iTls.fKeyFile.empty()) {
    return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument, "a client certificate needs its key, and a key its certificate",
                    iEndpoint.text());
  }
  return 0;
}

// Plain bytes on a Unix or TCP socket.
class PPlainConnector final : public PConnector {
 public:
  explicit PPlainConnector(const char* iScheme) : fScheme(iScheme) {}
  const char* scheme() const override { return fScheme; }
  int connect(const PEndpoint& iEndpoint, const Credentials&, int iTimeoutMs, PConnection& oConnection,
              PClientError& oError) const override {
    const int result = dial(iEndpoint, iTimeoutMs, oConnection, oError);
    if (result != 0) return result;
    // A host takes a ranged write (up to 1 MiB) whole before it writes it to
    // its file: room for several keeps this side reading its own file meanwhile.
    // TCP sizes its buffers itself.
    if (iEndpoint.fScheme == "unix") ::setsockopt(oConnection.fFd.get(), SOL_SOCKET, SO_SNDBUF, &kUnixSendBuffer, sizeof kUnixSendBuffer);
    oConnection.fChannel.reset(new (std::nothrow) PSocketChannel(oConnection.fFd.get()));
    return oConnection.fChannel ? 0 : setError(oError, PERR_NO_MEMORY, PErrorOrigin::kLocal, "out of memory", iEndpoint.text());
  }

 private:
  const char* const fScheme;
};

// TLS 1.3 over TCP: the host's certificate checked against the CA for the
// endpoint's host; the handshake ends within the connect time-out.
class PTlsConnector final : public PConnector {
 public:
  const char* scheme() const override { return "tls"; }
  int check(const PEndpoint& iEndpoint, const Credentials& iWith, PClientError& oError) const override {
    const int result = PConnector::check(iEndpoint, iWith, oError);
    return result != 0 ? result : checkTlsFiles(iEndpoint, iWith.fTls, "host", oError);
  }
  int connect(const PEndpoint& iEndpoint, const Credentials& iWith, int iTimeoutMs, PConnection& oConnection,
              PClientError& oError) const override {
    const PClientTls& iTls = iWith.fTls;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
    int result = dial(iEndpoint, iTimeoutMs, oConnection, oError);
    if (result != 0) return result;
    std::string why;
    PSslContext context = PTls::newContext(false, iTls.fCertFile, iTls.fKeyFile, iTls.fCaFile, why);
    std::unique_ptr<PTlsChannel> tls =
        context ? PTlsChannel::open(context.get(), oConnection.fFd.get(), false, iEndpoint.fHost, why) : nullptr;
    if (!tls) return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument, why, iEndpoint.text());
    while ((result = tls->handshake()) != 1) {
      if (result == PByteChannel::kFailed) {
        why = "TLS handshake failed: " + tls->error();
        // An alert is the host's verdict on this client.
        if (tls->error().find("alert") != std::string::npos) {
          why += " (the host refused this client: is its certificate signed by the host's CA, valid, and allowed?)";
        }
        return setError(oError, ERR_CLIENT_TLS, PErrorOrigin::kConnection, why, iEndpoint.text());
      }
      if (waitFor(oConnection.fFd.get(), tls->readWait() == PByteChannel::kReadable ? POLLIN : POLLOUT, deadline) == 0) {
        return setError(oError, ERR_COMMS_TIMEOUT, PErrorOrigin::kConnection,
                        "the TLS handshake did not end within the connect time-out", iEndpoint.text());
      }
    }
    oConnection.fChannel = std::move(tls);
    return 0;
  }
};

// A host behind an MQTT 5 broker: "mqtt://BROKER[:PORT]/DEVICE" (mqtts: TLS
// 1.3 to the broker with the TLS files). The requester's session is a
// channel of its own connection to the broker (PMqttChannel.h).
class PMqttConnector final : public PConnector {
 public:
  explicit PMqttConnector(const char* iScheme) : fScheme(iScheme) {}
  const char* scheme() const override { return fScheme; }
  int check(const PEndpoint& iEndpoint, const Credentials& iWith, PClientError& oError) const override {
    std::string why;
    if (PConnector::check(iEndpoint, iWith, oError) != 0) return oError.fCode;
    if (!PMqttTopics::checkName(iEndpoint.fPath, "the device ID", why)) {
      return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument,
                      std::string("expected ") + fScheme + "://BROKER[:PORT]/DEVICE: " + why, iEndpoint.text());
    }
    return iEndpoint.is("mqtts") ? checkTlsFiles(iEndpoint, iWith.fTls, "broker", oError) : 0;
  }
  int connect(const PEndpoint& iEndpoint, const Credentials& iWith, int iTimeoutMs, PConnection& oConnection,
              PClientError& oError) const override {
    PMqttRequester requester;
    requester.fRoot = iWith.fMqtt.fRoot;
    requester.fDevice = iEndpoint.fPath;
    requester.fName = iWith.fMqtt.fName.empty() ? defaultName(iWith.fMqtt) : iWith.fMqtt.fName;
    requester.fLogin = loginOf(iEndpoint, iWith);
    std::unique_ptr<PMqttChannel> channel;
    std::string why;
    const int result = PMqttChannel::open(iEndpoint, requester, iTimeoutMs, iWith.fShared, channel, oConnection.fFd, why);
    if (result != 0) return failure(result, why, iEndpoint, oError);
    oConnection.fChannel = std::move(channel);
    return 0;
  }

  static PMqttLogin loginOf(const PEndpoint& iEndpoint, const Credentials& iWith) {
    PMqttLogin login;
    login.fUsername = iWith.fMqtt.fUsername;
    login.fPassword = iWith.fMqtt.fPassword;
    login.fKeepaliveS = 60;
    if (iEndpoint.is("mqtts")) {
      login.fCaFile = iWith.fTls.fCaFile;
      login.fCertFile = iWith.fTls.fCertFile;
      login.fKeyFile = iWith.fTls.fKeyFile;
    }
    return login;
  }

  // An errno value of PMqttChannel as a client code.
  static int failure(int iErrno, const std::string& iWhy, const PEndpoint& iEndpoint, PClientError& oError) {
    if (iErrno == EINVAL) return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument, iWhy, iEndpoint.text());
    if (iErrno == ETIMEDOUT) return setError(oError, ERR_COMMS_TIMEOUT, PErrorOrigin::kConnection, iWhy, iEndpoint.text());
    return setError(oError, ERR_CLIENT_CONNECT, PErrorOrigin::kConnection, iWhy, iEndpoint.text());
  }

  // The login at the broker, else the name of this process's user.
  static std::string defaultName(const PClientMqtt& iMqtt) {
    if (!iMqtt.fUsername.empty()) return iMqtt.fUsername;
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) return found->pw_name;
    return "uid" + std::to_string(::geteuid());
  }

 private:
  const char* const fScheme;
};

}  // namespace

PBrokerShare::PBrokerShare(size_t iSessionsEach) : fConnections(new (std::nothrow) PMqttConnections(iSessionsEach)) {}
PBrokerShare::~PBrokerShare() = default;

int PConnector::check(const PEndpoint& iEndpoint, const Credentials&, PClientError& oError) const {
  if (iEndpoint.network() && (iEndpoint.fPort == 0 || iEndpoint.fHost.empty() || iEndpoint.fHost == "*")) {
    return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument,
                    std::string("a client needs ") + scheme() + ":HOST:PORT with a host and a port of 1 to 65535", iEndpoint.text());
  }
  return 0;
}

const PConnector* connectorFor(const std::string& iScheme) {
  static const PPlainConnector kUnix("unix"), kTcp("tcp");
  static const PTlsConnector kTls;
  static const PMqttConnector kMqtt("mqtt"), kMqtts("mqtts");
  for (const PConnector* connector : std::initializer_list<const PConnector*>{&kUnix, &kTcp, &kTls, &kMqtt, &kMqtts}) {
    if (iScheme == connector->scheme()) return connector;
  }
  return nullptr;
}

int listPresences(const std::string& iBroker, const PClientTls& iTls, const PClientMqtt& iMqtt, int iTimeoutMs,
                  std::vector<PDevicePresence>& oPresences, PClientError& oError) {
  oError = PClientError();
  PEndpoint endpoint;
  std::string why;
  if (PEndpoint::parse(iBroker, endpoint, why) != 0 || (!endpoint.is("mqtt") && !endpoint.is("mqtts"))) {
    return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument, why.empty() ? "not a broker: expected mqtt[s]://BROKER[:PORT]" : why,
                    iBroker);
  }
  const PConnector::Credentials with{iTls, iMqtt, nullptr};
  if (endpoint.is("mqtts") && checkTlsFiles(endpoint, iTls, "broker", oError) != 0) return oError.fCode;
  std::vector<std::pair<std::string, std::string>> found;
  const int result = PMqttChannel::presences(endpoint, iMqtt.fRoot, PMqttConnector::loginOf(endpoint, with), iTimeoutMs, 300, found, why);
  if (result != 0) return PMqttConnector::failure(result, why, endpoint, oError);
  oPresences.clear();
  for (auto& [device, presence] : found) oPresences.push_back(PDevicePresence{device, std::move(presence)});
  return 0;
}
