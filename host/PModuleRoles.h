// A module's side of the session roles, from its action table
// (zevo/protocol/PActionTraits.h). A session with the read role may do what
// changes no file; a request of it that would change files (an action that
// always does, a transfer opened for writing, a write into such a handle)
// is answered here exactly as the module answers a request its policy
// refuses (its denied status and the action's neutral elements), and never
// reaches the module: the peer cannot tell a role from the policy. A
// request the module could not read reaches it and is answered as always
// (it changes nothing). Sessions with the write role pass untouched.
//
// Threading: called by the sessions' workers, several at once.
#pragma once

#include <set>

#include "zevo/PStdMutex.h"
#include "zevo/core/PSessionWatcher.h"
#include "zevo/protocol/PActionTraits.h"

class PModuleRoles final : public PSessionWatcher {
 public:
  explicit PModuleRoles(const PModuleTraits& iModule) : fModule(iModule) {}
  bool answer(const PSessionInfo& iSession, const PCommsMessage& iRequest, PCommsMessage& oAnswer) override ZEVO_EXCLUDES(fLock);
  // Keeps the handles opened by requests that change files, whichever session opened them.
  void replied(const PSessionInfo& iSession, const PCommsMessage& iRequest, const PCommsMessage& iReply, size_t iFileBytes) override ZEVO_EXCLUDES(fLock);
  std::vector<PRelease> ended(const PSessionInfo&) override { return {}; }

  // Whether iRequest (readable) changes files.
  bool changes(const PActionTraits& iAction, const PCommsMessage& iRequest) ZEVO_EXCLUDES(fLock);

 private:
  const PModuleTraits& fModule;
  PStdMutex fLock;
  std::set<int> fWriting ZEVO_GUARDED_BY(fLock);  // handles opened by a change
};
