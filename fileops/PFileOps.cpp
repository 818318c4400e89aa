#include "PFileOps.h"

#include <openssl/rand.h>

#include <cstring>
#include <new>

#include "PFileOpsNames.h"
#include "zevo/ICommsEvent.h"
#include "zevo/IEventDispatcher.h"
#include "zevo/PErrors.h"
#include "zevo/PTime.h"
#include "zevo/zevoGetInstance.h"

namespace {

// A component of the framework; a null instance under 0 counts as a failed
// look-up.
int lookUp(const wchar_t* iID, IBase*& oInstance) {
  int result = zevoGetInstance(PLiteral(iID), oInstance);
  if (result == 0 && oInstance == nullptr) result = ERR_NO_INSTANCE;
  return result;
}

}  // namespace

const PFileOps::Route PFileOps::kRoutes[] = {
    {kOpsSessionInfo, &PFileOps::actionSessionInfo},     {kOpsStat, &PFileOps::actionStat},
    {kOpsOpenListing, &PFileOps::actionOpenListing},     {kOpsReadListing, &PFileOps::actionReadListing},
    {kOpsOpenRead, &PFileOps::actionOpenRead},           {kOpsReadAt, &PFileOps::actionReadAt},
    {kOpsDataRanges, &PFileOps::actionDataRanges},       {kOpsOpenChecksum, &PFileOps::actionOpenChecksum},
    {kOpsChecksumUpload, &PFileOps::actionChecksumUpload}, {kOpsChecksumStep, &PFileOps::actionChecksumStep},
    {kOpsBeginUpload, &PFileOps::actionBeginUpload},     {kOpsResumeUpload, &PFileOps::actionResumeUpload},
    {kOpsWriteAt, &PFileOps::actionWriteAt},             {kOpsCommitUpload, &PFileOps::actionCommitUpload},
    {kOpsCommitGroup, &PFileOps::actionCommitGroup},     {kOpsCloseHandle, &PFileOps::actionCloseHandle},
    {kOpsReleaseHandle, &PFileOps::actionReleaseHandle}, {kOpsRename, &PFileOps::actionRename},
    {kOpsSetAttributes, &PFileOps::actionSetAttributes}, {kOpsRemoveTree, &PFileOps::actionRemoveTree},
};

PFileOps::PFileOps() : fRefCounter(0) {
  IBase* instance = nullptr;
  if (lookUp(ZEVO_ID_LOGGER, instance) == 0) {
    PBaseptr<ILogger> component(static_cast<ILogger*>(instance));
    component->getLogger(PLiteral(kAuditLogName), fAudit);
    fLogger = component;
    fLogger->getLogger(PLiteral(kLogName), fLogger);  // the handle is its own target
  }
}

PFileOps::~PFileOps() {
  // Open and kept uploads take their temporary files with them, outside the lock.
  std::map<int, std::shared_ptr<PHandle>> handles;
  std::map<std::string, PKept> kept;
  PStdMutexLock lock(fLock);
  handles.swap(fHandles);
  kept.swap(fKept);
}

void PFileOps::incRef() { ++fRefCounter; }

void PFileOps::decRef() {
  if (fRefCounter.change(-1) == 0) delete this;
}

int PFileOps::init() {
  IBase* instance = nullptr;
  int result = lookUp(ZEVO_ID_CONFIG_MANAGER, instance);
  if (result != 0) {
    logError(L"[%s] No configuration manager: %d", "init", result);
    return result;
  }
  PBaseptr<IConfigManager> manager(static_cast<IConfigManager*>(instance));
  result = loadConfig(*manager);
  if (result == 0) result = loadSettings(*manager);
  if (result != 0) return result;
  // Optional: without it the caller's identity and role are unknown.
  if (lookUp(ZEVO_ID_SESSIONS, instance) == 0) {
    fSessions = static_cast<ISessionDirectory*>(instance);
  } else {
    logDebug(L"[%s] No session directory: identities unknown, no change allowed, frames of %d bytes", "init",
             static_cast<int>(kFileOpsDefaultFrameMax));
  }
  return startComms();
}

