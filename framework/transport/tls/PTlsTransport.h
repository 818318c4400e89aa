// The TLS transport ("tls:HOST:PORT"): TCP carrying TLS 1.3 with client
// certificates. A peer's identity is "cert:NAME", the common name of the
// certificate it proved it holds; until its handshake has ended it counts
// against the handshake budget (PCommsSettings). The TLS material
// (PTlsServer) is replaced whole by reload(); each connection keeps the
// material its handshake began with.
#pragma once

#include <memory>

#include "PTcpTransport.h"
#include "PTlsServer.h"
#include "zevo/PStdMutex.h"

class PTlsTransport final : public PTcpTransport {
 public:
  // 0 with oTransport serving iSettings' material, or ERR_INVALID_ARG with
  // oError (PTlsServer::create).
  static int create(const PTlsSettings& iSettings, std::shared_ptr<PTlsTransport>& oTransport, std::string& oError);
  // New material for the handshakes to come; a failure changes nothing.
  int reload(const PTlsSettings& iSettings, std::string& oError) ZEVO_EXCLUDES(fLock);

  const char* scheme() const override { return "tls"; }
  std::unique_ptr<PByteChannel> channel(int iFd, std::string& oError) const override ZEVO_EXCLUDES(fLock);
  bool handshakes() const override { return true; }

 private:
  PTlsTransport() = default;
  mutable PStdMutex fLock;
  std::shared_ptr<const PTlsServer> fServer ZEVO_GUARDED_BY(fLock);
};
