// Start-up and tear-down of the plug-in and its service, driven through the
// library's entry function as a host drives it.
#include <thread>

#include "PPluginHarness.h"
#include "PTestSupport.h"
#include "zevo/protocol/PFileAccessProtocol.h"

TEST(Startup, LoadsThePolicyRegistersAndBindsPublishingNothingOrStopsAtTheFirstFailure) {
  using H = PPluginHarness;
  const std::vector<std::wstring> keys = {L"fileaccess.read", L"fileaccess.write", L"fileaccess.read.recursive",
                                          L"fileaccess.write.recursive"};
  // name, components registered, what breaks, code, keys asked, listeners, bindings, comms references after
  const std::tuple<const char*, unsigned, std::function<void(H&)>, int, size_t, size_t, size_t, int> cases[] = {
      {"started", H::kAll, {}, 0, 4, 1, 1, 2},
      {"no configuration manager", H::kAll & ~H::kConfig, {}, ERR_NO_INSTANCE, 0, 0, 0, 1},
      {"the set cannot be loaded", H::kAll, [](H& h) { h.fConfigManager.fLoadResult = ERR_CONFIG_NO_SET; }, ERR_CONFIG_NO_SET, 0, 0, 0, 1},
      {"a key fails", H::kAll, [](H& h) { h.fConfigManager.fConfig.fFailures[L"fileaccess.write"] = ERR_CONFIG_NO_KEY; }, ERR_CONFIG_NO_KEY, 2, 0, 0, 1},
      {"a key is missing", H::kAll, [](H& h) { h.fConfigManager.fConfig.fValues.erase(L"fileaccess.write.recursive"); },
       ERR_CONFIG_NO_KEY, 4, 0, 0, 1},
      {"no dispatcher", H::kAll & ~H::kDispatcher, {}, ERR_NO_INSTANCE, 4, 0, 0, 1},
      {"the listener is refused", H::kAll, [](H& h) { h.fDispatcher.fAddResult = -77; }, -77, 4, 0, 0, 1},
      {"no comms", H::kAll & ~H::kComms, {}, ERR_NO_INSTANCE, 4, 1, 0, 0},
      {"bind fails", H::kAll, [](H& h) { h.fComms.fBindResult = -99; }, -99, 4, 1, 1, 2},
  };
  for (const auto& [name, registered, breaks, code, keysAsked, listeners, bindings, commsRefs] : cases) {
    SCOPED_TRACE(name);
    H harness;
    harness.registerFakes(registered);
    if (breaks) breaks(harness);
    EXPECT_EQ(code, harness.start());
    EXPECT_EQ(std::vector<std::wstring>(keys.begin(), keys.begin() + keysAsked), harness.fConfigManager.fConfig.fAsked);
    EXPECT_EQ(listeners, harness.fDispatcher.fListeners.size());
    for (const std::wstring& topic : harness.fDispatcher.fTopics) EXPECT_EQ(kFileAccessTopic, topic);
    const std::pair<std::wstring, std::wstring> binding{kFileAccessModuleW, kFileAccessTopic};
    EXPECT_EQ(std::vector(bindings, binding), harness.fComms.fBindings);
    EXPECT_EQ(commsRefs, harness.fComms.refs());
    EXPECT_EQ(listeners, static_cast<size_t>(harness.fLogger.fNamed.refs())) << "a failed service is released";
    if (listeners == 1 && bindings == 0) {  // the listener stays; with nothing bound, replies are dropped
      EXPECT_TRUE(harness.deliver(kIsExists, PPayload().str(L"/x")).empty());
    }
    if (code != 0) continue;
    // The plug-in publishes nothing; each call of the entry gives a new one.
    unsigned int count = 42;
    IBase* instance = harness.fPlugin;
    IPlugin* plugin = harness.fPlugin;
    EXPECT_EQ(std::make_tuple(0, 0u, ERR_NO_INSTANCE, static_cast<IBase*>(nullptr)),
              std::make_tuple(plugin->getInterfaces(count), count, plugin->getInstance(kFileAccessModuleW, instance), instance));
    IPlugin* other = harness.createPlugin();
    EXPECT_TRUE(other != nullptr && other != plugin);
    other->decRef();  // frees itself on its last reference
    EXPECT_EQ(std::vector<std::wstring>{L"zevop.fileaccess"}, harness.fConfigManager.fLoaded);
    EXPECT_EQ(L"zevop.fileaccess.log", harness.fLogger.fRequestedName);
    // Held: the named logger and comms by the service; the rest only by the registry.
    EXPECT_EQ((std::vector<int>{1, 1, 1, 1, 0}), (std::vector<int>{harness.fLogger.refs(), harness.fLogger.fNamed.refs(),
                                                                   harness.fDispatcher.refs(), harness.fConfigManager.refs(),
                                                                   harness.fConfigManager.fConfig.refs()}));
    harness.stop();
    EXPECT_EQ(2, harness.fComms.refs()) << "the dispatcher's reference keeps the service (the harness checks it lets go)";
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
  EXPECT_EQ(std::make_pair(2, size_t{2}), std::make_pair(harness.fComms.refs(), harness.fComms.fBindings.size()));
}

TEST(Startup, WithoutALoggerEventsArrivingWhileCommsIsBoundGetNoReplyOrTheirOne) {
  // Events come on another thread from the moment the listener is added,
  // while startComms goes on to bind the comms interface.
  PPluginHarness harness;
  harness.registerFakes(PPluginHarness::kAll & ~PPluginHarness::kLogger);  // no logger to order the threads
  std::atomic<bool> stop{false};
  std::atomic<int> delivered{0};
  std::thread deliverer;
  harness.fDispatcher.fOnAdd = [&](IEventListener* iListener) {
    deliverer = std::thread([&, iListener] {
      PFakeEvent event;
      event.fMessage.fUint32 = 9999;  // no handler: an empty reply
      for (; !stop; ++delivered, ++event.fResponseID) iListener->notify(PLiteral(kFileAccessTopic), &event, 0);
    });
    while (delivered == 0) std::this_thread::yield();
  };
  EXPECT_EQ(0, harness.start());
  for (const int bound = delivered; delivered < bound + 20;) std::this_thread::yield();
  stop = true;
  deliverer.join();
  EXPECT_GE(harness.fComms.replies().size(), 20u) << "the events after the binding are answered";
}
