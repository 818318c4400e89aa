// The component registry and the plug-in loader.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "PTestPluginState.h"
#include "PTestSupport.h"
#include "zevo/ILogger.h"
#include "zevo/PRefCounted.h"
#include "zevo/core/PPluginLoader.h"
#include "zevo/zevoGetInstance.h"

namespace {

// Counts references and records the order of decRef calls; never frees itself.
struct PCountedBase : IBase {
  void incRef() override { ++fInc; }
  void decRef() override {
    ++fDec;
    if (fOrder) *fOrder += fName;
  }
  std::atomic<int> fInc{0}, fDec{0};
  std::string* fOrder = nullptr;
  char fName = '?';
};

// A logger component that frees itself on its last decRef.
class PSelfFreeingLogger final : public PRefCounted<ILogger> {
 public:
  PSelfFreeingLogger(ILogger* iNamed, bool* oGone) : fNamed(iNamed), fGone(oGone) {}
  int getLogger(const PLiteral&, PBaseptr<ILogger>& oTarget) override {
    oTarget = PBaseptr<ILogger>(fNamed);  // gives back the target's hold on this object
    return fLevel;                       // reads this object afterwards: ASan reports a premature free
  }
  int setLevel(int iLevel) override { return fLevel = iLevel; }
  int getLevel() override { return fLevel; }
  void logInfo(int, const wchar_t*, const char*, ...) override {}
  void logWarning(int, const wchar_t*, const char*, ...) override {}
  void logError(int, const wchar_t*, const char*, ...) override {}
  void logDebug(int, const wchar_t*, const char*, ...) override {}

