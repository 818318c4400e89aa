// A transport over stream sockets (Unix-domain, TCP, TCP carrying TLS): a
// listener that accepts (PStreamListener.h) and one connection per peer that
// moves its bytes through a byte channel (PStreamConnection.h). What differs
// by scheme is what a transport says here: how it binds, which adopted
// sockets are its own, what the system tells of a peer, and which channel
// carries the bytes (the byte-channel factory).
//
// Threading: the binding and adopting calls on the host's thread; describe
// and channel on the first worker, which accepts.
#pragma once

#include <memory>
#include <string>

#include "PByteChannel.h"
#include "zevo/core/PComms.h"
#include "zevo/core/PTransport.h"

class PStreamTransport : public PTransport {
 public:
  int listen(PComms& iComms, const PEndpoint& iEndpoint, std::unique_ptr<PTransportListener>& oListener,
             std::string& oError) override;
  int adopt(PComms& iComms, PFd iFd, std::unique_ptr<PTransportListener>& oListener, std::string& oError) override;

  // Binds and listens at iEndpoint: oFd, oWhere (the endpoint as bound),
  // oFile (a socket file the listener removes when it goes; may stay empty).
  virtual int bind(const PEndpoint& iEndpoint, PFd& oFd, std::string& oWhere, std::string& oFile, std::string& oError) = 0;
  // Whether an adopted listening socket of the address family iFamily is
  // this transport's, and where it listens.
  virtual bool serves(int iFamily) const = 0;
  virtual std::string whereOf(int iFd) const = 0;
  // What the system tells of the peer on iFd: fPeer, fAddress, fIdentity, fGroups.
  virtual void describe(int iFd, PSessionInfo& ioInfo) const = 0;
  // The channel that carries an accepted peer's bytes; null with oError.
  virtual std::unique_ptr<PByteChannel> channel(int iFd, std::string& oError) const = 0;
  // Whether the channel shakes hands before any byte flows: its peers count
  // against the handshake budget until then, and are admitted (given their
  // role) only once it has ended; a refusal then goes through the channel.
  virtual bool handshakes() const { return false; }
};

// Plain bytes on the socket (Unix, TCP).
std::unique_ptr<PByteChannel> plainChannel(int iFd, std::string& oError);
