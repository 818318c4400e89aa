// The audit of a module's requests: who changed or moved what, and what came
// of it, from the module's action table (zevo/protocol/PActionTraits.h:
// which action is a query, a step of a transfer or an operation). One
// information line per operation that succeeds (a change; a transfer, that
// is a handle of data, opened, ended, or cut by its session's end), a
// warning for each request refused because of what the peer asked, an
// error for each request the device or the host failed (levelOf,
// docs/logging.md). Queries are debug lines; steps of a transfer that
// succeed leave none and are counted into it. Every line names the
// session's connection, peer and identity, and carries the same as journal
// fields (ZEVO_ACTION, ZEVO_PATH, ZEVO_STATUS...).
//
// Per open handle it keeps its session, path, direction, start and bytes
// so far: from the reply that opened it until the request that ends it, or
// until its session ends. Handles a session left open are released by the
// watcher added before this one (PHandleOwnership), whose releases' replies
// reach replied() here: so this watcher must be added after it.
//
// Threading: called by the sessions' workers, several at once.
#pragma once

#include <chrono>
#include <map>
#include <string>

#include "zevo/ILogger.h"
#include "zevo/PPtr.h"
#include "zevo/PStdMutex.h"
#include "zevo/PString.h"
#include "zevo/core/PLogThrottle.h"
#include "zevo/core/PSessionWatcher.h"
#include "zevo/protocol/PActionTraits.h"

class PAuditLog final : public PSessionWatcher {
 public:
  // iLogger: where the lines go (may be empty: nothing is written).
  // iIsolate: as PHandleOwnership's; with it, another session's handle was
  // no handle to the module.
  PAuditLog(const PModuleTraits& iModule, PBaseptr<ILogger> iLogger, bool iIsolate)
      : fModule(iModule), fLogger(std::move(iLogger)), fIsolate(iIsolate) {}
  bool answer(const PSessionInfo&, const PCommsMessage&, PCommsMessage&) override { return false; }
  void replied(const PSessionInfo& iSession, const PCommsMessage& iRequest, const PCommsMessage& iReply, size_t iFileBytes) override;
  // Forgets the session's handles; releases nothing.
  std::vector<PRelease> ended(const PSessionInfo& iSession) override;

  // The level of a reply's line: LOG_LEVEL_INFO for an operation that
  // succeeded, LOG_LEVEL_DEBUG for a query's answer (a success, or "not
  // there" and the like), LOG_LEVEL_WARNING for a refusal the peer caused,
  // LOG_LEVEL_ERROR for a failure of the device or the host.
  // iKnownHandle: the request named a handle of its own session.
  static int levelOf(const PActionTraits& iAction, int iStatus, bool iKnownHandle);

 private:
  struct Handle {
    uint64_t fSession = 0;
    PString fPath;
    bool fWrite = false;
    bool fQuery = false;  // opened by a query: its lines are debug lines
    std::chrono::steady_clock::time_point fStart;
    long long fBytes = 0;
  };

  bool wanted(int iLevel) { return !fLogger.isNull() && iLevel <= fLogger->getLevel(); }
  // The line of a handle ended (or cut, iCut) by iAction.
  void endLine(const char* iAction, const int* iStatus, const PSessionInfo& iSession, int iHandle, const Handle& iEnded, int iLevel);
  // Writes iLine at iLevel unless its level's throttle drops it. A peer
  // can cause refusals and failures at will: 20 a second, 100 at once; the
  // operations' lines: 200 a second, 1000 at once.
  void write(class PAuditLine& ioLine, int iLevel);

  const PModuleTraits& fModule;
  const PBaseptr<ILogger> fLogger;
  const bool fIsolate;
  PLogThrottle fProblems{20, 100};
  PLogThrottle fOperations{200, 1000};
  PStdMutex fLock;
  std::map<int, Handle> fHandles ZEVO_GUARDED_BY(fLock);  // open handle -> what it is
};
