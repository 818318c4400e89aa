// A request received by the comms interface, delivered as an event.
#pragma once

#include "zevo/IBase.h"
#include "zevo/PCommsMessage.h"

class ICommsEvent : public IBase {
 public:
  // The records stay valid while a reference to the event is held.
  virtual const PCommsTarget* getTargetID() = 0;  // slot 2
  virtual const PCommsMessage* getMessage() = 0;  // slot 3
  // Identifies the exchange; handed back to IComms::send with the reply.
  virtual int getResponseID() = 0;                 // slot 4
};
