// The transport of one peer on a stream socket (Unix-domain, TCP, or TCP
// carrying TLS): moves bytes between the socket's byte channel
// (PByteChannel.h: plain, or TLS) and the peer's session on the worker that
// holds the socket, writes replies as the socket takes them, reads nothing
// more while the session says so, and ends the session when the peer is
// gone or the session is finished. The session begins once the channel's
// handshake has ended (at once for a plain socket), with the identity the
// handshake proved. Nothing here waits: a handshake, a read or a write that
// cannot go on waits for the socket's readiness, whichever direction TLS
// needs. Internal to the core.
//
// Threading: onReady runs on the socket's worker; shutdownNow only once the
// workers have stopped; expireHandshake from any thread, under the comms
// lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "PByteChannel.h"
#include "PReactor.h"
#include "PSession.h"
#include "zevo/PFd.h"

class PStreamConnection final : public PReactorHandler, public PSessionTransport {
 public:
  // iChannel speaks on iFd. iHandshakeDeadline (steady clock, ms; 0: none):
  // when the handshake must have ended.
  PStreamConnection(PComms& iComms, PFd iFd, PSessionInfo iInfo, std::unique_ptr<PByteChannel> iChannel,
                    int64_t iHandshakeDeadline);
  int fd() const { return fFd.get(); }
  void onReady(uint32_t iEvents) override;
  void shutdownNow();  // writes what it can, then ends
  // Past the deadline (iNow, steady clock ms) of a handshake that has not
  // ended: shuts the socket down, so that its worker ends the connection.
  void expireHandshake(int64_t iNow);
  // From the comms' sweep, under the comms lock: wakes the worker (iHard: shuts
  // the socket down, so that the worker ends the connection).
  void interrupt(bool iHard) override;

  static int64_t nowMs();  // the steady clock, ms

 private:
  bool handshake();  // false when it failed; starts the session once it ends
  bool pump();       // serves and writes until the session needs the peer; false when the peer is gone
  bool flush();      // false on a write error
  void finish();     // ends the session and the connection, and deletes it

  PComms& fComms;
  PFd fFd;
  PSessionInfo fInfo;
  std::unique_ptr<PByteChannel> fChannel;  // says its goodbye before the socket closes
  std::optional<PSession> fSession;        // from the end of the handshake; released first
  std::atomic<int64_t> fHandshakeDeadline;
};
