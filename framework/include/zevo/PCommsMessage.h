// The request and response record exchanged with the comms interface: a
// plain value, copied where it is kept (IComms::send copies a reply).
#pragma once

#include <cstdint>
#include <vector>

#include "zevo/PString.h"

struct PCommsMessage {
  PString fModuleID;                // module that sends the message
  uint32_t fUint32 = 0;             // request: action code; response: status
  std::vector<unsigned char> fData; // tagged payload elements
};

// Who sent a request: the peer's address and the number of its connection.
struct PCommsTarget {
  PString fAddress;
  int fConnection = 0;
};
