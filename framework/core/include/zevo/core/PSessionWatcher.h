// What a session layer lets a host add for one module, whatever transport a
// peer comes by: a watcher sees every request to the module and every reply,
// may answer a request itself instead of the module, and names the requests
// that release what a session still holds when it ends. The file-access
// module's watchers (host/PTransferOwnership.h, host/PAuditLog.h) keep each
// transfer to the session that opened it and write the audit lines.
//
// A module may have several watchers, asked in the order they were added:
// answer() until one answers; replied() all of them, whoever answered; at
// a session's end each one's ended(), its releases delivered (and shown to
// every watcher's replied()) before the next watcher's ended() is called.
//
// Threading: called on the workers that serve the sessions, several at once;
// a watcher guards its own state.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zevo/PCommsMessage.h"

// What a session may do, as the host's gate (zevo/core/PSessionGate.h)
// decided when it began: none (refused), read (queries and downloads),
// write (everything its module allows).
enum PSessionRole : int { SESSION_ROLE_NONE = 0, SESSION_ROLE_READ = 1, SESSION_ROLE_WRITE = 2 };

inline const char* sessionRoleName(int iRole) {
  return iRole == SESSION_ROLE_WRITE ? "write" : iRole == SESSION_ROLE_READ ? "read" : "none";
}

// Who is at the other end of a session.
struct PSessionInfo {
  uint64_t fNumber = 0;  // unique for the host's life
  std::string fPeer;     // "unix:PID:UID", "tcp:ADDRESS:PORT", "tls:ADDRESS:PORT"
  // Who the transport says the peer is: "uid:N" (a Unix peer's user, as the
  // system tells), "tcp:ADDRESS" (plain TCP: only its address), "cert:NAME"
  // (TLS: the common name of the subject of the certificate the peer proved
  // it holds, signed by the host's CA); empty when the transport cannot tell.
  std::string fIdentity;
  std::string fFingerprint;  // TLS: "sha256:HEX" of the peer's certificate; else empty
  // A Unix peer's groups, as the system tells: its primary group
  // (SO_PEERCRED), then its supplementary groups (SO_PEERGROUPS); else empty.
  std::vector<gid_t> fGroups;
  int fRole = SESSION_ROLE_NONE;  // PSessionRole, set before the session serves its first request
  bool fEnded = false;       // the session has ended: the request is a release
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
  // Whether iSession holds something of the module (an open transfer): a
  // session that does is never dropped as idle. Called by the comms' sweep.
  virtual bool holds(const PSessionInfo& /*iSession*/) { return false; }
  // Whether the reply to a request with action iAction may be large (a
  // listing): such a request is delivered only once the session's earlier
  // replies are sent and the comms' memory budget has room.
  virtual bool largeReply(uint32_t /*iAction*/) { return false; }
};
