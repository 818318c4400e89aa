// Receives the events published on a topic it listens to.
#pragma once

#include "zevo/IBase.h"
#include "zevo/PString.h"

class IEventListener : public virtual IBase {
 public:
  // Called once for every event on a topic the listener was added for, on a
  // thread of the dispatcher's choosing; may run on several threads at once.
  virtual void notify(const PLiteral& iTopic, IBase* iEvent, int iFlags) = 0;  // slot 2
};
