// The message transport between modules and peers.
#pragma once

#include "zevo/IBase.h"
#include "zevo/PCommsMessage.h"
#include "zevo/PString.h"

class IComms : public IBase {
 public:
  // Stops routing requests for a module ID bound earlier.
  virtual int unbind(const PLiteral& iModuleID) = 0;                      // slot 2
  // Routes requests addressed to iModuleID as events on iTopic.
  virtual int bind(const PLiteral& iModuleID, PString& iTopic) = 0;       // slot 3
  // Sends the reply of the exchange iResponseID; the caller keeps iResponse.
  virtual int send(int iResponseID, PCommsMessage& iResponse) = 0;        // slot 4
};
