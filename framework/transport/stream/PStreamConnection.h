// The connection of one peer of a stream transport: moves bytes between the
// socket's byte channel (PByteChannel.h: plain, or TLS) and the peer's
// session on the worker that holds the socket, writes replies as the socket
// takes them, reads nothing more while the session says so, and ends the
// session when the peer is gone or the session is finished. The session
// begins once the channel's handshake has ended (at once for a plain
// socket), with the identity the handshake proved; until then the
// connection counts against the handshake budget. Nothing here waits: a
// handshake, a read or a write that cannot go on waits for the socket's
// readiness, whichever direction TLS needs. Internal to the stream transports.
//
// Threading: onReady runs on the socket's worker; shutdownNow only once the
// workers have stopped; interrupt from any thread, under the comms lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "PByteChannel.h"
#include "PStreamTransport.h"
#include "zevo/PFd.h"
#include "zevo/core/PReactor.h"
#include "zevo/core/PSession.h"

class PStreamConnection final : public PReactorHandler, public PTransportLink {
 public:
  // A peer iTransport's listener accepted on iFd, as the system describes it:
  // served, or refused (no role, no room for its handshake, out of memory).
  static void begin(PComms& iComms, const PStreamTransport& iTransport, PFd iFd, PSessionInfo iInfo);
  // Tells a peer that will not be served why (iCode: ERR_COMMS_BUSY,
  // ERR_COMMS_REFUSED) when iSpeaksFrames (its channel is the bare socket),
  // closes it, and logs it (throttled).
  static void refuse(PComms& iComms, PFd& ioFd, int iCode, const std::string& iWhy, const std::string& iWho,
                     bool iSpeaksFrames);

  void onReady(uint32_t iEvents) override;
  void interrupt(bool iHard) override;
  void shutdownNow() override;  // writes what it can, then ends
  bool carriesFiles() const override { return fChannel->carriesFiles(); }

 private:
  PStreamConnection(PComms& iComms, PFd iFd, PSessionInfo iInfo, std::unique_ptr<PByteChannel> iChannel);
  bool handshake();  // false when it failed; starts the session once it ends
  bool pump();       // serves and writes until the session needs the peer; false when the peer is gone
  bool flush();      // false on a write error
  void finish();     // ends the session and the connection, and deletes it

  PComms& fComms;
  PFd fFd;
  PSessionInfo fInfo;
  std::unique_ptr<PByteChannel> fChannel;  // says its goodbye before the socket closes
  std::optional<PSession> fSession;        // from the end of the handshake; released first
};
