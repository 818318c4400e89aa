// The virtual slots of the framework interfaces. A plug-in built here must
// call the same operation as a host built elsewhere to the same contract,
// so each slot is called by its index and must reach the named operation.

#include <gtest/gtest.h>

#include <string>

#include "zevo/IComms.h"
#include "zevo/ICommsEvent.h"
#include "zevo/IConfigManager.h"
#include "zevo/IEventDispatcher.h"
#include "zevo/ILogger.h"
#include "zevo/IPlugin.h"

namespace {

std::string gCalled;

template <class Signature, class Object>
Signature slot(Object* iObject, int iIndex) {
  void** table = *reinterpret_cast<void***>(iObject);
  return reinterpret_cast<Signature>(table[iIndex]);
}

#define RECORD(name) gCalled = name

struct Plugin : IPlugin {
  void incRef() override { RECORD("incRef"); }
  void decRef() override { RECORD("decRef"); }
  int init() override { RECORD("init"); return 0; }
  int getInterfaces(unsigned int&) override { RECORD("getInterfaces"); return 0; }
  int getInstance(const PLiteral&, IBase*&) override { RECORD("getInstance"); return 0; }
};

struct Listener : IEventListener {
  void incRef() override { RECORD("incRef"); }
  void decRef() override { RECORD("decRef"); }
  void notify(const PLiteral&, IBase*, int) override { RECORD("notify"); }
};

struct Dispatcher : IEventDispatcher {
  void incRef() override {}
  void decRef() override {}
  int addListener(const PLiteral&, IEventListener*) override { RECORD("addListener"); return 0; }
  int removeListener(const PLiteral&, IEventListener*) override { RECORD("removeListener"); return 0; }
};

struct Comms : IComms {
  void incRef() override {}
  void decRef() override {}
  int unbind(const PLiteral&) override { RECORD("unbind"); return 0; }
  int bind(const PLiteral&, PString&) override { RECORD("bind"); return 0; }
  int send(int, PCommsMessage&) override { RECORD("send"); return 0; }
};

struct Event : ICommsEvent {
  void incRef() override {}
  void decRef() override {}
  const PCommsTarget* getTargetID() override { RECORD("getTargetID"); return nullptr; }
  const PCommsMessage* getMessage() override { RECORD("getMessage"); return nullptr; }
  int getResponseID() override { RECORD("getResponseID"); return 0; }
};

struct Config : IConfig {
  void incRef() override {}
  void decRef() override {}
  int getInt(const PLiteral&, int&) override { RECORD("getInt"); return 0; }
  int getBool(const PLiteral&, bool&) override { RECORD("getBool"); return 0; }
  int getString(const PLiteral&, PString&) override { RECORD("getString"); return 0; }
};

struct ConfigManager : IConfigManager {
  void incRef() override {}
  void decRef() override {}
  int listIDs(std::vector<PString>&) override { RECORD("listIDs"); return 0; }
  int loadByID(const PLiteral&, PBaseptr<IConfig>&) override { RECORD("loadByID"); return 0; }
};

struct Logger : ILogger {
  void incRef() override {}
  void decRef() override {}
  int getLogger(const PLiteral&, PBaseptr<ILogger>&) override { RECORD("getLogger"); return 0; }
  int setLevel(int) override { RECORD("setLevel"); return 0; }
  int getLevel() override { RECORD("getLevel"); return 0; }
  void logInfo(int, const wchar_t*, const char*, ...) override { RECORD("logInfo"); }
  void logWarning(int, const wchar_t*, const char*, ...) override { RECORD("logWarning"); }
  void logError(int, const wchar_t*, const char*, ...) override { RECORD("logError"); }
  void logDebug(int, const wchar_t*, const char*, ...) override { RECORD("logDebug"); }
};

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
  IPlugin* p = &plugin;
  slot<void (*)(IPlugin*)>(p, 0)(p);
  EXPECT_EQ("incRef", gCalled);
  slot<void (*)(IPlugin*)>(p, 1)(p);
  EXPECT_EQ("decRef", gCalled);
  slot<int (*)(IPlugin*)>(p, 2)(p);
  EXPECT_EQ("init", gCalled);
  slot<int (*)(IPlugin*, unsigned int&)>(p, 3)(p, count);
  EXPECT_EQ("getInterfaces", gCalled);
  slot<int (*)(IPlugin*, const PLiteral&, IBase*&)>(p, 4)(p, text, instance);
  EXPECT_EQ("getInstance", gCalled);

