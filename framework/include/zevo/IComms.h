// The message transport between modules and peers (component
// "com.quorbex.zevo.comms").
//
// A module binds its module ID to its topic once, at start-up; from then on
// every request a peer addresses to that module ID arrives as an
// ICommsEvent on that topic (IEventListener::notify), and the module answers
// each with exactly one send() of the reply.
//
// Threading: every operation is thread-safe. Failures are results, never
// exceptions: ERR_INVALID_ARG, ERR_ALREADY, ERR_COMMS_NO_MODULE,
// ERR_COMMS_NO_EXCHANGE, ERR_NO_MEMORY (zevo/PErrors.h).
#pragma once

#include "zevo/IBase.h"
#include "zevo/PCommsMessage.h"
#include "zevo/PFileSpan.h"
#include "zevo/PString.h"

class IComms : public IBase {
 public:
  // Stops routing requests for a module ID bound earlier: 0, or
  // ERR_COMMS_NO_MODULE when none is bound under it. From any thread, at
  // any time; a request already being delivered is still answered.
  virtual int unbind(const PLiteral& iModuleID) = 0;  // slot 2
  // Routes requests addressed to iModuleID (non-empty, UTF-8 of at most
  // 65535 bytes) as events on iTopic (non-empty): 0; again with the same
  // topic, 0; ERR_ALREADY when the ID is bound to another topic;
  // ERR_INVALID_ARG for an empty or unconvertible ID or topic. Call it once
  // the listener of iTopic has been added: requests may arrive at once, on
  // any worker. The comms component copies both strings.
  virtual int bind(const PLiteral& iModuleID, PString& iTopic) = 0;  // slot 3
  // Sends iResponse as the reply to the request delivered under
  // iResponseID (ICommsEvent::getResponseID). Only inside the notify that
  // delivers that request, on its thread, and once. The reply is the
  // comms component's once send returns: it may take a large payload's
  // buffer instead of copying it (iResponse.fData is then empty), and the
  // caller only destroys iResponse afterwards.
  // 0 when the reply is queued for its peer (a peer that has gone gets
  // nothing, and 0 all the same); ERR_COMMS_NO_EXCHANGE for any other
  // response ID, a second send of one, or a call from another thread or
  // after notify returned. A request whose module sends nothing gets
  // ERR_NO_INSTANCE for it from the host.
  virtual int send(int iResponseID, PCommsMessage& iResponse) = 0;  // slot 4
  // Sends iResponse as send() does, its payload followed by iSpan's bytes
  // of the file: iResponse.fData must end with the tag and count of a bytes
  // element of iSpan.fLength bytes, which the span then fills. The bytes are
  // read as the reply is written to the peer's socket (sendfile), never
  // copied into the host's memory, so a file changed meanwhile shows its
  // newer bytes. A file that ends before the span, or cannot be read by
  // then, leaves the reply unfinishable: the peer's connection is closed.
  // ERR_INVALID_ARG, nothing sent, for an empty span or a session that
  // cannot carry a file's bytes (TLS, a broker, a session that has ended):
  // the caller then sends the bytes in the reply with send(). Otherwise as
  // send().
  virtual int sendFile(int iResponseID, PCommsMessage& iResponse, const PFileSpan& iSpan) = 0;  // slot 5
};
