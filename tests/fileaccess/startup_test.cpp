// Start-up and tear-down of the plug-in and its service, driven through the
// library's entry function as a host drives it.
#include <thread>

#include "PPluginHarness.h"
#include "PTestSupport.h"
#include "zevo/protocol/PFileAccessProtocol.h"

TEST(Startup, EntryGivesIndependentObjectsThatPublishNothing) {
  PPluginHarness harness;
  IPlugin* first = harness.createPlugin();
  IPlugin* second = harness.createPlugin();
  ASSERT_TRUE(first && second && first != second);
  // Through the raw slots a host built elsewhere uses: getInterfaces 3, getInstance 4.
  void** slots = *reinterpret_cast<void***>(second);
  unsigned int count = 42;
  EXPECT_EQ(0, reinterpret_cast<int (*)(IPlugin*, unsigned int&)>(slots[3])(second, count));
  EXPECT_EQ(0u, count);
  for (const wchar_t* id : {kFileAccessModuleW, L"com.quorbex.zevo.logger", L""}) {
    IBase* instance = first;
    EXPECT_EQ(ERR_NO_INSTANCE, reinterpret_cast<int (*)(IPlugin*, const PLiteral&, IBase*&)>(slots[4])(second, id, instance));
    EXPECT_EQ(nullptr, instance);
  }
  first->decRef();  // each frees itself on its last reference
  second->decRef();
}

TEST(Startup, LoadsThePolicyThenRegistersAndBinds) {
  PPluginHarness harness;
  ASSERT_EQ(0, harness.start(L"/a, /b/", L"", L"/r", L"/w//"));
  EXPECT_EQ(std::vector<std::wstring>{L"zevop.fileaccess"}, harness.fConfigManager.fLoaded);
  EXPECT_EQ((std::vector<std::wstring>{L"fileaccess.read", L"fileaccess.write", L"fileaccess.read.recursive",
                                       L"fileaccess.write.recursive"}),
            harness.fConfigManager.fConfig.fAsked);
  EXPECT_EQ(std::vector<std::wstring>{kFileAccessTopic}, harness.fDispatcher.fTopics);
  EXPECT_EQ((std::vector<std::pair<std::wstring, std::wstring>>{{kFileAccessModuleW, kFileAccessTopic}}),
            harness.fComms.fBindings);
  EXPECT_EQ(L"zevop.fileaccess.log", harness.fLogger.fRequestedName);
  // Held: the named logger and comms by the service; the rest only by the registry.
  EXPECT_EQ((std::vector<int>{1, 1, 1, 1, 2, 0}),
            (std::vector<int>{harness.fLogger.refs(), harness.fLogger.fNamed.refs(), harness.fDispatcher.refs(),
                              harness.fConfigManager.refs(), harness.fComms.refs(), harness.fConfigManager.fConfig.refs()}));
  // The host's reference, then the dispatcher's: the service gives back what it holds.
  harness.stop();
  EXPECT_EQ(2, harness.fComms.refs());
  harness.fDispatcher.fHeld.clear();
  EXPECT_EQ(1, harness.fComms.refs());
  EXPECT_EQ(0, harness.fLogger.fNamed.refs());
}

TEST(Startup, RunsWithoutALoggerAndLogsNothing) {
  PTempDir dir;
  PPluginHarness harness;
  harness.registerFakes(PPluginHarness::kAll & ~PPluginHarness::kLogger);
  harness.setPolicy(dir.wide(), L"", L"", L"");
  ASSERT_EQ(0, harness.start());
  EXPECT_FALSE(replyBool(harness.call(kIsExists, PPayload().str(dir.wide("missing")))));
  EXPECT_TRUE(harness.fLogger.lines().empty());
  EXPECT_EQ(0, harness.fLogger.fComponentLines.load());
}

