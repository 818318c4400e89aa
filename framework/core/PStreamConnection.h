// The transport of one peer on a stream socket (Unix-domain or TCP): moves
// bytes between the socket and the peer's session on the worker that holds
// the socket, writes replies as the socket takes them, reads nothing more
// while the session says so, and ends the session when the peer is gone or
// the session is finished. Internal to the core.
//
// Threading: onReady runs on the socket's worker; shutdownNow only once the
// workers have stopped.
#pragma once

#include "PReactor.h"
#include "PSession.h"
#include "zevo/PFd.h"

class PStreamConnection final : public PReactorHandler {
 public:
  PStreamConnection(PComms& iComms, PFd iFd, PSessionInfo iInfo);
  int fd() const { return fFd.get(); }
  void onReady(uint32_t iEvents) override;
  void shutdownNow();  // writes what it can, then ends

 private:
  bool pump();   // serves and writes until the session needs the peer; false when the peer is gone
  bool flush();  // false on a write error
  void finish();  // ends the session and the connection, and deletes it

  PComms& fComms;
  PFd fFd;
  PSession fSession;
};
