// The virtual slots of the framework interfaces. A plug-in built here must
// reach the same operation as a host built elsewhere to the same contract,
// so each slot is called by its index and must land in the named operation.
#include <gtest/gtest.h>

#include "zevo/IComms.h"
#include "zevo/ICommsEvent.h"
#include "zevo/IConfigManager.h"
#include "zevo/IEventDispatcher.h"
#include "zevo/ILogger.h"
#include "zevo/IPlugin.h"

namespace {

std::string gCalled;
#define ZEVO_RECORD(name, result) { gCalled = name; return result; }

struct Plugin : IPlugin {
  void incRef() override ZEVO_RECORD("incRef", )
  void decRef() override ZEVO_RECORD("decRef", )
  int init() override ZEVO_RECORD("init", 0)
  int getInterfaces(unsigned int&) override ZEVO_RECORD("getInterfaces", 0)
  int getInstance(const PLiteral&, IBase*&) override ZEVO_RECORD("getInstance", 0)
};
struct Listener : IEventListener {
  void incRef() override {}
  void decRef() override {}
  void notify(const PLiteral&, IBase*, int) override ZEVO_RECORD("notify", )
};
struct Dispatcher : IEventDispatcher {
  void incRef() override {}
  void decRef() override {}
  int addListener(const PLiteral&, IEventListener*) override ZEVO_RECORD("addListener", 0)
  int removeListener(const PLiteral&, IEventListener*) override ZEVO_RECORD("removeListener", 0)
};
struct Comms : IComms {
  void incRef() override {}
  void decRef() override {}
  int unbind(const PLiteral&) override ZEVO_RECORD("unbind", 0)
  int bind(const PLiteral&, PString&) override ZEVO_RECORD("bind", 0)
  int send(int, PCommsMessage&) override ZEVO_RECORD("send", 0)
};
struct Event : ICommsEvent {
  void incRef() override {}
  void decRef() override {}
  const PCommsTarget* getTargetID() override ZEVO_RECORD("getTargetID", nullptr)
  const PCommsMessage* getMessage() override ZEVO_RECORD("getMessage", nullptr)
  int getResponseID() override ZEVO_RECORD("getResponseID", 0)
};
struct Config : IConfig {
  void incRef() override {}
  void decRef() override {}
  int getInt(const PLiteral&, int&) override ZEVO_RECORD("getInt", 0)
  int getBool(const PLiteral&, bool&) override ZEVO_RECORD("getBool", 0)
  int getString(const PLiteral&, PString&) override ZEVO_RECORD("getString", 0)
};
struct ConfigManager : IConfigManager {
  void incRef() override {}
  void decRef() override {}
  int listIDs(std::vector<PString>&) override ZEVO_RECORD("listIDs", 0)
  int loadByID(const PLiteral&, PBaseptr<IConfig>&) override ZEVO_RECORD("loadByID", 0)
};
struct Logger : ILogger {
  void incRef() override {}
  void decRef() override {}
  int getLogger(const PLiteral&, PBaseptr<ILogger>&) override ZEVO_RECORD("getLogger", 0)
  int setLevel(int) override ZEVO_RECORD("setLevel", 0)
  int getLevel() override ZEVO_RECORD("getLevel", 0)
  void logInfo(int, const wchar_t*, const char*, ...) override ZEVO_RECORD("logInfo", )
  void logWarning(int, const wchar_t*, const char*, ...) override ZEVO_RECORD("logWarning", )
  void logError(int, const wchar_t*, const char*, ...) override ZEVO_RECORD("logError", )
  void logDebug(int, const wchar_t*, const char*, ...) override ZEVO_RECORD("logDebug", )
};

// Calls slot iIndex of iObject as a function of the given signature.
template <class Result, class Object, class... Args>
std::string callSlot(Object* iObject, int iIndex, Args... iArgs) {
  void** table = *reinterpret_cast<void***>(iObject);
  reinterpret_cast<Result (*)(Object*, Args...)>(table[iIndex])(iObject, iArgs...);
  return gCalled;
}

}  // namespace