int PFileOps::loadConfig(IConfigManager& iManager) {
  PBaseptr<IConfig> config;
  int result = iManager.loadByID(PLiteral(PAccessPolicy::kSetID), config);
  if (result == 0 && config.isNull()) result = ERR_NO_INSTANCE;
  if (result != 0) {
    logError(L"[%s] Cannot load the policy set [%ls]: %d", "loadConfig", PAccessPolicy::kSetID, result);
    return result;
  }
  return fPolicy.load(*config, [this](PAccessPolicy::List iList, int iResult, const PString& iValue) {
    if (iResult != 0) {
      logError(L"[%s] Set [%ls], key [%ls]: %d", "loadConfig", PAccessPolicy::kSetID, PAccessPolicy::key(iList), iResult);
    } else {
      logDebug(L"[%s] %ls = [%ls]", "loadConfig", PAccessPolicy::key(iList), iValue);
    }
  });
}

int PFileOps::loadSettings(IConfigManager& iManager) {
  PBaseptr<IConfig> config;
  int result = iManager.loadByID(PLiteral(kSettingsSetID), config);
  if (result == ERR_CONFIG_NO_SET) {
    logDebug(L"[%s] No set [%ls]: the defaults", "loadSettings", kSettingsSetID);
    return 0;
  }
  if (result == 0 && config.isNull()) result = ERR_NO_INSTANCE;
  if (result != 0) {
    logError(L"[%s] Cannot load the set [%ls]: %d", "loadSettings", kSettingsSetID, result);
    return result;
  }
  struct Key {
    const wchar_t* fKey;
    int* fValue;
    int fMin;
    int fMax;
  };
  const Key keys[] = {
      {L"fileops.resume.keep", &fSettings.fResumeKeepSeconds, 0, 7 * 24 * 3600},
      {L"fileops.resume.max", &fSettings.fResumeMax, 0, 1024},
      {L"fileops.handles.max", &fSettings.fHandlesMax, 1, 65536},
  };
  for (const Key& key : keys) {
    int value = 0;
    result = config->getInt(PLiteral(key.fKey), value);
    if (result == ERR_CONFIG_NO_KEY) continue;
    if (result != 0 || value < key.fMin || value > key.fMax) {
      logError(L"[%s] Set [%ls], key [%ls]: not a whole number from %d to %d", "loadSettings", kSettingsSetID, key.fKey,
               key.fMin, key.fMax);
      return ERR_CONFIG_VALUE;
    }
    *key.fValue = value;
  }
  return 0;
}

int PFileOps::startComms() {
  fTopic = kFileOpsTopic;
  IBase* instance = nullptr;
  int result = lookUp(ZEVO_ID_EVENT_DISPATCHER, instance);
  if (result != 0) {
    logError(L"[%s] No event dispatcher: %d", "startComms", result);
    return result;
  }
  PBaseptr<IEventDispatcher> dispatcher(static_cast<IEventDispatcher*>(instance));
  result = dispatcher->addListener(PLiteral(kFileOpsTopic), this);
  if (result != 0) {
    logError(L"[%s] The listener was refused: %d", "startComms", result);
    return result;
  }
  result = lookUp(ZEVO_ID_COMMS, instance);
  if (result != 0) {
    logError(L"[%s] No comms interface: %d", "startComms", result);  // the listener stays
    return result;
  }
  fComms = static_cast<IComms*>(instance);
  result = fComms->bind(PLiteral(kFileOpsModuleW), fTopic);
  if (result != 0) logError(L"[%s] Cannot bind [%ls]: %d", "startComms", kFileOpsModuleW, result);
  return result;
}

