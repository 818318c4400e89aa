#include "PFileAccess.h"

#include <new>

#include "PFileAccessNames.h"
#include "zevo/ICommsEvent.h"
#include "zevo/IConfigManager.h"
#include "zevo/IEventDispatcher.h"
#include "zevo/PErrors.h"
#include "zevo/zevoGetInstance.h"

namespace {

// "0x%08x" takes an unsigned int; a pointer is passed as its low 32 bits.
unsigned int addressBits(const void* iAddress) {
  return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(iAddress));
}

// A component of the framework; a null instance under 0 counts as a failed
// look-up.
int lookUp(const wchar_t* iID, IBase*& oInstance) {
  int result = zevoGetInstance(PLiteral(iID), oInstance);
  if (result == 0 && oInstance == nullptr) result = ERR_NO_INSTANCE;
  return result;
}

}  // namespace

const PFileAccess::Route PFileAccess::kRoutes[] = {
    {kStartFileTransfer, &PFileAccess::actionStartFileTransfer},
    {kGetNextFileData, &PFileAccess::actionGetNextFileData},
    {kSetNextFileData, &PFileAccess::actionSetNextFileData},
    {kCloseFileTransfer, &PFileAccess::actionCloseFileTransfer},
    {kGetFileSize, &PFileAccess::actionGetFileSize},
    {kIsExists, &PFileAccess::actionIsExists},
    {kIsFile, &PFileAccess::actionIsFile},
    {kListDir, &PFileAccess::actionListDir},
    {kMakeDir, &PFileAccess::actionMakeDir},
    {kDeleteFile, &PFileAccess::actionDeleteFile},
    {kDeleteDir, &PFileAccess::actionDeleteDir},
};

PFileAccess::PFileAccess() : fRefCounter(0), fCurrentAction(0) {
  IBase* instance = nullptr;
  if (lookUp(ZEVO_ID_LOGGER, instance) == 0) {
    fLogger = static_cast<ILogger*>(instance);
    // The handle is its own target: from here on it holds whatever logger
    // the component puts there.
    fLogger->getLogger(PLiteral(kLogName), fLogger);
  }
  fMutex.init(true);
  logDebug(L"[%s] Create instance: 0x%08x", "PFileAccess", addressBits(this));
}

PFileAccess::~PFileAccess() {
  fMutex.close();
  // The lists are emptied first; the members go afterwards.
  fPolicy.clear();
  // Open transfers go with fTransfers: each PFile still open is closed by
  // its destructor, without a log line.
}

void PFileAccess::incRef() { ++fRefCounter; }

void PFileAccess::decRef() {
  if (fRefCounter.change(-1) == 0) delete this;
}

int PFileAccess::init() {
  logDebug(L"[%s]", "init");
  int result = loadConfig();
  if (result != 0) {
    logError(L"[%s] Failed to loadConfig() continue with defaults err: %d", "init", result);
    return result;
  }
  result = startComms();
  if (result != 0) {
    logError(L"[%s] Failed to startComms() continue with defaults err: %d", "init", result);
  }
  return result;
}

void PFileAccess::notify(const PLiteral& iTopic, IBase* iEvent, int) {
  PCommsMessage response;
  if (iTopic.cmp(fTopic) != 0) return;
  if (iEvent == nullptr) {
    logError(L"[%s] Expects nont empty iParam1 topic: %ls", "notify", iTopic);
    return;
  }
  PBaseptr<ICommsEvent> event(static_cast<ICommsEvent*>(iEvent));
  const PCommsTarget* target = event->getTargetID();
  const PCommsMessage* request = event->getMessage();
  const int responseID = event->getResponseID();
  static const PCommsTarget kNoTarget;
  static const PCommsMessage kNoMessage;
  if (target == nullptr) target = &kNoTarget;
  if (request == nullptr) request = &kNoMessage;

  fCurrentAction.store(request->fUint32, std::memory_order_relaxed);
  logDebug(L"[%s] Message fAction [%d], size [%d], responseID [%d]", "notify", static_cast<int>(request->fUint32),
           static_cast<int>(request->fData.size()), responseID);
  logDebug(L"[%s] fTargetID: %ls/%d", "notify", target->fAddress, target->fConnection);
  logDebug(L"[%s] fUint32: %d", "notify", static_cast<int>(request->fUint32));

  int status;
  try {
    status = dispatch(*request, response);
  } catch (const std::bad_alloc&) {
    // A request too large for the memory left: answered, never thrown on.
    logError(L"[%s] Out of memory handling action [%d]", "notify", static_cast<int>(request->fUint32));
    response = PCommsMessage();
    status = ERR_NO_MEMORY;
    fillResponse(response, status);
  }
  response.fUint32 = static_cast<uint32_t>(status);
  logDebug(L"[%s] Response status [%d]", "notify", status);
  logDebug(L"[%s] Response datasize[%d]", "notify", static_cast<int>(response.fData.size()));

  // startComms may still be setting the handle on another thread (the
  // listener is added first): read it atomically, no lock taken.
  IComms* comms = fFileAccessComms.getPublished();
  if (comms == nullptr) {
    // No comms interface bound (not yet, or its look-up failed after the
    // listener was added): the reply has nowhere to go; later events are
    // still served.
    logError(L"[%s] No comms interface bound; response [%d] dropped", "notify", responseID);
    return;
  }
  if (comms->send(responseID, response) == 0) {
    logDebug(L"[%s] Response sent", "notify");
  } else {
    logError(L"[%s] Error sending response", "notify");
  }
}

