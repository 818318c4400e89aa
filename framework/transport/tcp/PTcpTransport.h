// The TCP transport ("tcp:HOST:PORT"): plain bytes over TCP. The system
// tells only the peer's address: its identity is "tcp:ADDRESS", shared by
// every peer behind it. PTlsTransport takes its binding and adds TLS.
#pragma once

#include <sys/socket.h>

#include "PStreamTransport.h"

class PTcpTransport : public PStreamTransport {
 public:
  const char* scheme() const override { return "tcp"; }
  int bind(const PEndpoint& iEndpoint, PFd& oFd, std::string& oWhere, std::string& oFile, std::string& oError) override;
  bool serves(int iFamily) const override;
  std::string whereOf(int iFd) const override;
  void describe(int iFd, PSessionInfo& ioInfo) const override;
  std::unique_ptr<PByteChannel> channel(int iFd, std::string& oError) const override { return plainChannel(iFd, oError); }

 protected:
  // The address as an endpoint of this transport's scheme.
  PEndpoint endpointOf(const sockaddr_storage& iAddress) const;
};
