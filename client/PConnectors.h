// How the client reaches a host, by the endpoint's scheme: a connector opens
// the connection within the connect time-out and hands over the byte channel
// the frames go through (PByteChannel.h). The frame pump (PFramePump.h)
// picks one from the table in PConnectors.cpp, as the host picks a transport
// by scheme. A new way to reach a host is a connector and one line there.
// Internal to libzevoclient.
#pragma once

#include <memory>
#include <string>

#include "PByteChannel.h"
#include "zevo/PFd.h"
#include "zevo/client/PClient.h"
#include "zevo/protocol/PEndpoint.h"

// What a connector hands over: the socket the pump waits on, and the
// channel that speaks through it (gone before the socket).
struct PConnection {
  PFd fFd;
  std::unique_ptr<PByteChannel> fChannel;
};

class PConnector {
 public:
  // What the client proves and checks: TLS files, and who asks through a
  // broker; the broker connections its sessions share (null: none).
  struct Credentials {
    const PClientTls& fTls;
    const PClientMqtt& fMqtt;
    PMqttConnections* fShared;
  };
  virtual ~PConnector() = default;
  virtual const char* scheme() const = 0;
  // Checks what the endpoint and the options must hold before anything is
  // dialled: 0, or ERR_INVALID_ARG with oError (origin kArgument).
  virtual int check(const PEndpoint& iEndpoint, const Credentials& iWith, PClientError& oError) const;
  // Connects within iTimeoutMs: 0 with oConnection, or a code with oError.
  virtual int connect(const PEndpoint& iEndpoint, const Credentials& iWith, int iTimeoutMs, PConnection& oConnection,
                      PClientError& oError) const = 0;
};

// The connector of iScheme, or null when the client has none.
const PConnector* connectorFor(const std::string& iScheme);
