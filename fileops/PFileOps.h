// The file-operations service: stat, listings with attributes, ranged and
// sparse reads, checksums, atomic and resumable uploads, group commits,
// rename, attributes and bounded recursive deletes, on the paths that the
// file-access policy (PAccessPolicy, set "zevop.fileaccess") grants.
//
// Threading: notify runs on several dispatcher threads at once from the
// moment the listener is added; it reads fComms with getPublished(). The
// policy, the settings, the topic and the session directory are written
// only during init, before the listener is added. fLock guards the handle
// table, the targets of uploads and the uploads kept for resuming; it is
// never held across file I/O (a handle's own lock is, see
// PFileOpsHandles.h).
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "PAccessPolicy.h"
#include "PFileOpsHandles.h"
#include "zevo/IComms.h"
#include "zevo/IConfigManager.h"
#include "zevo/IEventListener.h"
#include "zevo/ILogger.h"
#include "zevo/ISessionDirectory.h"
#include "zevo/PCommsMessage.h"
#include "zevo/PCounter.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PLogArgs.h"
#include "zevo/PPtr.h"
#include "zevo/PStdMutex.h"
#include "zevo/protocol/PFileOpsProtocol.h"

// The optional set "zevop.fileops" (docs/fileops.md#settings).
struct PFileOpsSettings {
  int fResumeKeepSeconds = 3600;  // "fileops.resume.keep"
  int fResumeMax = 16;            // "fileops.resume.max"
  int fHandlesMax = 4096;         // "fileops.handles.max"
};

class PFileOps : public IEventListener {
 public:
  PFileOps();
  void incRef() override;
  void decRef() override;
  // Runs the handler of the request's action and sends exactly one reply.
  void notify(const PLiteral& iTopic, IBase* iEvent, int iFlags) override;
  virtual ~PFileOps();

  // Start-up: the policy, the settings, the session directory (optional),
  // then the listener and the binding; the first failing code.
  int init();

 private:
  // One request being served.
  struct PRequest {
    PRequest(const PCommsMessage& iMessage, PCommsMessage& oReply, int iResponseID)
        : fReader(iMessage.fData), fWriter(oReply.fData), fResponseID(iResponseID) {}
    PDataReader fReader;
    PDataWriter fWriter;
    int fResponseID;
    bool fRead = false;  // past reading: the reply carries the module ID and the elements
    PString fIdentity;   // the caller, as the session directory tells
    int fRole = SESSIONS_ROLE_UNKNOWN;
    // A ReadAt's block, when it is to be sent from the file (fSpan.fLength
    // > 0): the last element, not yet written.
    PFileSpan fSpan;
    std::shared_ptr<PReader> fSpanReader;
  };
  // A ReadAt block this large is sent from the file; a smaller one is read
  // into the reply, so that many go out in one write.
  static constexpr int kSpanAt = 64 * 1024;
  using Handler = int (PFileOps::*)(PRequest&);
  struct Route {
    uint32_t fAction;
    Handler fHandler;
  };
  static const Route kRoutes[];
  // Kept for resuming: the upload and when it goes (PTime::monotonicMillis).
  struct PKept {
    std::shared_ptr<PUpload> fUpload;
    long long fDeadline;
  };

  // Start-up.
  int loadConfig(IConfigManager& iManager);
  int loadSettings(IConfigManager& iManager);
  int startComms();

