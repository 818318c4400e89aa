// What a host lets the session layer ask once per new session, whatever its
// transport, before the session serves any request: which role the peer's
// identity has (zevo/core/PSessionWatcher.h). A session whose role is none
// gets the transport error ERR_COMMS_REFUSED and is closed; the others keep
// their role in PSessionInfo::fRole, where the module's watchers read it.
// Without a gate every session has the write role.
//
// Threading: called on the workers (a plain peer's as it is accepted, a TLS
// peer's once its handshake has ended), several at once.
#pragma once

#include <string>

#include "zevo/core/PSessionWatcher.h"

class PSessionGate {
 public:
  virtual ~PSessionGate() = default;
  // 0 with oRole (a PSessionRole) for the session of iSession (its peer,
  // identity, fingerprint and groups); any other result refuses it as
  // SESSION_ROLE_NONE does.
  virtual int admit(const PSessionInfo& iSession, int& oRole) = 0;
};