void PFileOps::notify(const PLiteral& iTopic, IBase* iEvent, int) {
  if (iTopic.cmp(fTopic) != 0 || iEvent == nullptr) return;
  PBaseptr<ICommsEvent> event(static_cast<ICommsEvent*>(iEvent));
  static const PCommsMessage kNoMessage;
  const PCommsMessage* message = event->getMessage();
  if (message == nullptr) message = &kNoMessage;
  const int responseID = event->getResponseID();

  expireKept();
  PCommsMessage reply;
  PRequest request(*message, reply, responseID);
  int status = 0;
  try {
    for (const Route& route : kRoutes) {
      if (route.fAction != message->fUint32) continue;
      if (!fSessions.isNull() && fSessions->describe(responseID, request.fIdentity, request.fRole) != 0) {
        request.fIdentity.clear();
        request.fRole = SESSIONS_ROLE_UNKNOWN;
      }
      status = (this->*route.fHandler)(request);
      break;
    }
  } catch (const std::bad_alloc&) {
    logError(L"[%s] Out of memory serving action [%d]", "notify", static_cast<int>(message->fUint32));
    status = ERR_NO_MEMORY;
    reply.fData.clear();
  }
  if (request.fRead) {
    reply.fModuleID = kFileOpsModuleW;
  } else {
    reply.fData.clear();  // unread, or no action of this service
  }
  reply.fUint32 = static_cast<uint32_t>(status);

  IComms* comms = fComms.getPublished();
  if (comms == nullptr) {
    logError(L"[%s] No comms interface bound; response [%d] dropped", "notify", responseID);
    return;
  }
  const bool spanned = request.fRead && status == 0 && request.fSpan.fLength > 0;
  const size_t bytes = reply.fData.size() + (spanned ? request.fSpan.fLength + 5 : 0);
  const int sent = spanned ? sendSpan(*comms, request, reply) : comms->send(responseID, reply);
  logDebug(L"[%s] Action [%d] response [%d]: status [%d], [%d] bytes", "notify", static_cast<int>(message->fUint32),
           responseID, static_cast<int>(reply.fUint32), static_cast<int>(bytes));
  if (sent != 0) logError(L"[%s] Cannot send response [%d]", "notify", responseID);
}

int PFileOps::sendSpan(IComms& iComms, PRequest& ioRequest, PCommsMessage& ioReply) {
  const size_t before = ioReply.fData.size();
  try {
    ioRequest.fWriter.writeBytesHeader(ioRequest.fSpan.fLength);
    ioRequest.fSpan.fKeeper = ioRequest.fSpanReader;  // the file stays open until its bytes are written
    const int sent = iComms.sendFile(ioRequest.fResponseID, ioReply, ioRequest.fSpan);
    if (sent != ERR_INVALID_ARG) return sent;
    // The session cannot carry the file (TLS, a broker): its bytes in the reply.
    ioReply.fData.resize(before);
    unsigned int done = 0;
    unsigned char* block = ioRequest.fWriter.beginBytes(ioRequest.fSpan.fLength);
    const int status = ioRequest.fSpanReader->fFile.readAt(ioRequest.fSpan.fOffset, block, ioRequest.fSpan.fLength, done);
    ioRequest.fWriter.endBytes(status == 0 ? done : 0);
    ioReply.fUint32 = static_cast<uint32_t>(status);
  } catch (const std::bad_alloc&) {
    logError(L"[%s] Out of memory serving action [%d]", "sendSpan", static_cast<int>(kOpsReadAt));
    ioReply.fData.clear();  // as notify answers it
    ioReply.fUint32 = static_cast<uint32_t>(ERR_NO_MEMORY);
  }
  return iComms.send(ioRequest.fResponseID, ioReply);
}

unsigned int PFileOps::frameMax(int iResponseID) const {
  const unsigned int frame = fSessions.isNull() ? 0 : fSessions->frameMaxOf(iResponseID);
  return frame != 0 ? frame : kFileOpsDefaultFrameMax;
}

unsigned int PFileOps::chunkMax(int iResponseID) const {
  const unsigned int frame = frameMax(iResponseID);
  return frame > 2 * kFileOpsFrameOverhead ? frame - kFileOpsFrameOverhead : kFileOpsFrameOverhead;
}

int PFileOps::permit(const PLiteral& iPath, unsigned int iNeed, const char* iFunction) {
  if ((fPolicy.access(iPath) & iNeed) == iNeed) return 0;
  logError(L"[%s] No %s access to [%ls]", iFunction, iNeed == ACCESS_READ ? "read" : "write", iPath);
  return ERR_ACCESS_DENIED;
}

int PFileOps::mayChange(const PRequest& iRequest, const char* iFunction) {
  if (iRequest.fRole == SESSIONS_ROLE_WRITE) return 0;
  logError(L"[%s] Role [%d] of [%ls] makes no change", iFunction, iRequest.fRole, iRequest.fIdentity);
  return ERR_ACCESS_DENIED;
}

