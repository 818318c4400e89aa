// The session layer in this process: a dispatcher, a comms component with
// the host's transports (unix, tcp, tls) listening on loopback, with a
// broker the mqtt transport too, and a test module behind them that echoes.
// Real sockets, real workers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "PBroker.h"
#include "PFakes.h"
#include "PProcess.h"
#include "PTlsSettings.h"
#include "zevo/IEventListener.h"
#include "zevo/core/PComms.h"
#include "zevo/core/PEventDispatcher.h"

// Answers every request with its action as the status and its payload; a
// StartFileTransfer opens transfer 100, 101...; a ListDir answers kListing
// bytes (a large reply: it waits for the memory budget); a close answers 0
// and is recorded. A kFileReply (int64 offset, int32 length, bool shrink)
// answers a bytes element of fFile's bytes, from the file where the session
// carries it (then, with shrink, the file is emptied before they are sent).
class PEchoModule : public PCounted<IEventListener> {
 public:
  void notify(const PLiteral& iTopic, IBase* iEvent, int iFlags) override;
  std::set<int> closed();

  static constexpr size_t kListing = 256 * 1024;
  static constexpr uint32_t kFileReply = 7001;
  IComms* fComms = nullptr;
  std::atomic<int> fNextID{100};
  std::string fFile;

 private:
  std::mutex fLock;
  std::set<int> fClosed;
};

// A frame of iKind, as a peer or the host writes it.
Bytes frameOf(uint8_t iKind, uint32_t iExchange, uint32_t iWord, const std::string& iModule, const Bytes& iPayload = {});

// The TLS material of the tests' certificates, allowing iAllow (empty: every
// certificate of the test CA).
PTlsSettings testTls(std::vector<std::string> iAllow = {});

class PCommsTest : public ::testing::Test {
 protected:
  // Starts with iSettings; iSetUp (may be empty) adds watchers and the gate
  // before listening. Listens on unix, tcp (loopback) and tls (loopback,
  // iTls material); with fBroker, there as the device "dev" too (at("mqtt")
  // is then the device's endpoint).
  void start(const PCommsSettings& iSettings = {}, const std::function<void(PComms&)>& iSetUp = {},
             const PTlsSettings& iTls = testTls());
  void TearDown() override;  // stops; every descriptor and module reference given back
  // Where the transport of iScheme listens.
  const std::string& at(const std::string& iScheme) { return fWhere[iScheme]; }
  static Bytes frame(uint8_t iKind, uint32_t iExchange, uint32_t iWord, const std::string& iModule, const Bytes& iPayload = {}) {
    return frameOf(iKind, iExchange, iWord, iModule, iPayload);
  }

  int fDescriptors = descriptorCount();
  PTempDir fDir;
  PEchoModule fModule;
  PBaseptr<PEventDispatcher> fDispatcher;
  PBaseptr<PComms> fComms;
  std::map<std::string, std::string> fWhere;
  std::unique_ptr<PBroker> fBroker;  // set before start: the mqtt transport serves there
  std::function<void(PComms&)> fBeforeStart;  // set before start: run once the transports listen
};