TEST(Startup, TheFirstFailingStepEndsItWithItsCode) {
  struct Case {
    const char* fName;
    unsigned fRegistered;
    std::function<void(PPluginHarness&)> fBreak;
    int fCode;
    size_t fKeysAsked, fListeners, fBindings;
    int fCommsRefsAfter;  // the service, kept alive by the dispatcher, may hold comms
  };
  using H = PPluginHarness;
  const Case cases[] = {
      {"no configuration manager", H::kAll & ~H::kConfig, {}, ERR_NO_INSTANCE, 0, 0, 0, 1},
      {"the set cannot be loaded", H::kAll, [](H& h) { h.fConfigManager.fLoadResult = -3001; }, -3001, 0, 0, 0, 1},
      {"a key fails", H::kAll, [](H& h) { h.fConfigManager.fConfig.fFailures[L"fileaccess.write"] = -3002; }, -3002, 2, 0, 0, 1},
      {"a key is missing", H::kAll, [](H& h) { h.fConfigManager.fConfig.fValues.erase(L"fileaccess.write.recursive"); },
       ERR_CONFIG_NO_KEY, 4, 0, 0, 1},
      {"no dispatcher", H::kAll & ~H::kDispatcher, {}, ERR_NO_INSTANCE, 4, 0, 0, 1},
      {"the listener is refused", H::kAll, [](H& h) { h.fDispatcher.fAddResult = -77; }, -77, 4, 0, 0, 1},
      {"no comms", H::kAll & ~H::kComms, {}, ERR_NO_INSTANCE, 4, 1, 0, 0},
      {"bind fails", H::kAll, [](H& h) { h.fComms.fBindResult = -99; }, -99, 4, 1, 1, 2},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.fName);
    PPluginHarness harness;
    harness.registerFakes(test.fRegistered);
    if (test.fBreak) test.fBreak(harness);
    EXPECT_EQ(test.fCode, harness.start());
    EXPECT_EQ(test.fKeysAsked, harness.fConfigManager.fConfig.fAsked.size());
    EXPECT_EQ(test.fListeners, harness.fDispatcher.fListeners.size());
    EXPECT_EQ(test.fBindings, harness.fComms.fBindings.size());
    EXPECT_EQ(test.fCommsRefsAfter, harness.fComms.refs());
    EXPECT_EQ(test.fListeners, static_cast<size_t>(harness.fLogger.fNamed.refs())) << "a failed service is released";
    if (test.fListeners == 1 && test.fBindings == 0) {
      // The listener stays; with nothing bound, replies are dropped and
      // later events are still taken.
      for (int i = 0; i < 2; ++i) EXPECT_TRUE(harness.deliver(kIsExists, PPayload().str(L"/x")).empty());
      EXPECT_EQ(2u, harness.fLogger.count(L"[notify] Message fAction"));
    }
  }
}

TEST(Startup, ASecondInitReleasesTheOldServiceFirst) {
  PPluginHarness harness;
  harness.registerFakes();
  harness.fDispatcher.fRetain = false;  // only the plug-in holds its service
  ASSERT_EQ(0, harness.start());
  int commsRefsDuringSecondStart = -1;
  harness.fConfigManager.fOnLoad = [&] { commsRefsDuringSecondStart = harness.fComms.refs(); };
  ASSERT_EQ(0, harness.fPlugin->init());
  EXPECT_EQ(1, commsRefsDuringSecondStart) << "the first service must be gone before the second starts";
  EXPECT_EQ(2, harness.fComms.refs());
  EXPECT_EQ(2u, harness.fComms.fBindings.size());
}

TEST(Startup, EventsArrivingWhileCommsIsBoundGetNoReplyOrTheirOne) {
  // Events come on another thread from the moment the listener is added,
  // while startComms goes on to bind the comms interface.
  PPluginHarness harness;
  harness.registerFakes(PPluginHarness::kAll & ~PPluginHarness::kLogger);  // no logger to order the threads
  std::atomic<bool> stop{false};
  std::atomic<int> delivered{0};
  std::thread deliverer;
  harness.fDispatcher.fOnAdd = [&](IEventListener* iListener) {
    deliverer = std::thread([&, iListener] {
      for (int id = 1; !stop.load(std::memory_order_relaxed); ++id) {
        PFakeEvent event;
        event.fMessage.fUint32 = 9999;  // no handler: an empty reply
        event.fResponseID = id;
        iListener->notify(PLiteral(kFileAccessTopic), &event, 0);
        delivered.fetch_add(1, std::memory_order_relaxed);
      }
    });
    while (delivered.load(std::memory_order_relaxed) == 0) std::this_thread::yield();
  };
  EXPECT_EQ(0, harness.start());
  const int bound = delivered.load(std::memory_order_relaxed);
  while (delivered.load(std::memory_order_relaxed) < bound + 20) std::this_thread::yield();
  stop = true;
  deliverer.join();
  EXPECT_GE(harness.fComms.replies().size(), 20u) << "the events after the binding are answered";
}
