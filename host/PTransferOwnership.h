// The file-access module's transfers, kept to the session that opened them.
// The IDs are the module's, global to it: any peer could name another's. So
// that none can, a chunk or close request for a transfer another session
// opened is answered here exactly as the module answers an ID no transfer
// has, without reaching it (when isolation is on, the default). When a
// session ends, its transfers are closed as its peer would have closed them.
// The only unit of the host that knows the module's actions.
//
// Threading: called by the sessions' workers, several at once.
#pragma once

#include <map>
#include <memory>

#include "PDescriptorBudget.h"
#include "zevo/PStdMutex.h"
#include "zevo/core/PSessionWatcher.h"

class PTransferOwnership final : public PSessionWatcher {
 public:
  // iMaxPerSession 0: no limit; iBudget null: descriptors not counted.
  explicit PTransferOwnership(bool iIsolate, int iMaxPerSession = 0, std::shared_ptr<PDescriptorBudget> iBudget = nullptr)
      : fIsolate(iIsolate), fMaxPerSession(iMaxPerSession), fBudget(std::move(iBudget)) {}
  bool answer(const PSessionInfo& iSession, const PCommsMessage& iRequest, PCommsMessage& oAnswer) override;
  void replied(const PSessionInfo& iSession, const PCommsMessage& iRequest, const PCommsMessage& iReply) override;
  std::vector<PRelease> ended(const PSessionInfo& iSession) override;
  bool largeReply(uint32_t iAction) override;

 private:
  bool mayOpen(const PSessionInfo& iSession) ZEVO_EXCLUDES(fLock);
  size_t openBy(uint64_t iSession) ZEVO_REQUIRES(fLock);

  const bool fIsolate;
  const int fMaxPerSession;
  const std::shared_ptr<PDescriptorBudget> fBudget;
  PStdMutex fLock;
  std::map<int, uint64_t> fOwners ZEVO_GUARDED_BY(fLock);  // open transfer ID -> the session that opened it
};