 private:
  ~PSelfFreeingLogger() override { *fGone = true; }
  ILogger* fNamed;
  bool* fGone;
  int fLevel = 0;
};

PTestPluginState gState;

bool isMapped(const char* iPath) {
  void* handle = dlopen(iPath, RTLD_NOW | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PTestPluginState* zevoTestPluginState() { return &gState; }

TEST(ComponentRegistry, HoldsOneReferenceEachAndReleasesInReverseOrder) {
  PCountedBase a, b, c;
  std::string order;
  a.fName = 'a', b.fName = 'b', c.fName = 'c';
  a.fOrder = b.fOrder = c.fOrder = &order;
  IBase* found = &a;
  EXPECT_EQ(ERR_NO_INSTANCE, zevoGetInstance(L"test.1", found));
  EXPECT_EQ(nullptr, found);
  EXPECT_EQ(ERR_INVALID_ARG, zevoRegisterInstance(L"test.1", nullptr));
  EXPECT_EQ(ERR_INVALID_ARG, zevoRegisterInstance(L"", &a));
  ASSERT_EQ(0, zevoRegisterInstance(L"test.1", &a) + zevoRegisterInstance(L"test.1", &a));  // still one held
  ASSERT_EQ(0, zevoGetInstance(L"test.1", found));
  EXPECT_EQ(&a, found);
  EXPECT_EQ(1, a.fInc - a.fDec) << "a look-up adds none";
  EXPECT_EQ(ERR_NO_INSTANCE, zevoGetInstance(L"test.", found));
  ASSERT_EQ(0, zevoRegisterInstance(L"test.2", &b) + zevoRegisterInstance(L"test.1", &c));  // c replaces a
  EXPECT_EQ(a.fInc, a.fDec);
  EXPECT_EQ(ERR_NO_INSTANCE, zevoUnregisterInstance(L"test.3"));
  zevoClearInstances();
  EXPECT_EQ("aacb", order) << "cleared in reverse order of registration";
  EXPECT_EQ(2, b.fDec + c.fDec);
}

TEST(ComponentRegistry, AReleasedComponentMayCallBackIntoIt) {
  struct PCallingBack : IBase {
    void incRef() override {}
    void decRef() override {
      IBase* found = nullptr;
      fResult = zevoGetInstance(L"test.other", found) + zevoUnregisterInstance(L"test.other");
    }
    int fResult = 1;
  } first;
  PCountedBase other;
  ASSERT_EQ(0, zevoRegisterInstance(L"test.other", &other) + zevoRegisterInstance(L"test.cb", &first));
  ASSERT_EQ(0, zevoUnregisterInstance(L"test.cb"));  // must not deadlock
  EXPECT_EQ(0, first.fResult);
  EXPECT_EQ(other.fInc, other.fDec);
}

TEST(ComponentRegistry, AGetLoggerThatReplacesItsOwnHandleKeepsTheComponentAlive) {
  bool namedGone = false, componentGone = false;
  auto* named = new PSelfFreeingLogger(nullptr, &namedGone);
  auto* component = new PSelfFreeingLogger(named, &componentGone);
  ASSERT_EQ(0, zevoRegisterInstance(ZEVO_ID_LOGGER, component));
  {
    IBase* found = nullptr;
    ASSERT_EQ(0, zevoGetInstance(ZEVO_ID_LOGGER, found));
    PBaseptr<ILogger> logger(static_cast<ILogger*>(found));
    EXPECT_EQ(3, logger->setLevel(3));
    EXPECT_EQ(3, logger->getLogger(L"test.log", logger));
    EXPECT_EQ(named, logger.get());
  }
  EXPECT_TRUE(namedGone);
  EXPECT_FALSE(componentGone);
  zevoClearInstances();
  EXPECT_TRUE(componentGone);
}

TEST(PluginLoader, LoadsInitsAndUnloadsOnce) {
  gState = PTestPluginState{0, false, 0, 0};
  PPluginLoader loader;
  ASSERT_EQ(0, loader.load(ZEVO_TEST_PLUGIN)) << loader.lastError();
  EXPECT_TRUE(loader.isLoaded() && loader.plugin() && isMapped(ZEVO_TEST_PLUGIN));
  EXPECT_EQ(nullptr, dlsym(RTLD_DEFAULT, ZEVO_PLUGIN_ENTRY_SYMBOL)) << "opened RTLD_LOCAL";
  EXPECT_EQ(ERR_ALREADY, loader.load(ZEVO_TEST_NOENTRY));
  loader.unload();
  loader.unload();
  EXPECT_EQ(std::make_pair(1, 1), std::make_pair(gState.fCreated, gState.fDestroyed));
  EXPECT_FALSE(isMapped(ZEVO_TEST_PLUGIN));
  {
    PPluginLoader scoped;  // a wide path; unloaded by the destructor
    ASSERT_EQ(0, scoped.load(PLiteral(widen(ZEVO_TEST_PLUGIN).c_str())));
  }
  EXPECT_EQ(2, gState.fDestroyed);
  gState.fInitResult = -1234;
  EXPECT_EQ(-1234, loader.load(ZEVO_TEST_PLUGIN));
  gState.fInitResult = 7;  // not a failure code: reported as one
  EXPECT_EQ(ERR_FAILED, loader.load(ZEVO_TEST_PLUGIN));
  EXPECT_EQ(4, gState.fDestroyed);
  EXPECT_FALSE(loader.isLoaded() || isMapped(ZEVO_TEST_PLUGIN));
}

TEST(PluginLoader, RefusesWhatIsNotAPluginAndSaysWhy) {
  gState = PTestPluginState{0, false, 0, 0};
  const int descriptors = descriptorCount();
  PTempDir dir;
  writeText(dir / "libtext.so", "no\n");
  PPluginLoader loader;
  struct Case {
    std::string fPath;
    int fCode;
    std::string fSaid;
  };
  for (const Case& test : {Case{"", ERR_INVALID_ARG, ""}, {"/nonexistent/libzevop.missing.so", ERR_PLUGIN_OPEN, "libzevop.missing.so"},
                           {dir / "libtext.so", ERR_PLUGIN_OPEN, ""}, {ZEVO_TEST_UNRESOLVED, ERR_PLUGIN_OPEN, "zevoTestUndefinedFunction"},
                           {ZEVO_TEST_NOENTRY, ERR_PLUGIN_ENTRY, ""}}) {
    EXPECT_EQ(test.fCode, loader.load(test.fPath.c_str())) << test.fPath;
    EXPECT_NE(std::string::npos, loader.lastError().find(test.fSaid)) << loader.lastError();
  }
  EXPECT_EQ(ERR_INVALID_ARG, loader.load(PLiteral(L"/tmp/\xD800.so")));
  gState.fEntryReturnsNull = true;
  EXPECT_EQ(ERR_PLUGIN_ENTRY, loader.load(ZEVO_TEST_PLUGIN));
  EXPECT_FALSE(isMapped(ZEVO_TEST_PLUGIN) || isMapped(ZEVO_TEST_NOENTRY) || loader.isLoaded());
  EXPECT_EQ(descriptors, descriptorCount());
}
