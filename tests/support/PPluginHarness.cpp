#include "PPluginHarness.h"

#include <dlfcn.h>

#include <map>

#include "zevo/zevoGetInstance.h"

static const wchar_t* const kPolicyKeys[] = {L"fileaccess.read", L"fileaccess.write", L"fileaccess.read.recursive",
                                             L"fileaccess.write.recursive"};

PPluginHarness::PPluginHarness(const char* iLibrary, const wchar_t* iTopic) : fLibrary(iLibrary), fTopic(iTopic) {
  zevoClearInstances();
}

PPluginHarness::~PPluginHarness() {
  stop();
  fDispatcher.fHeld.clear();  // the last references to the services
  zevoClearInstances();
  for (int refs : {fLogger.refs(), fLogger.fNamed.refs(), fComms.refs(), fDispatcher.refs(), fConfigManager.refs(),
                   fConfigManager.fConfig.refs(), fSessions.refs()}) {
    EXPECT_EQ(0, refs) << "references unbalanced";
  }
  // A service's own lines are errors and debug lines beginning "[%s]"; an
  // information line is an audit line (zevo.audit) of its own form.
  for (const PLogLine& line : fLogger.lines()) {
    if (line.fLevel == LOG_LEVEL_INFO && fLibrary != std::string(ZEVO_FILEACCESS_PLUGIN)) continue;
    EXPECT_TRUE(line.fLevel == LOG_LEVEL_ERROR || line.fLevel == LOG_LEVEL_DEBUG) << "the service called the logger's " << line.fLevel;
    EXPECT_EQ(0u, line.fText.find(L"[")) << "every format begins [%s]";
  }
}

void PPluginHarness::registerFakes(unsigned iWhich) {
  const std::pair<const wchar_t*, IBase*> fakes[] = {{ZEVO_ID_LOGGER, &fLogger}, {ZEVO_ID_CONFIG_MANAGER, &fConfigManager},
                                                     {ZEVO_ID_EVENT_DISPATCHER, &fDispatcher}, {ZEVO_ID_COMMS, &fComms},
                                                     {ZEVO_ID_SESSIONS, &fSessions}};
  for (unsigned i = 0; i < 5; ++i) {
    if ((iWhich & (1u << i)) != 0) {
      EXPECT_EQ(0, zevoRegisterInstance(PLiteral(fakes[i].first), fakes[i].second));
    }
  }
  for (const wchar_t* key : kPolicyKeys) fConfigManager.fConfig.fValues.emplace(key, L"");
}

IPlugin* PPluginHarness::createPlugin() {
  // Each library stays loaded for the process's life, as a host's plug-ins do.
  static std::map<std::string, IPlugin* (*)()> entries;
  auto found = entries.find(fLibrary);
  if (found == entries.end()) {
    void* library = dlopen(fLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(nullptr, library) << dlerror();
    found = entries.emplace(fLibrary, library ? reinterpret_cast<IPlugin* (*)()>(dlsym(library, ZEVO_PLUGIN_ENTRY_SYMBOL)) : nullptr).first;
  }
  const auto entry = found->second;
  IPlugin* plugin = entry ? entry() : nullptr;
  if (plugin) plugin->incRef();
  return plugin;
}

int PPluginHarness::start() {
  stop();
  fPlugin = createPlugin();
  return fPlugin ? fPlugin->init() : -1;
}

int PPluginHarness::start(const std::wstring& iRead, const std::wstring& iWrite, const std::wstring& iReadTree,
                          const std::wstring& iWriteTree) {
  registerFakes();
  const std::wstring* values[] = {&iRead, &iWrite, &iReadTree, &iWriteTree};
  for (int i = 0; i < 4; ++i) fConfigManager.fConfig.fValues[kPolicyKeys[i]] = *values[i];
  return start();
}

void PPluginHarness::stop() {
  if (IPlugin* plugin = std::exchange(fPlugin, nullptr)) plugin->decRef();
}

IEventListener* PPluginHarness::listener() { return fDispatcher.fListeners.empty() ? nullptr : fDispatcher.fListeners.back(); }

std::vector<PSentReply> PPluginHarness::deliver(uint32_t iAction, const std::vector<unsigned char>& iPayload,
                                                const std::wstring& iTopic) {
  PFakeEvent event;
  event.fMessage.fUint32 = iAction;
  event.fMessage.fData = iPayload;
  event.fResponseID = fNextResponseID++;
  if (listener() == nullptr) {
    ADD_FAILURE() << "no listener registered";
    return {};
  }
  listener()->notify(PLiteral(iTopic.empty() ? fTopic.c_str() : iTopic.c_str()), &event, 0);
  EXPECT_EQ(0, event.refs()) << "event references unbalanced";
  std::vector<PSentReply> fresh;
  for (const PSentReply& reply : fComms.replies()) {
    if (reply.fResponseID == event.fResponseID) fresh.push_back(reply);
  }
  return fresh;
}

PCommsMessage PPluginHarness::call(uint32_t iAction, const std::vector<unsigned char>& iPayload) {
  const std::vector<PSentReply> replies = deliver(iAction, iPayload);
  EXPECT_EQ(1u, replies.size()) << "action " << iAction << " must be answered exactly once";
  return replies.empty() ? PCommsMessage() : replies.front().fMessage;
}
