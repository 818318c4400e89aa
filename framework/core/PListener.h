// A listening stream socket (Unix-domain, TCP, or TCP carrying TLS): accepts
// peers and hands each to the comms component with what the system tells of
// it, and refuses one even when the process has no descriptor left. Internal
// to the core.
//
// Threading: onReady runs on the first worker; stop from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "PReactor.h"
#include "zevo/PFd.h"
#include "zevo/protocol/PEndpoint.h"

class PComms;

class PListener final : public PReactorHandler {
 public:
  // Binds and listens at iEndpoint: 0 with oListener, or a code with oError.
  // A Unix socket file left by a host that is gone is replaced; one that
  // answers belongs to a running host.
  // A Unix socket file gets the comms settings' mode and group before any
  // peer can reach it.
  static int open(PComms& iComms, const PEndpoint& iEndpoint, std::unique_ptr<PListener>& oListener, std::string& oError);
  // Takes a socket that already listens (PComms::adopt; iTls: a TCP one
  // speaks TLS); its file, if any, is left in place.
  static int adopt(PComms& iComms, PFd iFd, bool iTls, std::unique_ptr<PListener>& oListener, std::string& oError);
  ~PListener();  // closes the socket and removes the file of a socket it bound
  void onReady(uint32_t iEvents) override;
  void stop() { fStopped.store(true, std::memory_order_release); }
  int fd() const { return fFd.get(); }
  const std::string& where() const { return fWhere; }  // "unix:/run/x.sock", "tcp:127.0.0.1:40123", "tls:..."
  bool tls() const { return fTls; }

 private:
  PListener(PComms& iComms, PFd iFd, std::string iWhere, std::string iUnixPath, bool iTls);

  PComms& fComms;
  PFd fFd;
  const std::string fWhere;
  const bool fTls;
  const std::string fUnixPath;  // removed when the listener goes
  PFd fReserve;                 // a spare descriptor, given up to refuse a peer when none are left
  std::atomic<bool> fStopped{false};
};
