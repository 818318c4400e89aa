#include "PFakes.h"

#include "zevo/PErrors.h"

#include <unistd.h>

#include <cstdarg>
#include <cwchar>
#include <utility>

namespace {

// Every format of the service begins "[%s]" with the function's name.
std::wstring format(const wchar_t* iFormat, const char* iFunction, va_list iArgs) {
  if (std::wcsncmp(iFormat, L"[%s]", 4) != 0) return L"<no [%s] first>";
  std::vector<wchar_t> buffer(4096);
  const int n = std::vswprintf(buffer.data(), buffer.size(), iFormat + 4, iArgs);
  return L"[" + widen(iFunction) + L"]" + (n >= 0 ? std::wstring(buffer.data(), n) : L"<format error>");
}

}  // namespace

#define FAKE_LOG(level)                          \
  va_list args;                                  \
  va_start(args, iFunction);                     \
  fOwner.add(level, iFormat, iFunction, args);   \
  va_end(args)

int PFakeLogger::Named::setLevel(int) {
  PStdMutexLock lock(fOwner.fLock);
  fOwner.fLines.push_back({-1, L"setLevel"});
  return 0;
}
int PFakeLogger::Named::getLevel() {
  PStdMutexLock lock(fOwner.fLock);
  fOwner.fLines.push_back({-1, L"getLevel"});
  return LOG_LEVEL_DEBUG;
}
void PFakeLogger::Named::logInfo(int, const wchar_t* iFormat, const char* iFunction, ...) { FAKE_LOG(LOG_LEVEL_INFO); }
void PFakeLogger::Named::logWarning(int, const wchar_t* iFormat, const char* iFunction, ...) { FAKE_LOG(LOG_LEVEL_WARNING); }
void PFakeLogger::Named::logError(int, const wchar_t* iFormat, const char* iFunction, ...) { FAKE_LOG(LOG_LEVEL_ERROR); }
void PFakeLogger::Named::logDebug(int, const wchar_t* iFormat, const char* iFunction, ...) { FAKE_LOG(LOG_LEVEL_DEBUG); }

int PFakeLogger::getLogger(const PLiteral& iName, PBaseptr<ILogger>& oTarget) {
  fRequestedName = iName.ptr() ? iName.ptr() : L"";
  oTarget = &fNamed;  // may release the handle's reference to this very object
  return 0;
}

void PFakeLogger::add(int iLevel, const wchar_t* iFormat, const char* iFunction, va_list iArgs) {
  std::wstring text = format(iFormat, iFunction, iArgs);
  PStdMutexLock lock(fLock);
  fLines.push_back({iLevel, text});
}

std::vector<PLogLine> PFakeLogger::lines() {
  PStdMutexLock lock(fLock);
  return fLines;
}

int PFakeConfig::getString(const PLiteral& iKey, PString& oValue) {
  const std::wstring key(iKey.ptr(), iKey.len());
  fAsked.push_back(key);
  if (fFailures.count(key)) return fFailures[key];
  auto value = fValues.find(key);
  if (value == fValues.end()) return ERR_CONFIG_NO_KEY;
  oValue = value->second.c_str();
  return 0;
}

int PFakeConfig::getInt(const PLiteral& iKey, int& oValue) {
  PString text;
  const int rc = getString(iKey, text);
  if (rc != 0) return rc;
  size_t used = 0;
  try {
    const int value = std::stoi(text.str(), &used);
    if (used != text.len()) return ERR_CONFIG_VALUE;
    oValue = value;
  } catch (const std::exception&) {
    return ERR_CONFIG_VALUE;
  }
  return 0;
}

int PFakeSessions::describe(int iResponseID, PString& oIdentity, int& oRole) {
  if (iResponseID <= 0) return ERR_COMMS_NO_EXCHANGE;
  oIdentity = fIdentity.c_str();
  oRole = fRole;
  return 0;
}

int PFakeConfigManager::loadByID(const PLiteral& iID, PBaseptr<IConfig>& oConfig) {
  if (fOnLoad) fOnLoad();
  fLoaded.emplace_back(iID.ptr(), iID.len());
  if (fLoadResult != 0) return fLoadResult;
  oConfig = &fConfig;
  return 0;
}

int PFakeDispatcher::addListener(const PLiteral& iTopic, IEventListener* iListener) {
  fTopics.emplace_back(iTopic.ptr(), iTopic.len());
  if (fAddResult != 0) return fAddResult;
  fListeners.push_back(iListener);
  if (fRetain) fHeld.emplace_back(iListener);
  if (fOnAdd) fOnAdd(iListener);
  return 0;
}

int PFakeComms::bind(const PLiteral& iModuleID, PString& iTopic) {
  fBindings.emplace_back(std::wstring(iModuleID.ptr(), iModuleID.len()), iTopic.str());
  return fBindResult;
}

int PFakeComms::send(int iResponseID, PCommsMessage& iResponse) {
  PStdMutexLock lock(fLock);
  fReplies.push_back({iResponseID, iResponse});
  return fSendResult;
}

int PFakeComms::sendFile(int iResponseID, PCommsMessage& iResponse, const PFileSpan& iSpan) {
  if (!fCarriesFiles || iSpan.fLength == 0) return ERR_INVALID_ARG;
  PCommsMessage whole = iResponse;
  const size_t at = whole.fData.size();
  whole.fData.resize(at + iSpan.fLength);
  const ssize_t got = ::pread(iSpan.fFd, whole.fData.data() + at, iSpan.fLength, static_cast<off_t>(iSpan.fOffset));
  if (got != static_cast<ssize_t>(iSpan.fLength)) whole.fData.resize(at);  // a cut reply: the peer would see no frame
  PStdMutexLock lock(fLock);
  ++fFileReplies;
  fReplies.push_back({iResponseID, whole});
  return fSendResult;
}

std::vector<PSentReply> PFakeComms::replies() {
  PStdMutexLock lock(fLock);
  return fReplies;
}

std::vector<PSentReply> PFakeComms::take() {
  PStdMutexLock lock(fLock);
  return std::exchange(fReplies, {});
}
