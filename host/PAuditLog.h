// The audit of the file-access module: who changed or moved what, and what
// came of it. One information line per transfer opened and per transfer
// closed (path, mode, bytes moved, duration, status), per directory made and
// per file or directory deleted; a warning for each request the module
// refused because of what the peer asked, an error for each request the
// device or the host failed (levelOf, docs/logging.md). Queries that succeed
// or answer "not there" are debug lines; chunks that succeed leave none.
// Every line names the session's connection number and peer and carries the
// same as journal fields (ZEVO_ACTION, ZEVO_PATH, ZEVO_STATUS...).
//
// Per open transfer it keeps its session, path, mode, start and bytes so
// far: an entry lives from the StartFileTransfer reply that opened it until
// the close that ends it, or until its session ends. Transfers a session
// left open are closed by the releases of the watcher added before this one
// (PTransferOwnership), whose replies reach replied() here, so this watcher
// must be added after it.
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

class PAuditLog final : public PSessionWatcher {
 public:
  // iLogger: where the lines go (may be empty: nothing is written).
  // iIsolate: as PTransferOwnership's; with it, another session's chunk or
  // close request never reached the module.
  PAuditLog(PBaseptr<ILogger> iLogger, bool iIsolate) : fLogger(std::move(iLogger)), fIsolate(iIsolate) {}
  bool answer(const PSessionInfo&, const PCommsMessage&, PCommsMessage&) override { return false; }
  void replied(const PSessionInfo& iSession, const PCommsMessage& iRequest, const PCommsMessage& iReply) override;
  // Forgets the session's transfers; releases nothing.
  std::vector<PRelease> ended(const PSessionInfo& iSession) override;

  // The level of a reply's line: LOG_LEVEL_INFO for a change or transfer
  // that succeeded, LOG_LEVEL_DEBUG for a query's answer (a success, or "not
  // there" and the like), LOG_LEVEL_WARNING for a refusal the peer caused,
  // LOG_LEVEL_ERROR for a failure of the device or the host. iKnownTransfer:
  // a chunk or close named a transfer of its own session.
  static int levelOf(uint32_t iAction, int iStatus, bool iKnownTransfer);

 private:
  struct Transfer {
    uint64_t fSession = 0;
    PString fPath;
    bool fWrite = false;
    std::chrono::steady_clock::time_point fStart;
    long long fBytes = 0;
  };

  bool wanted(int iLevel) { return !fLogger.isNull() && iLevel <= fLogger->getLevel(); }

  // Writes iLine at iLevel unless its level's throttle drops it. A peer
  // can cause refusals and failures at will: 20 a second, 100 at once; the
  // operations' lines: 200 a second, 1000 at once.
  void write(class PAuditLine& ioLine, int iLevel);

  const PBaseptr<ILogger> fLogger;
  const bool fIsolate;
  PLogThrottle fProblems{20, 100};
  PLogThrottle fOperations{200, 1000};
  PStdMutex fLock;
  std::map<int, Transfer> fTransfers ZEVO_GUARDED_BY(fLock);  // open transfer ID -> what it is
};
