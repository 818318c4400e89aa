// How peers reach the session layer: a transport moves bytes (or messages)
// between peers and their sessions (zevo/core/PSession.h) and reports
// "frame bytes arrived" and "peer gone"; nothing else. Each transport is
// registered with the comms component under its scheme (PComms::addTransport),
// and PComms::listen("SCHEME:...") asks the one registered under SCHEME for a
// listener: the core never names a scheme. A new transport is a folder under
// framework/transport/ and one registration line in the host.
//
// What the comms component offers a transport is in PComms.h ("For
// transports"): the reactor's workers, the handshake budget, the role gate,
// throttled log lines; a session admits itself (limits per identity and per
// transport, the reserves) as it is made.
#pragma once

#include <memory>
#include <string>

#include "zevo/PExport.h"
#include "zevo/PFd.h"
#include "zevo/protocol/PEndpoint.h"

class PComms;

// One place peers arrive at: a listening socket, or a connection to a broker.
// Threading: start, stop and the destructor on the host's thread.
class PTransportListener {
 public:
  virtual ~PTransportListener() = default;  // stops; closes what it opened (a socket file it made is removed)
  // Peers are taken from now on (the host has given up its privileges). 0 or a code.
  virtual int start() = 0;
  // No new peer is taken; sessions already begun stay (PComms::closeAll ends them).
  virtual void stop() = 0;
  // Where it listens, as text PEndpoint parses ("unix:/run/zevo/zevohost.sock",
  // "tls:0.0.0.0:7443" with the port the system picked).
  virtual const std::string& where() const = 0;
};

// A transport, registered under its scheme. Threading: called on the host's
// thread while it starts.
class ZEVO_EXPORT PTransport {
 public:
  virtual ~PTransport() = default;
  virtual const char* scheme() const = 0;  // "unix": endpoints "unix:..." are its own
  // Whether its peers are of this machine only, as the kernel proves them:
  // they may take the sessions PCommsSettings::fLocalReserve keeps.
  virtual bool local() const { return false; }
  // A listener at iEndpoint (whose scheme is this one's), not yet taking
  // peers: 0 with oListener, or a code with oError in words.
  virtual int listen(PComms& iComms, const PEndpoint& iEndpoint, std::unique_ptr<PTransportListener>& oListener,
                     std::string& oError) = 0;
  // Serves a socket that already listens (one a service manager passed).
  // The transport owns iFd from the call on. ERR_INVALID_ARG with oError when
  // it is not a socket this transport serves (the default: none).
  virtual int adopt(PComms& iComms, PFd iFd, std::unique_ptr<PTransportListener>& oListener, std::string& oError);
};

// What the session layer asks of one peer's connection, from other threads.
class PTransportLink {
 public:
  // From the comms' sweep and limits, on any thread, under the comms lock:
  // serve the session soon (it expired, yielded, or memory it waits for is
  // free); iHard: end the connection now (the first call did not help, or a
  // handshake is dropped).
  virtual void interrupt(bool iHard) = 0;
  // At shut-down, once the workers have stopped (PComms::closeAll): write
  // what can be written at once, end the session and the connection.
  virtual void shutdownNow() = 0;
  // Whether the connection writes a file's bytes to its peer itself
  // (PSession::outputFile): a plain socket can, TLS and a broker cannot.
  // Fixed for the connection's life; read on its worker.
  virtual bool carriesFiles() const { return false; }

 protected:
  ~PTransportLink() = default;
};
