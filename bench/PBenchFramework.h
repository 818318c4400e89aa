// The framework's real components, set up in-process for benchmarks, with a
// comms component that only counts replies: one request through notify, the
// transport left out.
#pragma once

#include <atomic>
#include <string>

#include "zevo/IComms.h"
#include "zevo/PErrors.h"
#include "zevo/IPlugin.h"
#include "zevo/PPtr.h"
#include "zevo/core/PEventDispatcher.h"

class PCountingComms : public IComms {
 public:
  void incRef() override { ++fRefs; }
  void decRef() override { --fRefs; }
  int unbind(const PLiteral&) override { return 0; }
  int bind(const PLiteral&, PString&) override { return 0; }
  int send(int, PCommsMessage& iResponse) override {
    ++fReplies;
    fLastStatus = static_cast<int>(iResponse.fUint32);
    fLastSize = iResponse.fData.size();
    if (fKeep) fLastData = iResponse.fData;
    return 0;
  }
  int sendFile(int, PCommsMessage&, const PFileSpan&) override { return ERR_INVALID_ARG; }  // bytes in the reply
  std::atomic<int> fRefs{0};
  long fReplies = 0;
  int fLastStatus = 0;
  size_t fLastSize = 0;
  bool fKeep = false;  // keep the payload of the replies (costs a copy)
  std::vector<unsigned char> fLastData;
};

// Registers logger (info level, so debug lines cost only their call),
// configuration manager over iConfigDir, dispatcher and counting comms, then
// starts the file-access plug-in linked into the program.
class PBenchFramework {
 public:
  explicit PBenchFramework(const std::string& iConfigDir);
  ~PBenchFramework();
  bool ok() const { return fPlugin != nullptr; }
  PEventDispatcher& dispatcher() { return *fDispatcher; }

  PCountingComms fComms;

 private:
  PBaseptr<PEventDispatcher> fDispatcher;
  IPlugin* fPlugin = nullptr;
};
