#include "PFakeFramework.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cwchar>

#include "zevo/zevoGetInstance.h"

namespace {

std::wstring format(const wchar_t* iFormat, const char* iFunction, va_list iArgs) {
  // The service passes the function name first; re-assemble the argument
  // list with it in front.
  std::vector<wchar_t> buffer(4096);
  va_list copy;
  va_copy(copy, iArgs);
  std::wstring withName;
  // "%s" first: format the name separately, then the rest of the format.
  const wchar_t* rest = std::wcsstr(iFormat, L"[%s]");
  if (rest == iFormat) {
    std::wstring prefix = L"[";
    for (const char* c = iFunction; *c; ++c) prefix.push_back(static_cast<wchar_t>(*c));
    prefix += L"]";
    int n = std::vswprintf(buffer.data(), buffer.size(), iFormat + 4, copy);
    va_end(copy);
    return prefix + (n >= 0 ? std::wstring(buffer.data(), n) : std::wstring(L"<format error>"));
  }
  va_end(copy);
  ADD_FAILURE() << "log format does not begin with [%s]";
  return L"";
}

using EntryFunction = IPlugin* (*)();

EntryFunction entry() {
  static EntryFunction function = [] {
    void* library = dlopen(ZEVO_FILEACCESS_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      ADD_FAILURE() << "dlopen: " << dlerror();
      return static_cast<EntryFunction>(nullptr);
    }
    return reinterpret_cast<EntryFunction>(dlsym(library, ZEVO_PLUGIN_ENTRY_SYMBOL));
  }();
  return function;
}

}  // namespace

#define FAKE_LOG(level)                     \
  va_list args;                             \
  va_start(args, iFunction);                \
  fOwner.add(level, iFormat, iFunction, args); \
  va_end(args)

void PFakeLogger::Named::logInfo(int, const wchar_t*, const char*, ...) {}
void PFakeLogger::Named::logWarning(int, const wchar_t*, const char*, ...) {}
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

bool PFakeLogger::has(int iLevel, const std::wstring& iText) {
  PStdMutexLock lock(fLock);
  for (const PLogLine& line : fLines) {
    if (line.fLevel == iLevel && line.fText == iText) return true;
  }
  return false;
}

size_t PFakeLogger::count(const std::wstring& iPrefix) {
  PStdMutexLock lock(fLock);
  size_t n = 0;
  for (const PLogLine& line : fLines) n += line.fText.compare(0, iPrefix.size(), iPrefix) == 0 ? 1 : 0;
  return n;
}

void PFakeLogger::clear() {
  PStdMutexLock lock(fLock);
  fLines.clear();
}

int PFakeConfig::getString(const PLiteral& iKey, PString& oValue) {
  const std::wstring key(iKey.ptr(), iKey.len());
  fAsked.push_back(key);
  auto failure = fFailures.find(key);
  if (failure != fFailures.end()) return failure->second;
  auto value = fValues.find(key);
  if (value == fValues.end()) return ERR_CONFIG_NO_KEY;
  oValue = value->second.c_str();
  return 0;
}

int PFakeConfigManager::listIDs(std::vector<PString>& oIDs) {
  oIDs.assign(1, PString(L"zevop.fileaccess"));
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
  return 0;
}

int PFakeDispatcher::removeListener(const PLiteral&, IEventListener*) { return 0; }

int PFakeComms::bind(const PLiteral& iModuleID, PString& iTopic) {
  fBindings.emplace_back(std::wstring(iModuleID.ptr(), iModuleID.len()), std::wstring(iTopic.ptr(), iTopic.len()));
  return fBindResult;
}

int PFakeComms::send(int iResponseID, PCommsMessage& iResponse) {
  PStdMutexLock lock(fLock);
  fReplies.push_back({iResponseID, iResponse});
  return fSendResult;
}

std::vector<PSentReply> PFakeComms::replies() {
  PStdMutexLock lock(fLock);
  return fReplies;
}

size_t PFakeComms::replyCount() {
  PStdMutexLock lock(fLock);
  return fReplies.size();
}

PPluginHarness::PPluginHarness() { zevoClearInstances(); }

PPluginHarness::~PPluginHarness() {
  stop();
  fDispatcher.fHeld.clear();  // the last references to the services
  zevoClearInstances();
  EXPECT_EQ(0, fLogger.refs()) << "logger references unbalanced";
  EXPECT_EQ(0, fLogger.fNamed.refs()) << "named logger references unbalanced";
  EXPECT_EQ(0, fComms.refs()) << "comms references unbalanced";
  EXPECT_EQ(0, fDispatcher.refs()) << "dispatcher references unbalanced";
  EXPECT_EQ(0, fConfigManager.refs()) << "configuration manager references unbalanced";
  EXPECT_EQ(0, fConfigManager.fConfig.refs()) << "configuration references unbalanced";
}

