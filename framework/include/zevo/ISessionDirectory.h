// Who sent the request a module is serving, and the host's frame limit: a
// component a host registers under ZEVO_ID_SESSIONS, for modules that tell
// a peer about its own session or size their replies to the frame limit.
//
// Threading: describe is valid only inside IEventListener::notify, on the
// thread that runs it, for the response ID of the event being served
// (ICommsEvent::getResponseID); the session it describes is then alive and
// its answer fixed. frameMax may be called from any thread at any time.
// The component lives as long as it is registered.
#pragma once

#include "zevo/IBase.h"
#include "zevo/PString.h"

#define ZEVO_ID_SESSIONS L"com.quorbex.zevo.sessions"

// The roles describe reports (the host's gate decided them when the session
// began); a module that cannot learn the role has SESSIONS_ROLE_UNKNOWN.
enum PSessionsRole : int { SESSIONS_ROLE_UNKNOWN = 0, SESSIONS_ROLE_READ = 1, SESSIONS_ROLE_WRITE = 2 };

class ISessionDirectory : public IBase {
 public:
  // The identity the transport proved ("uid:N", "tcp:ADDRESS", "cert:NAME";
  // empty when it cannot tell) and the role of the session that sent the
  // request answered by iResponseID: 0, or ERR_COMMS_NO_EXCHANGE (no request
  // of that response ID is being served on this thread), outputs unchanged.
  virtual int describe(int iResponseID, PString& oIdentity, int& oRole) = 0;  // slot 2
  // The largest frame length the host accepts (bytes after the length
  // field): no request or reply may be longer.
  virtual unsigned int frameMax() = 0;  // slot 3
  // The largest frame length the session that sent the request answered by
  // iResponseID carries either way: frameMax(), or less where its transport
  // carries less (a broker's packets). frameMax() when no request of that
  // response ID is being served on this thread.
  virtual unsigned int frameMaxOf(int iResponseID) = 0;  // slot 4
};