TEST(InterfaceLayout, EverySlotReachesItsOperation) {
  PLiteral text(L"x");
  PString topic(L"t");
  unsigned int count = 0;
  IBase* instance = nullptr;
  PCommsMessage message;
  PBaseptr<IConfig> config;
  PBaseptr<ILogger> logger;
  std::vector<PString> ids;
  int number = 0;
  bool flag = false;
  Plugin plugin;
  Listener listener;
  Dispatcher dispatcher;
  Comms comms;
  Event event;
  Config configuration;
  ConfigManager manager;
  Logger log;
  IPlugin* p = &plugin;
  IEventListener* l = &listener;
  IEventDispatcher* d = &dispatcher;
  IComms* c = &comms;
  ICommsEvent* e = &event;
  IConfig* g = &configuration;
  IConfigManager* m = &manager;
  ILogger* o = &log;
  EXPECT_EQ("incRef", callSlot<void>(p, 0));
  EXPECT_EQ("decRef", callSlot<void>(p, 1));
  EXPECT_EQ("init", callSlot<int>(p, 2));
  EXPECT_EQ("getInterfaces", (callSlot<int, IPlugin, unsigned int&>(p, 3, count)));
  EXPECT_EQ("getInstance", (callSlot<int, IPlugin, const PLiteral&, IBase*&>(p, 4, text, instance)));
  EXPECT_EQ("notify", (callSlot<void, IEventListener, const PLiteral&, IBase*, int>(l, 2, text, nullptr, 0)));
  EXPECT_EQ("addListener", (callSlot<int, IEventDispatcher, const PLiteral&, IEventListener*>(d, 2, text, l)));
  EXPECT_EQ("removeListener", (callSlot<int, IEventDispatcher, const PLiteral&, IEventListener*>(d, 3, text, l)));
  EXPECT_EQ("unbind", (callSlot<int, IComms, const PLiteral&>(c, 2, text)));
  EXPECT_EQ("bind", (callSlot<int, IComms, const PLiteral&, PString&>(c, 3, text, topic)));
  EXPECT_EQ("send", (callSlot<int, IComms, int, PCommsMessage&>(c, 4, 1, message)));
  EXPECT_EQ("getTargetID", callSlot<const PCommsTarget*>(e, 2));
  EXPECT_EQ("getMessage", callSlot<const PCommsMessage*>(e, 3));
  EXPECT_EQ("getResponseID", callSlot<int>(e, 4));
  EXPECT_EQ("listIDs", (callSlot<int, IConfigManager, std::vector<PString>&>(m, 2, ids)));
  EXPECT_EQ("loadByID", (callSlot<int, IConfigManager, const PLiteral&, PBaseptr<IConfig>&>(m, 3, text, config)));
  EXPECT_EQ("getInt", (callSlot<int, IConfig, const PLiteral&, int&>(g, 2, text, number)));
  EXPECT_EQ("getBool", (callSlot<int, IConfig, const PLiteral&, bool&>(g, 3, text, flag)));
  EXPECT_EQ("getString", (callSlot<int, IConfig, const PLiteral&, PString&>(g, 4, text, topic)));
  EXPECT_EQ("getLogger", (callSlot<int, ILogger, const PLiteral&, PBaseptr<ILogger>&>(o, 2, text, logger)));
  EXPECT_EQ("setLevel", (callSlot<int, ILogger, int>(o, 3, 1)));
  EXPECT_EQ("getLevel", callSlot<int>(o, 4));
  const char* names[] = {"logInfo", "logWarning", "logError", "logDebug"};
  for (int i = 0; i < 4; ++i) {
    void** table = *reinterpret_cast<void***>(o);
    reinterpret_cast<void (*)(ILogger*, int, const wchar_t*, const char*, ...)>(table[5 + i])(o, 0, L"[%s]", "f");
    EXPECT_EQ(names[i], gCalled);
  }
}