  // Shared steps.
  // The frame limit of the session that sent the request iResponseID, and
  // the largest data a reply or a request of it may carry.
  unsigned int frameMax(int iResponseID) const;
  unsigned int chunkMax(int iResponseID) const;
  // 0 when the policy grants iNeed on the directory holding iPath; else
  // ERR_ACCESS_DENIED, logged.
  int permit(const PLiteral& iPath, unsigned int iNeed, const char* iFunction);
  // 0 when the caller may change files (the write role), else ERR_ACCESS_DENIED.
  int mayChange(const PRequest& iRequest, const char* iFunction);
  // Handle numbers: random, never 0, not taken; PERR_TOO_MANY_FILES past the limit.
  int addHandle(const std::shared_ptr<PHandle>& iHandle, int& oNumber) ZEVO_EXCLUDES(fLock);
  template <class T>
  std::shared_ptr<T> findHandle(int iNumber, PHandle::Kind iKind, int& oStatus) ZEVO_EXCLUDES(fLock);
  std::shared_ptr<PHandle> takeHandle(int iNumber) ZEVO_EXCLUDES(fLock);
  // Frees a target for the next upload.
  void releaseTarget(const std::string& iKey) ZEVO_EXCLUDES(fLock);
  // Removes kept uploads past their time (their files go outside the lock).
  void expireKept() ZEVO_EXCLUDES(fLock);
  // Ends an upload: kept for resuming (iKeep and resumable), else discarded.
  void endUpload(const std::shared_ptr<PUpload>& iUpload, bool iKeep) ZEVO_EXCLUDES(fLock);
  // Commits one upload whose size, mode and time are set, the data flushed.
  int publish(PUpload& iUpload);
  // Sends the reply of a request whose block is a span of a file: from the
  // file where the session carries it, else read into the reply.
  int sendSpan(IComms& iComms, PRequest& ioRequest, PCommsMessage& ioReply);

  // Handlers: each returns the status; past reading its request it sets
  // fRead and writes its elements (neutral values on failure).
  int actionSessionInfo(PRequest& ioRequest);
  int actionStat(PRequest& ioRequest);
  int actionOpenListing(PRequest& ioRequest);
  int actionReadListing(PRequest& ioRequest);
  int actionOpenRead(PRequest& ioRequest);
  int actionReadAt(PRequest& ioRequest);
  int actionDataRanges(PRequest& ioRequest);
  int actionOpenChecksum(PRequest& ioRequest);
  int actionChecksumUpload(PRequest& ioRequest);
  int actionChecksumStep(PRequest& ioRequest);
  int actionBeginUpload(PRequest& ioRequest);
  int actionResumeUpload(PRequest& ioRequest);
  int actionWriteAt(PRequest& ioRequest);
  int actionCommitUpload(PRequest& ioRequest);
  int actionCommitGroup(PRequest& ioRequest);
  int actionCloseHandle(PRequest& ioRequest);
  int actionReleaseHandle(PRequest& ioRequest);
  int actionRename(PRequest& ioRequest);
  int actionSetAttributes(PRequest& ioRequest);
  int actionRemoveTree(PRequest& ioRequest);
  int startChecksum(PRequest& ioRequest, const std::shared_ptr<PChecksum>& iChecksum, long long iOffset,
                    long long iLength);
  int endHandle(PRequest& ioRequest, bool iKeep);

  // Log lines go to fLogger and are skipped while it is empty.
  template <class... Args>
  void logDebug(const wchar_t* iFormat, const char* iFunction, const Args&... iArgs) const {
    if (!fLogger.isNull()) fLogger->logDebug(0, iFormat, iFunction, zevoLogArg(iArgs)...);
  }
  template <class... Args>
  void logError(const wchar_t* iFormat, const char* iFunction, const Args&... iArgs) const {
    if (!fLogger.isNull()) fLogger->logError(0, iFormat, iFunction, zevoLogArg(iArgs)...);
  }

  PCounterSync fRefCounter;
  PAccessPolicy fPolicy;
  PFileOpsSettings fSettings;
  PBaseptr<ISessionDirectory> fSessions;  // null: identity unknown, role unknown, the default frame limit
  PBaseptr<IComms> fComms;
  PString fTopic;
  PBaseptr<ILogger> fLogger;
  PBaseptr<ILogger> fAudit;  // "zevo.audit": what no session's audit sees (an upload kept for resuming that expired)

  PStdMutex fLock;
  std::map<int, std::shared_ptr<PHandle>> fHandles ZEVO_GUARDED_BY(fLock);
  std::set<std::string> fTargets ZEVO_GUARDED_BY(fLock);  // targets of open and kept uploads
  std::map<std::string, PKept> fKept ZEVO_GUARDED_BY(fLock);  // by token
};
