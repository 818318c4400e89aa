// A request being delivered, and the event that carries it to its module.
// Internal to the core (PComms, PSession).
#pragma once

#include <cstdint>

#include "zevo/ICommsEvent.h"
#include "zevo/PRefCounted.h"
#include "zevo/core/PComms.h"

class PSession;

// Where a request's reply goes. Lives on the stack of the delivering worker;
// PComms::send finds it there.
struct PExchange {
  PComms* fComms = nullptr;
  PSession* fSession = nullptr;  // null: a release for a session that has ended
  const PComms::Binding* fBinding = nullptr;
  const PCommsMessage* fRequest = nullptr;
  const PSessionInfo* fInfo = nullptr;
  int fResponseID = 0;
  uint32_t fExchange = 0;  // the frame's, echoed in the reply
  bool fReplied = false;
  int fStatus = 0;

  static PExchange* current();                // the exchange delivered on this thread, or null
  static PExchange* enter(PExchange* iNext);  // makes iNext current; answers the one before
};

// A request as an event; a session reuses its event while no listener keeps it.
class PCommsEvent final : public PRefCounted<ICommsEvent> {
 public:
  const PCommsTarget* getTargetID() override { return &fTarget; }
  const PCommsMessage* getMessage() override { return &fMessage; }
  int getResponseID() override { return fResponseID; }

  PCommsTarget fTarget;
  PCommsMessage fMessage;
  int fResponseID = 0;
};
