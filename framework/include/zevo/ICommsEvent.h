// A request received by the comms interface, delivered as an event to the
// listener of its module's topic (IEventListener::notify's iEvent).
//
// Ownership: the event is the framework's; notify's iEvent carries no
// reference for the listener. Take one (PBaseptr<ICommsEvent>) to hold it
// beyond notify; the records it hands out stay valid, unchanged, while a
// reference is held, and never longer.
//
// Threading: the getters may be called from any thread while a reference
// is held; they never fail.
#pragma once

#include "zevo/IBase.h"
#include "zevo/PCommsMessage.h"

class ICommsEvent : public IBase {
 public:
  // Who sent the request: the peer's address and its connection's number.
  virtual const PCommsTarget* getTargetID() = 0;  // slot 2
  // The request: the module ID addressed, the action code (fUint32) and the payload.
  virtual const PCommsMessage* getMessage() = 0;  // slot 3
  // Identifies the exchange; handed back to IComms::send with the reply,
  // within the same notify.
  virtual int getResponseID() = 0;  // slot 4
};
