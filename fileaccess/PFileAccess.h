// The file-access service: answers requests on its event topic with the
// files and directories that its access policy grants.
//
// Threading: notify may run on several dispatcher threads at once, from the
// moment the listener is added, while startComms still binds the comms
// interface: notify reads fFileAccessComms with getPublished(), which pairs
// with the handle's atomic assignment. The access policy and the topic are
// written only during init, before the listener is added, and only read
// afterwards. fMutex guards fTransfers and nothing else (the
// analysis checks it; zevo/PThreadSafety.h); the
// shared counters of the PPtr<PFile> copies in and out of the table are
// changed only while it is held.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "PAccessPolicy.h"
#include "zevo/IComms.h"
#include "zevo/IEventListener.h"
#include "zevo/ILogger.h"
#include "zevo/PCommsMessage.h"
#include "zevo/PCounter.h"
#include "zevo/PDataReader.h"
#include "zevo/PFile.h"
#include "zevo/PLogArgs.h"
#include "zevo/PMutex.h"
#include "zevo/PPtr.h"
#include "zevo/PString.h"
#include "zevo/protocol/PFileAccessProtocol.h"

class PFileAccess : public IEventListener {
 public:
  PFileAccess();

  void incRef() override;
  void decRef() override;
  // Runs the handler of the request's action and sends exactly one reply.
  void notify(const PLiteral& iTopic, IBase* iEvent, int iFlags) override;
  virtual ~PFileAccess();

  // Start-up: loadConfig, then startComms; the first failing code.
  int init();

 private:
  friend struct PFileAccessProbe;  // benchmarks reach checkMode through it

  using Handler = int (PFileAccess::*)(const PCommsMessage&, PCommsMessage&);
  struct Route {
    uint32_t fAction;
    Handler fHandler;
  };
  static const Route kRoutes[];

  // Start-up.
  int loadConfig();
  int startComms();

  // Policy and paths.
  unsigned int checkMode(const PLiteral& iPath);
  void tokenizeDir(const PLiteral& iValue, PAccessPolicy::List iList);
  void getDirFromPath(PString& ioPath);
  int createRecursiveDirs(const PLiteral& iPath);

  // Handlers: each returns the status; past the reading of its request it
  // also writes the status, the module ID and its result into the response.
  int actionStartFileTransfer(const PCommsMessage& iRequest, PCommsMessage& oResponse);
  int actionGetNextFileData(const PCommsMessage& iRequest, PCommsMessage& oResponse);
  int actionSetNextFileData(const PCommsMessage& iRequest, PCommsMessage& oResponse);
  int actionCloseFileTransfer(const PCommsMessage& iRequest, PCommsMessage& oResponse);
  int actionGetFileSize(const PCommsMessage& iRequest, PCommsMessage& oResponse);
  int actionIsExists(const PCommsMessage& iRequest, PCommsMessage& oResponse);
  int actionIsFile(const PCommsMessage& iRequest, PCommsMessage& oResponse);
  int actionListDir(const PCommsMessage& iRequest, PCommsMessage& oResponse);
  int actionMakeDir(const PCommsMessage& iRequest, PCommsMessage& oResponse);
  int actionDeleteFile(const PCommsMessage& iRequest, PCommsMessage& oResponse);
  int actionDeleteDir(const PCommsMessage& iRequest, PCommsMessage& oResponse);

  // Shared steps of the handlers.
  int dispatch(const PCommsMessage& iRequest, PCommsMessage& oResponse);
  void fillResponse(PCommsMessage& oResponse, int iStatus);
  int readPathQuery(const PCommsMessage& iRequest, const char* iFunction, PString& oFileName, bool& oReadable);
  int changePath(const PCommsMessage& iRequest, PCommsMessage& oResponse, const char* iFunction,
                 int (*iChange)(PFileAccess&, const PLiteral&), bool iLogDelete);
  // Reads the transfer ID that leads a transfer request; a failure is logged.
  int readTransferID(PDataReader& ioReader, const char* iFunction, int& oTransferID);
  bool findTransfer(int iTransferID, const char* iFunction, PPtr<PFile>& oFile, int& oMode);
  void dropFile(PPtr<PFile>& ioFile);

  // Log lines go to fLogger and are skipped while it is empty.
  template <class... Args>
  void logDebug(const wchar_t* iFormat, const char* iFunction, const Args&... iArgs) const {
    if (!fLogger.isNull()) fLogger->logDebug(0, iFormat, iFunction, zevoLogArg(iArgs)...);
  }
  template <class... Args>
  void logError(const wchar_t* iFormat, const char* iFunction, const Args&... iArgs) const {
    if (!fLogger.isNull()) fLogger->logError(0, iFormat, iFunction, zevoLogArg(iArgs)...);
  }

  PCounterSync fRefCounter;                                    // synchronised: framework threads take references
  PAccessPolicy fPolicy;                                       // the four lists of "zevop.fileaccess"
  std::map<int, std::pair<PPtr<PFile>, int>> fTransfers ZEVO_GUARDED_BY(fMutex);  // open transfers: ID -> (file, mode)
  PBaseptr<IComms> fFileAccessComms;                           // every reply is sent through it
  PString fTopic;                                              // the only topic notify accepts
  std::atomic<uint32_t> fCurrentAction;                        // action of the latest request
  PMutex fMutex;                                               // the transfer table's lock (never re-entered)
  PBaseptr<ILogger> fLogger;                                   // empty: nothing is logged
};
