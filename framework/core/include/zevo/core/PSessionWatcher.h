// What a session layer lets a host add for one module, whatever transport a
// peer comes by: a watcher sees every request to the module and every reply,
// may answer a request itself instead of the module, and names the requests
// that release what a session still holds when it ends. The file-access
// module's watcher (host/PTransferOwnership.h) keeps each transfer to the
// session that opened it.
//
// Threading: called on the workers that serve the sessions, several at once;
// a watcher guards its own state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zevo/PCommsMessage.h"

// Who is at the other end of a session.
struct PSessionInfo {
  uint64_t fNumber = 0;  // unique for the host's life
  std::string fPeer;     // "unix:PID:UID", "tcp:ADDRESS:PORT"
};

// A request delivered for a session that has ended, and what it does, for the log.
struct PRelease {
  PCommsMessage fRequest;
  std::string fWhat;  // "closed transfer [1234]"
};

class PSessionWatcher {
 public:
  virtual ~PSessionWatcher() = default;
  // Before the request reaches the module: true when oAnswer is the reply,
  // and the module is not asked.
  virtual bool answer(const PSessionInfo& iSession, const PCommsMessage& iRequest, PCommsMessage& oAnswer) = 0;
  // The module (or answer()) replied iReply to iRequest of iSession.
  virtual void replied(const PSessionInfo& iSession, const PCommsMessage& iRequest, const PCommsMessage& iReply) = 0;
  // iSession has ended: requests to deliver to the module for it, in order;
  // their replies reach replied() and nobody else.
  virtual std::vector<PRelease> ended(const PSessionInfo& iSession) = 0;
};
