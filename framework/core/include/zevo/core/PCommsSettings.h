// The limits of the session layer (PComms): what one peer, one identity, one
// transport and everybody together may hold. docs/host.md gives each its
// default and the attack it stops.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zevo/protocol/PFrame.h"

struct PCommsSettings {
  uint32_t fFrameMax = kDefaultFrameMax;  // largest frame length accepted
  int fConnectionMax = 64;                // sessions served at once, every transport together
  size_t fReadAhead = 256 * 1024;         // unsent reply bytes before a session's reading pauses
  // Sessions of one identity (PSessionInfo::fIdentity) served at once; more
  // are refused with ERR_COMMS_BUSY (above fConnectionMax: no more than it).
  int fPerIdentityMax = 16;
  // Of fConnectionMax, the sessions only the write role may take, and those
  // only local transports (PTransport::local: the Unix socket) may take.
  int fWriteReserve = 4;
  int fLocalReserve = 8;
  // Connections still in their handshake (TLS), counted apart from the
  // sessions: at most fHandshakeMax together and fHandshakePerAddress from
  // one source address (past either, a newcomer replaces the one waiting
  // longest), each for at most fHandshakeTimeoutMs.
  int fHandshakeMax = 16;
  int fHandshakePerAddress = 4;
  int fHandshakeTimeoutMs = 10000;
  // A frame begun and not complete after fFrameTimeoutMs, and a session that
  // has neither sent a request nor taken a reply for fIdleTimeoutMs (what it
  // holds of a module is then released: an open transfer is cut), end with
  // ERR_COMMS_TIMEOUT. 0: no limit.
  int fFrameTimeoutMs = 30000;
  int fIdleTimeoutMs = 300000;
  // Reply and receive buffers of all sessions together. Past it a session
  // holding more than its share (fMemoryMax / fConnectionMax) is not read
  // until its replies drain, and a frame larger than the receive buffer
  // waits for room. A large reply (PSessionWatcher::largeReply) waits unless
  // the total is under fMemoryMax or its identity holds less than its share
  // (fMemoryMax / the identities with sessions), so that one identity's
  // unread replies never keep another's from being answered.
  size_t fMemoryMax = 64u << 20;
};
