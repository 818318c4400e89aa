// A module's handles (file-access transfers, file-operations handles), kept
// to the session that opened them, as the module's action table says
// (zevo/protocol/PActionTraits.h). A module's handles are global to it: any
// peer could name another's. So that none can, a handle another session
// opened becomes 0 in the request (adjust), and the module answers as for
// any handle it does not know, in its own order of checks (when isolation
// is on, the default). When a session ends, each handle it still holds is
// released with the action the table names (CloseFileTransfer,
// ReleaseHandle), as its peer would have.
//
// It also keeps the limits of handles, each of which holds a descriptor:
// per session (iMaxPerSession), and the descriptor budget
// (PDescriptorBudget.h). An opening request past either is answered
// PERR_TOO_MANY_FILES with the action's neutral elements, as the module
// answers when the system has no descriptor left, without reaching it; a
// request naming a path when not even a request's passing descriptors are
// left gets the same, never a wrong value.
//
// Threading: called by the sessions' workers, several at once.
#pragma once

#include <map>
#include <memory>

#include "PDescriptorBudget.h"
#include "zevo/PStdMutex.h"
#include "zevo/core/PSessionWatcher.h"
#include "zevo/protocol/PActionTraits.h"

class PHandleOwnership final : public PSessionWatcher {
 public:
  // iMaxPerSession 0: no limit; iBudget null: descriptors not counted;
  // iDescriptors: the most one handle of the module holds.
  PHandleOwnership(const PModuleTraits& iModule, bool iIsolate, int iMaxPerSession = 0,
                   std::shared_ptr<PDescriptorBudget> iBudget = nullptr, long iDescriptors = 1)
      : fModule(iModule), fIsolate(iIsolate), fMaxPerSession(iMaxPerSession), fBudget(std::move(iBudget)),
        fDescriptors(iDescriptors) {}
  void adjust(const PSessionInfo& iSession, PCommsMessage& ioRequest) override ZEVO_EXCLUDES(fLock);
  bool answer(const PSessionInfo& iSession, const PCommsMessage& iRequest, PCommsMessage& oAnswer) override ZEVO_EXCLUDES(fLock);
  void replied(const PSessionInfo& iSession, const PCommsMessage& iRequest, const PCommsMessage& iReply, size_t iFileBytes) override ZEVO_EXCLUDES(fLock);
  std::vector<PRelease> ended(const PSessionInfo& iSession) override ZEVO_EXCLUDES(fLock);
  bool largeReply(uint32_t iAction) override;

 private:
  struct Handle {
    uint64_t fSession = 0;
    uint32_t fRelease = 0;  // the action that releases it
  };

  bool mayOpen(const PSessionInfo& iSession) ZEVO_EXCLUDES(fLock);
  size_t openBy(uint64_t iSession) const ZEVO_REQUIRES(fLock);

  const PModuleTraits& fModule;
  const bool fIsolate;
  const int fMaxPerSession;
  const std::shared_ptr<PDescriptorBudget> fBudget;
  const long fDescriptors;
  PStdMutex fLock;
  std::map<int, Handle> fHandles ZEVO_GUARDED_BY(fLock);  // open handle -> its session
};