void PPluginHarness::registerLogger() { ASSERT_EQ(0, zevoRegisterInstance(PLiteral(ZEVO_ID_LOGGER), &fLogger)); }
void PPluginHarness::registerConfigManager() {
  ASSERT_EQ(0, zevoRegisterInstance(PLiteral(ZEVO_ID_CONFIG_MANAGER), &fConfigManager));
}
void PPluginHarness::registerDispatcher() {
  ASSERT_EQ(0, zevoRegisterInstance(PLiteral(ZEVO_ID_EVENT_DISPATCHER), &fDispatcher));
}
void PPluginHarness::registerComms() { ASSERT_EQ(0, zevoRegisterInstance(PLiteral(ZEVO_ID_COMMS), &fComms)); }

void PPluginHarness::registerAll() {
  registerLogger();
  registerConfigManager();
  registerDispatcher();
  registerComms();
  if (fConfigManager.fConfig.fValues.empty()) setPolicy(L"", L"", L"", L"");
}

void PPluginHarness::setPolicy(const std::wstring& iRead, const std::wstring& iWrite,
                               const std::wstring& iReadRecursive, const std::wstring& iWriteRecursive) {
  auto& values = fConfigManager.fConfig.fValues;
  values[L"fileaccess.read"] = iRead;
  values[L"fileaccess.write"] = iWrite;
  values[L"fileaccess.read.recursive"] = iReadRecursive;
  values[L"fileaccess.write.recursive"] = iWriteRecursive;
}

IPlugin* PPluginHarness::createPlugin() {
  EntryFunction function = entry();
  if (function == nullptr) return nullptr;
  IPlugin* plugin = function();
  if (plugin) plugin->incRef();
  return plugin;
}

int PPluginHarness::start() {
  stop();
  fPlugin = createPlugin();
  if (fPlugin == nullptr) return -1;
  return fPlugin->init();
}

int PPluginHarness::start(const std::wstring& iRead, const std::wstring& iWrite, const std::wstring& iReadRecursive,
                          const std::wstring& iWriteRecursive) {
  registerAll();
  setPolicy(iRead, iWrite, iReadRecursive, iWriteRecursive);
  return start();
}

void PPluginHarness::stop() {
  if (fPlugin) {
    IPlugin* plugin = fPlugin;
    fPlugin = nullptr;
    plugin->decRef();
  }
}

IEventListener* PPluginHarness::listener() {
  return fDispatcher.fListeners.empty() ? nullptr : fDispatcher.fListeners.back();
}

std::vector<PSentReply> PPluginHarness::deliver(uint32_t iAction, const std::vector<unsigned char>& iPayload,
                                                const std::wstring& iTopic) {
  PFakeEvent event;
  event.fMessage.fUint32 = iAction;
  event.fMessage.fData = iPayload;
  event.fResponseID = fNextResponseID++;
  event.fTarget.fAddress = L"test";
  event.fTarget.fConnection = 7;
  IEventListener* target = listener();
  if (target == nullptr) {
    ADD_FAILURE() << "no listener registered";
    return {};
  }
  target->notify(PLiteral(iTopic.c_str()), &event, 0);
  EXPECT_EQ(0, event.refs()) << "event references unbalanced";
  std::vector<PSentReply> after = fComms.replies();
  std::vector<PSentReply> fresh;
  for (const PSentReply& reply : after) {
    if (reply.fResponseID == event.fResponseID) fresh.push_back(reply);
  }
  return fresh;
}

PCommsMessage PPluginHarness::call(uint32_t iAction, const std::vector<unsigned char>& iPayload) {
  std::vector<PSentReply> replies = deliver(iAction, iPayload);
  EXPECT_EQ(1u, replies.size()) << "action " << iAction << " must be answered exactly once";
  return replies.empty() ? PCommsMessage() : replies.front().fMessage;
}

int replyInt32(const PCommsMessage& iReply) { return payloadInt32(iReply.fData); }
long long replyInt64(const PCommsMessage& iReply) { return payloadInt64(iReply.fData); }
bool replyBool(const PCommsMessage& iReply) { return payloadBool(iReply.fData); }
std::vector<unsigned char> replyBytes(const PCommsMessage& iReply) { return payloadBytes(iReply.fData); }
std::vector<std::wstring> replyStrings(const PCommsMessage& iReply) { return payloadStrings(iReply.fData); }

std::wstring moduleOf(const PCommsMessage& iReply) { return iReply.fModuleID.str(); }

int statusOf(const PCommsMessage& iReply) { return static_cast<int>(iReply.fUint32); }
