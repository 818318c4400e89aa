// Start-up and tear-down of the plug-in and its service, driven through the
// library's entry function as a host drives it.

#include <gtest/gtest.h>

#include "PFakeFramework.h"
#include "PTestSupport.h"

namespace {

const std::wstring kTopic = L"com.quorbex.zevo.fileaccess.topic";
const std::wstring kModule = L"com.quorbex.zevo.fileaccess";

std::vector<unsigned char> pathPayload(const std::wstring& iPath) { return PPayload().str(iPath).data(); }

}  // namespace

TEST(PluginObject, EntryGivesIndependentObjectsThatPublishNothing) {
  PPluginHarness harness;
  IPlugin* first = harness.createPlugin();
  IPlugin* second = harness.createPlugin();
  ASSERT_NE(nullptr, first);
  ASSERT_NE(nullptr, second);
  EXPECT_NE(first, second);

  unsigned int count = 99;
  EXPECT_EQ(0, first->getInterfaces(count));
  EXPECT_EQ(0u, count);
  for (const wchar_t* id : {L"com.quorbex.zevo.fileaccess", L"com.quorbex.zevo.logger", L""}) {
    IBase* instance = first;
    EXPECT_EQ(-2001, first->getInstance(PLiteral(id), instance));
    EXPECT_EQ(nullptr, instance);
  }

  // The same operations through the raw slots a host built elsewhere uses:
  // incRef 0, decRef 1, init 2, getInterfaces 3, getInstance 4.
  void** slots = *reinterpret_cast<void***>(second);
  count = 42;
  auto getInterfaces = reinterpret_cast<int (*)(IPlugin*, unsigned int&)>(slots[3]);
  EXPECT_EQ(0, getInterfaces(second, count));
  EXPECT_EQ(0u, count);
  IBase* instance = second;
  auto getInstance = reinterpret_cast<int (*)(IPlugin*, const PLiteral&, IBase*&)>(slots[4]);
  EXPECT_EQ(-2001, getInstance(second, PLiteral(L"x"), instance));
  EXPECT_EQ(nullptr, instance);

  first->decRef();   // each object frees itself on its last reference
  second->decRef();
}

TEST(Startup, LoadsPolicyRegistersAndBindsInOrder) {
  PPluginHarness harness;
  ASSERT_EQ(0, harness.start(L"/a, /b/", L"", L"/r", L"/w//"));

  EXPECT_EQ(std::vector<std::wstring>{L"zevop.fileaccess"}, harness.fConfigManager.fLoaded);
  const std::vector<std::wstring> keys = {L"fileaccess.read", L"fileaccess.write", L"fileaccess.read.recursive",
                                          L"fileaccess.write.recursive"};
  EXPECT_EQ(keys, harness.fConfigManager.fConfig.fAsked);
  EXPECT_EQ(std::vector<std::wstring>{kTopic}, harness.fDispatcher.fTopics);
  ASSERT_EQ(1u, harness.fComms.fBindings.size());
  EXPECT_EQ(kModule, harness.fComms.fBindings[0].first);
  EXPECT_EQ(kTopic, harness.fComms.fBindings[0].second);
  EXPECT_EQ(L"zevop.fileaccess.log", harness.fLogger.fRequestedName);

  // Held afterwards: the named logger and comms by the service; the
  // configuration and the dispatcher by nobody but the registry.
  EXPECT_EQ(1, harness.fLogger.refs());
  EXPECT_EQ(1, harness.fLogger.fNamed.refs());
  EXPECT_EQ(2, harness.fComms.refs());
  EXPECT_EQ(1, harness.fDispatcher.refs());
  EXPECT_EQ(1, harness.fConfigManager.refs());
  EXPECT_EQ(0, harness.fConfigManager.fConfig.refs());

  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[init]"));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[loadConfig] fCfgReadAccess: [/a, /b/] res: 0"));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[loadConfig] fCfgWriteAccess: [] res: 0"));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[loadConfig] fCfgWriteAccessRecursive: [/w//] res: 0"));

  // Tear-down: the host's reference, then the dispatcher's, destroy the
  // service, which gives back the comms interface and the logger.
  harness.stop();
  EXPECT_EQ(2, harness.fComms.refs());
  harness.fDispatcher.fHeld.clear();
  EXPECT_EQ(1, harness.fComms.refs());
  EXPECT_EQ(0, harness.fLogger.fNamed.refs());
}

TEST(Startup, RunsWithoutLoggerAndLogsNothing) {
  PPluginHarness harness;
  harness.registerConfigManager();
  harness.registerDispatcher();
  harness.registerComms();
  PTempDir dir;
  harness.setPolicy(dir.wide() + L"/", L"", L"", L"");
  ASSERT_EQ(0, harness.start());
  PCommsMessage reply = harness.call(2002, pathPayload(dir.wide(L"missing")));
  EXPECT_EQ(0, statusOf(reply));
  EXPECT_FALSE(replyBool(reply));
  EXPECT_TRUE(harness.fLogger.lines().empty());
  EXPECT_EQ(0, harness.fLogger.fComponentLines.load());
}