int PFileAccess::dispatch(const PCommsMessage& iRequest, PCommsMessage& oResponse) {
  for (const Route& route : kRoutes) {
    if (route.fAction == iRequest.fUint32) return (this->*route.fHandler)(iRequest, oResponse);
  }
  return 0;  // not an action of this service: an empty reply with status 0
}

void PFileAccess::fillResponse(PCommsMessage& oResponse, int iStatus) {
  oResponse.fUint32 = static_cast<uint32_t>(iStatus);
  oResponse.fModuleID = kFileAccessModuleW;
}

int PFileAccess::loadConfig() {
  IBase* instance = nullptr;
  int result = lookUp(ZEVO_ID_CONFIG_MANAGER, instance);
  if (result != 0) {
    logError(L"[%s] getInstance ID_ICONFIGMANAGER err: %d", "loadConfig", result);
    return result;
  }
  PBaseptr<IConfigManager> configManager(static_cast<IConfigManager*>(instance));
  PBaseptr<IConfig> config;
  result = configManager->loadByID(PLiteral(PAccessPolicy::kSetID), config);
  if (result == 0 && config.isNull()) result = ERR_NO_INSTANCE;
  if (result != 0) {
    logError(L"[%s] cfgManager->loadByID [%ls] err: %d", "loadConfig", PAccessPolicy::kSetID, result);
    return result;
  }

  struct Key {
    const wchar_t* fKey;
    PAccessPolicy::List fList;
    const wchar_t* fTrace;
  };
  const Key keys[] = {
      {PAccessPolicy::key(PAccessPolicy::READ), PAccessPolicy::READ, L"[%s] fCfgReadAccess: [%ls] res: %d"},
      {PAccessPolicy::key(PAccessPolicy::WRITE), PAccessPolicy::WRITE, L"[%s] fCfgWriteAccess: [%ls] res: %d"},
      {PAccessPolicy::key(PAccessPolicy::READ_TREE), PAccessPolicy::READ_TREE,
       L"[%s] fCfgReadAccessRecursive: [%ls] res: %d"},
      {PAccessPolicy::key(PAccessPolicy::WRITE_TREE), PAccessPolicy::WRITE_TREE,
       L"[%s] fCfgWriteAccessRecursive: [%ls] res: %d"},
  };
  PString value;
  for (const Key& key : keys) {
    result = config->getString(PLiteral(key.fKey), value);
    if (result != 0) {
      logError(L"[%s] Error getting [%ls] value from the config", "loadConfig", key.fKey);
      return result;
    }
    logDebug(key.fTrace, "loadConfig", value, 0);
    tokenizeDir(value, key.fList);
  }
  return 0;  // the set is given back before its manager
}

int PFileAccess::startComms() {
  fTopic = kFileAccessTopic;

  IBase* instance = nullptr;
  int result = lookUp(ZEVO_ID_EVENT_DISPATCHER, instance);
  if (result != 0) {
    logError(L"[%s] Failed to get ID_IEVENTDISPATCHER err: %d", "startComms", result);
    return result;
  }
  PBaseptr<IEventDispatcher> dispatcher(static_cast<IEventDispatcher*>(instance));
  logDebug(L"[%s] Get IEventDispatcher ptr: 0x%08x", "startComms", addressBits(instance));

  result = dispatcher->addListener(PLiteral(kFileAccessTopic), this);
  if (result != 0) {
    logError(L"[%s] Unable to add ID_MODULE_FILEACCESS listener err: %d", "startComms", result);
    return result;
  }

  result = lookUp(ZEVO_ID_COMMS, instance);
  if (result != 0) {
    // The listener stays: nothing here removes it.
    logError(L"[%s] Failed to get ID_ICOMMS err: %d", "startComms", result);
    return result;
  }
  fFileAccessComms = static_cast<IComms*>(instance);
  logDebug(L"[%s] Get FA IComms ptr: %p", "startComms", static_cast<void*>(instance));

  result = fFileAccessComms->bind(PLiteral(kFileAccessModuleW), fTopic);
  if (result != 0) {
    logError(L"[%s] Unable to bind fFileAccessComms err: %d", "startComms", result);
  }
  return result;
}
