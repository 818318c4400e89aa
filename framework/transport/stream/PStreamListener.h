// A listening stream socket of a stream transport: accepts peers and makes a
// connection for each, and refuses one even when the process has no
// descriptor left. Internal to the stream transports.
//
// Threading: onReady runs on the first worker; start, stop and the
// destructor on the host's thread (the destructor once the workers have stopped).
#pragma once

#include <atomic>
#include <string>

#include "PStreamTransport.h"
#include "zevo/core/PReactor.h"

class PStreamListener final : public PTransportListener, public PReactorHandler {
 public:
  // iFd listens already; iFile: a socket file to remove when the listener goes.
  PStreamListener(PComms& iComms, const PStreamTransport& iTransport, PFd iFd, std::string iWhere, std::string iFile);
  ~PStreamListener() override;
  int start() override;
  void stop() override { fStopped.store(true, std::memory_order_release); }
  const std::string& where() const override { return fWhere; }
  void onReady(uint32_t iEvents) override;

 private:
  PComms& fComms;
  const PStreamTransport& fTransport;
  PFd fFd;
  const std::string fWhere;
  const std::string fFile;
  PFd fReserve;  // a spare descriptor, given up to refuse a peer when none are left
  bool fStarted = false;
  std::atomic<bool> fStopped{false};
};
