// What a session layer lets a host add for one module, whatever transport a
// peer comes by: a watcher sees every request to the module and every reply,
// may answer a request itself instead of the module, and names the requests
// that release what a session still holds when it ends. The file-access
// module's watchers (host/PTransferOwnership.h, host/PAuditLog.h) keep each
// transfer to the session that opened it and write the audit lines.
//
// A module may have several watchers, asked in the order they were added:
// adjust() all of them, then answer() until one answers; replied() all of them, whoever answered; at
// a session's end each one's ended(), its releases delivered (and shown to
// every watcher's replied()) before the next watcher's ended() is called.
//
// Threading: called on the workers that serve the sessions, several at once;
// a watcher guards its own state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zevo/PCommsMessage.h"
#include "zevo/core/PSessionInfo.h"

// A request delivered for a session that has ended, and what it does, for the log.
struct PRelease {
  PCommsMessage fRequest;
  std::string fWhat;  // "closed transfer [1234]"
};

class PSessionWatcher {
 public:
  virtual ~PSessionWatcher() = default;
  // Before anything else sees a session's request: may change it (a handle
  // the session does not hold becomes 0, which no module knows), so that the
  // module answers as it answers anyone. Not called for releases.
  virtual void adjust(const PSessionInfo& /*iSession*/, PCommsMessage& /*ioRequest*/) {}
  // Before the request reaches the module: true when oAnswer is the reply,
  // and the module is not asked.
  virtual bool answer(const PSessionInfo& iSession, const PCommsMessage& iRequest, PCommsMessage& oAnswer) = 0;
  // The module (or answer()) replied iReply to iRequest of iSession.
  // iFileBytes: the bytes of a file that end the reply's payload
  // (IComms::sendFile), which iReply.fData leaves out: it ends with the tag
  // and count of their bytes element. 0 for any other reply.
  virtual void replied(const PSessionInfo& iSession, const PCommsMessage& iRequest, const PCommsMessage& iReply,
                       size_t iFileBytes) = 0;
  // iSession has ended: requests to deliver to the module for it, in order;
  // their replies reach replied() and nobody else.
  virtual std::vector<PRelease> ended(const PSessionInfo& iSession) = 0;
  // Whether the reply to a request with action iAction may be large (a
  // listing): such a request is delivered only once the session's earlier
  // replies are sent and the comms' memory budget has room.
  virtual bool largeReply(uint32_t /*iAction*/) { return false; }
};
