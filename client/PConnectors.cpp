#include "PConnectors.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <new>

#include "PClientInternal.h"
#include "PTls.h"
#include "zevo/PErrors.h"

namespace {

using Clock = std::chrono::steady_clock;

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

// Plain bytes on a Unix or TCP socket.
class PPlainConnector final : public PConnector {
 public:
  explicit PPlainConnector(const char* iScheme) : fScheme(iScheme) {}
  const char* scheme() const override { return fScheme; }
  int connect(const PEndpoint& iEndpoint, const PClientTls&, int iTimeoutMs, PConnection& oConnection,
              PClientError& oError) const override {
    const int result = dial(iEndpoint, iTimeoutMs, oConnection, oError);
    if (result != 0) return result;
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
  int check(const PEndpoint& iEndpoint, const PClientTls& iTls, PClientError& oError) const override {
    const int result = PConnector::check(iEndpoint, iTls, oError);
    if (result != 0) return result;
    if (iTls.fCaFile.empty()) {
      return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument,
                      "a tls: endpoint needs the CA certificate that signed the host's (zevofa --ca)", iEndpoint.text());
    }
    if (iTls.fCertFile.empty() != iTls.fKeyFile.empty()) {
      return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument, "a client certificate needs its key, and a key its certificate",
                      iEndpoint.text());
    }
    return 0;
  }
  int connect(const PEndpoint& iEndpoint, const PClientTls& iTls, int iTimeoutMs, PConnection& oConnection,
              PClientError& oError) const override {
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

}  // namespace

int PConnector::check(const PEndpoint& iEndpoint, const PClientTls&, PClientError& oError) const {
  if (iEndpoint.network() && (iEndpoint.fPort == 0 || iEndpoint.fHost.empty() || iEndpoint.fHost == "*")) {
    return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument,
                    std::string("a client needs ") + scheme() + ":HOST:PORT with a host and a port of 1 to 65535", iEndpoint.text());
  }
  return 0;
}

const PConnector* connectorFor(const std::string& iScheme) {
  static const PPlainConnector kUnix("unix"), kTcp("tcp");
  static const PTlsConnector kTls;
  for (const PConnector* connector : std::initializer_list<const PConnector*>{&kUnix, &kTcp, &kTls}) {
    if (iScheme == connector->scheme()) return connector;
  }
  return nullptr;
}
