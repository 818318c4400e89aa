// Bytes of an open file that a reply carries as they are in the file when
// the reply is written to its peer, without the host reading them into
// memory first (IComms::sendFile).
//
// Ownership: fKeeper keeps fFd open for as long as the span lives (the
// comms component holds the span until its bytes are written or the
// session ends). The keeper's code must stay loaded that long: a host ends
// every session before it unloads plug-ins.
#pragma once

#include <cstdint>
#include <memory>

struct PFileSpan {
  std::shared_ptr<const void> fKeeper;
  int fFd = -1;             // a regular file, open for reading
  long long fOffset = 0;
  uint32_t fLength = 0;     // bytes from fOffset, all of them in the file
};
