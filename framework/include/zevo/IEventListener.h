// Receives the events published on a topic it listens to
// (IEventDispatcher::addListener).
#pragma once

#include "zevo/IBase.h"
#include "zevo/PString.h"

class IEventListener : public virtual IBase {
 public:
  // Called once for every event on a topic the listener was added for, on a
  // worker of the dispatcher: several at once for different sessions, one
  // at a time and in order for one session. iEvent is the dispatcher's (no
  // reference for the listener; for a comms request, an ICommsEvent whose
  // reply goes through IComms::send before notify returns). iFlags is
  // reserved (0). Nothing is returned and nothing may be thrown: a failure
  // is the listener's to answer in its reply. A notify that blocks holds
  // its worker and the other sessions it serves.
  virtual void notify(const PLiteral& iTopic, IBase* iEvent, int iFlags) = 0;  // slot 2
};