int PFileOps::addHandle(const std::shared_ptr<PHandle>& iHandle, int& oNumber) {
  PStdMutexLock lock(fLock);
  if (fHandles.size() + fKept.size() >= static_cast<size_t>(fSettings.fHandlesMax)) return PERR_TOO_MANY_FILES;
  int number = 0;
  while (number == 0 || fHandles.count(number) != 0) {
    unsigned int bits = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&bits), sizeof bits) != 1) return ERR_FAILED;
    number = static_cast<int>(bits & 0x7FFFFFFFu);
  }
  fHandles.emplace(number, iHandle);
  oNumber = number;
  return 0;
}

template <class T>
std::shared_ptr<T> PFileOps::findHandle(int iNumber, PHandle::Kind iKind, int& oStatus) {
  PStdMutexLock lock(fLock);
  const auto entry = fHandles.find(iNumber);
  oStatus = entry == fHandles.end() ? FOPS_ERR_NO_HANDLE : entry->second->fKind != iKind ? FOPS_ERR_HANDLE_KIND : 0;
  return oStatus == 0 ? std::static_pointer_cast<T>(entry->second) : nullptr;
}

template std::shared_ptr<PListing> PFileOps::findHandle(int, PHandle::Kind, int&);
template std::shared_ptr<PReader> PFileOps::findHandle(int, PHandle::Kind, int&);
template std::shared_ptr<PChecksum> PFileOps::findHandle(int, PHandle::Kind, int&);
template std::shared_ptr<PUpload> PFileOps::findHandle(int, PHandle::Kind, int&);

std::shared_ptr<PHandle> PFileOps::takeHandle(int iNumber) {
  PStdMutexLock lock(fLock);
  const auto entry = fHandles.find(iNumber);
  if (entry == fHandles.end()) return nullptr;
  std::shared_ptr<PHandle> handle = std::move(entry->second);
  fHandles.erase(entry);
  return handle;
}

void PFileOps::releaseTarget(const std::string& iKey) {
  PStdMutexLock lock(fLock);
  fTargets.erase(iKey);
}

void PFileOps::expireKept() {
  std::vector<std::shared_ptr<PUpload>> expired;
  {
    PStdMutexLock lock(fLock);
    if (fKept.empty()) return;
    const long long now = PTime::monotonicMillis();
    for (auto entry = fKept.begin(); entry != fKept.end();) {
      if (entry->second.fDeadline > now) {
        ++entry;
        continue;
      }
      fTargets.erase(entry->second.fUpload->fKey);
      expired.push_back(std::move(entry->second.fUpload));
      entry = fKept.erase(entry);
    }
  }
  for (const std::shared_ptr<PUpload>& upload : expired) {
    logDebug(L"[%s] Kept upload to [%ls] expired", "expireKept", upload->fTarget);
    // No session sees it go: the audit is told here.
    if (!fAudit.isNull()) {
      fAudit->logInfo(0, L"UploadExpired identity=%ls path=%ls", "", zevoLogArg(upload->fIdentity), zevoLogArg(upload->fTarget));
    }
    upload->with([](PUploadFile& ioFile) { ioFile.discard(); });
  }
}

void PFileOps::endUpload(const std::shared_ptr<PUpload>& iUpload, bool iKeep) {
  const bool published = iUpload->with([](PUploadFile& iFile) { return iFile.published(); });
  if (iKeep && iUpload->fResumable && !published && fSettings.fResumeMax > 0) {
    std::shared_ptr<PUpload> evicted;
    {
      PStdMutexLock lock(fLock);
      if (fKept.size() >= static_cast<size_t>(fSettings.fResumeMax)) {
        auto oldest = fKept.begin();
        for (auto entry = fKept.begin(); entry != fKept.end(); ++entry) {
          if (entry->second.fDeadline < oldest->second.fDeadline) oldest = entry;
        }
        fTargets.erase(oldest->second.fUpload->fKey);
        evicted = std::move(oldest->second.fUpload);
        fKept.erase(oldest);
      }
      fKept[iUpload->fToken] = {iUpload, PTime::monotonicMillis() + 1000LL * fSettings.fResumeKeepSeconds};
    }
    if (evicted) evicted->with([](PUploadFile& ioFile) { ioFile.discard(); });
    logDebug(L"[%s] Upload to [%ls] kept for resuming", "endUpload", iUpload->fTarget);
    return;
  }
  iUpload->with([](PUploadFile& ioFile) { ioFile.discard(); });
  releaseTarget(iUpload->fKey);
}