TEST(Startup, ConfigurationFailuresStopBeforeComms) {
  {
    SCOPED_TRACE("no configuration manager");
    PPluginHarness harness;
    harness.registerLogger();
    harness.registerDispatcher();
    harness.registerComms();
    EXPECT_EQ(-2001, harness.start());
    EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_ERROR, L"[loadConfig] getInstance ID_ICONFIGMANAGER err: -2001"));
    EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_ERROR, L"[init] Failed to loadConfig() continue with defaults err: -2001"));
    EXPECT_TRUE(harness.fDispatcher.fTopics.empty());
    EXPECT_TRUE(harness.fComms.fBindings.empty());
    EXPECT_EQ(0, harness.fLogger.fNamed.refs()) << "the plug-in must release the failed service";
  }
  {
    SCOPED_TRACE("the set cannot be loaded");
    PPluginHarness harness;
    harness.registerAll();
    harness.fConfigManager.fLoadResult = -3001;
    EXPECT_EQ(-3001, harness.start());
    EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_ERROR, L"[loadConfig] cfgManager->loadByID [zevop.fileaccess] err: -3001"));
    EXPECT_TRUE(harness.fConfigManager.fConfig.fAsked.empty());
    EXPECT_TRUE(harness.fDispatcher.fTopics.empty());
    EXPECT_EQ(0, harness.fLogger.fNamed.refs());
  }
  {
    SCOPED_TRACE("a key fails");
    PPluginHarness harness;
    harness.registerAll();
    harness.fConfigManager.fConfig.fFailures[L"fileaccess.write"] = -3002;
    EXPECT_EQ(-3002, harness.start());
    const std::vector<std::wstring> asked = {L"fileaccess.read", L"fileaccess.write"};
    EXPECT_EQ(asked, harness.fConfigManager.fConfig.fAsked);
    EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_ERROR, L"[loadConfig] Error getting [fileaccess.write] value from the config"));
    EXPECT_TRUE(harness.fDispatcher.fTopics.empty());
    EXPECT_EQ(0, harness.fConfigManager.fConfig.refs());
  }
  {
    SCOPED_TRACE("a key is missing");
    PPluginHarness harness;
    harness.registerAll();
    harness.fConfigManager.fConfig.fValues.erase(L"fileaccess.write.recursive");
    EXPECT_EQ(ERR_CONFIG_NO_KEY, harness.start());
    EXPECT_EQ(4u, harness.fConfigManager.fConfig.fAsked.size());
    EXPECT_TRUE(harness.fComms.fBindings.empty());
  }
}

TEST(Startup, CommsFailures) {
  {
    SCOPED_TRACE("no dispatcher");
    PPluginHarness harness;
    harness.registerLogger();
    harness.registerConfigManager();
    harness.registerComms();
    harness.setPolicy(L"", L"", L"", L"");
    EXPECT_EQ(-2001, harness.start());
    EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_ERROR, L"[startComms] Failed to get ID_IEVENTDISPATCHER err: -2001"));
    EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_ERROR, L"[init] Failed to startComms() continue with defaults err: -2001"));
    EXPECT_TRUE(harness.fComms.fBindings.empty());
    EXPECT_EQ(1, harness.fComms.refs());
  }
  {
    SCOPED_TRACE("the listener is refused");
    PPluginHarness harness;
    harness.registerAll();
    harness.fDispatcher.fAddResult = -77;
    EXPECT_EQ(-77, harness.start());
    EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_ERROR, L"[startComms] Unable to add ID_MODULE_FILEACCESS listener err: -77"));
    EXPECT_EQ(0u, harness.fLogger.count(L"[startComms] Get FA IComms ptr"));
    EXPECT_TRUE(harness.fComms.fBindings.empty());
    EXPECT_EQ(1, harness.fDispatcher.refs()) << "the dispatcher handle is given back";
  }
  {
    SCOPED_TRACE("no comms: the listener stays and replies are dropped");
    PPluginHarness harness;
    harness.registerLogger();
    harness.registerConfigManager();
    harness.registerDispatcher();
    harness.setPolicy(L"/", L"", L"", L"");
    EXPECT_EQ(-2001, harness.start());
    EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_ERROR, L"[startComms] Failed to get ID_ICOMMS err: -2001"));
    ASSERT_NE(nullptr, harness.listener());
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(harness.deliver(2002, pathPayload(L"/x")).empty());
    EXPECT_EQ(2u, harness.fLogger.count(L"[notify] No comms interface bound"));
    EXPECT_EQ(2u, harness.fLogger.count(L"[actionIsExists] Check if file [/x] exists"));
  }
  {
    SCOPED_TRACE("bind fails: comms stays held");
    PPluginHarness harness;
    harness.registerAll();
    harness.fComms.fBindResult = -99;
    EXPECT_EQ(-99, harness.start());
    EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_ERROR, L"[startComms] Unable to bind fFileAccessComms err: -99"));
    EXPECT_EQ(1u, harness.fDispatcher.fListeners.size());
    EXPECT_EQ(2, harness.fComms.refs()) << "the service, kept alive by the dispatcher, holds comms";
    harness.fDispatcher.fHeld.clear();
    EXPECT_EQ(1, harness.fComms.refs());
  }
}

TEST(Startup, SecondInitReleasesTheOldServiceFirst) {
  PPluginHarness harness;
  harness.registerAll();
  harness.fDispatcher.fRetain = false;  // only the plug-in holds its service
  ASSERT_EQ(0, harness.start());
  EXPECT_EQ(2, harness.fComms.refs());
  int commsRefsDuringSecondStart = -1;
  harness.fConfigManager.fOnLoad = [&] { commsRefsDuringSecondStart = harness.fComms.refs(); };
  ASSERT_EQ(0, harness.fPlugin->init());
  EXPECT_EQ(1, commsRefsDuringSecondStart) << "the first service must be gone before the second starts";
  EXPECT_EQ(2, harness.fComms.refs());
  EXPECT_EQ(2u, harness.fComms.fBindings.size());
  harness.stop();
  EXPECT_EQ(1, harness.fComms.refs());
}