  Listener listener;
  IEventListener* l = &listener;
  slot<void (*)(IEventListener*)>(l, 0)(l);
  EXPECT_EQ("incRef", gCalled);
  slot<void (*)(IEventListener*, const PLiteral&, IBase*, int)>(l, 2)(l, text, nullptr, 0);
  EXPECT_EQ("notify", gCalled);

  Dispatcher dispatcher;
  IEventDispatcher* d = &dispatcher;
  slot<int (*)(IEventDispatcher*, const PLiteral&, IEventListener*)>(d, 2)(d, text, l);
  EXPECT_EQ("addListener", gCalled);
  slot<int (*)(IEventDispatcher*, const PLiteral&, IEventListener*)>(d, 3)(d, text, l);
  EXPECT_EQ("removeListener", gCalled);

  Comms comms;
  IComms* c = &comms;
  slot<int (*)(IComms*, const PLiteral&)>(c, 2)(c, text);
  EXPECT_EQ("unbind", gCalled);
  slot<int (*)(IComms*, const PLiteral&, PString&)>(c, 3)(c, text, topic);
  EXPECT_EQ("bind", gCalled);
  slot<int (*)(IComms*, int, PCommsMessage&)>(c, 4)(c, 1, message);
  EXPECT_EQ("send", gCalled);

  Event event;
  ICommsEvent* e = &event;
  slot<const PCommsTarget* (*)(ICommsEvent*)>(e, 2)(e);
  EXPECT_EQ("getTargetID", gCalled);
  slot<const PCommsMessage* (*)(ICommsEvent*)>(e, 3)(e);
  EXPECT_EQ("getMessage", gCalled);
  slot<int (*)(ICommsEvent*)>(e, 4)(e);
  EXPECT_EQ("getResponseID", gCalled);

  ConfigManager manager;
  IConfigManager* m = &manager;
  slot<int (*)(IConfigManager*, std::vector<PString>&)>(m, 2)(m, ids);
  EXPECT_EQ("listIDs", gCalled);
  slot<int (*)(IConfigManager*, const PLiteral&, PBaseptr<IConfig>&)>(m, 3)(m, text, config);
  EXPECT_EQ("loadByID", gCalled);

  Config configuration;
  IConfig* g = &configuration;
  slot<int (*)(IConfig*, const PLiteral&, int&)>(g, 2)(g, text, number);
  EXPECT_EQ("getInt", gCalled);
  slot<int (*)(IConfig*, const PLiteral&, bool&)>(g, 3)(g, text, flag);
  EXPECT_EQ("getBool", gCalled);
  slot<int (*)(IConfig*, const PLiteral&, PString&)>(g, 4)(g, text, topic);
  EXPECT_EQ("getString", gCalled);

  Logger log;
  ILogger* o = &log;
  slot<int (*)(ILogger*, const PLiteral&, PBaseptr<ILogger>&)>(o, 2)(o, text, logger);
  EXPECT_EQ("getLogger", gCalled);
  slot<int (*)(ILogger*, int)>(o, 3)(o, 1);
  EXPECT_EQ("setLevel", gCalled);
  slot<int (*)(ILogger*)>(o, 4)(o);
  EXPECT_EQ("getLevel", gCalled);
  using LogSlot = void (*)(ILogger*, int, const wchar_t*, const char*, ...);
  const char* names[] = {"logInfo", "logWarning", "logError", "logDebug"};
  for (int i = 0; i < 4; ++i) {
    slot<LogSlot>(o, 5 + i)(o, 0, L"[%s]", "f");
    EXPECT_EQ(names[i], gCalled);
  }
}
