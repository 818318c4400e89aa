// The component registry and the plug-in loader.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "PTestPluginState.h"
#include "PTestSupport.h"
#include "zevo/core/PPluginLoader.h"
#include "zevo/zevoGetInstance.h"

namespace {

// Counts references and records the order of decRef calls; never frees itself.
struct PCountedBase : IBase {
  explicit PCountedBase(std::string* oOrder = nullptr, char iName = '?') : fOrder(oOrder), fName(iName) {}
  void incRef() override { ++fInc; }
  void decRef() override {
    if (++fDec, fOrder) *fOrder += fName;
  }
  std::atomic<int> fInc{0}, fDec{0};
  std::string* fOrder;
  char fName;
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
  std::string order;
  PCountedBase a(&order, 'a'), b(&order, 'b'), c(&order, 'c');
  IBase* found = &a;
  EXPECT_EQ(ERR_NO_INSTANCE, zevoGetInstance(L"test.1", found));
  EXPECT_EQ(nullptr, found);
  EXPECT_EQ(2 * ERR_INVALID_ARG, zevoRegisterInstance(L"test.1", nullptr) + zevoRegisterInstance(L"", &a));
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
    void decRef() override { fResult = zevoGetInstance(L"test.other", fFound) + zevoUnregisterInstance(L"test.other"); }
    IBase* fFound = nullptr;
    int fResult = 1;
  } first;
  PCountedBase other;
  ASSERT_EQ(0, zevoRegisterInstance(L"test.other", &other) + zevoRegisterInstance(L"test.cb", &first));
  ASSERT_EQ(0, zevoUnregisterInstance(L"test.cb"));  // must not deadlock
  EXPECT_EQ(0, first.fResult);
  EXPECT_EQ(other.fInc, other.fDec);
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
  PPluginLoader loader;
  for (const auto& [path, code, said] : {std::tuple{"", ERR_INVALID_ARG, ""}, {"/nonexistent/libzevop.x.so", ERR_PLUGIN_OPEN, "libzevop.x.so"},
                                         {ZEVO_TEST_UNRESOLVED, ERR_PLUGIN_OPEN, "zevoTestUndefinedFunction"},
                                         {ZEVO_TEST_NOENTRY, ERR_PLUGIN_ENTRY, ""}}) {
    EXPECT_EQ(code, loader.load(path)) << path;
    EXPECT_NE(std::string::npos, loader.lastError().find(said)) << loader.lastError();
  }
  EXPECT_EQ(ERR_INVALID_ARG, loader.load(PLiteral(L"/tmp/\xD800.so")));
  gState.fEntryReturnsNull = true;
  EXPECT_EQ(ERR_PLUGIN_ENTRY, loader.load(ZEVO_TEST_PLUGIN));
  EXPECT_FALSE(isMapped(ZEVO_TEST_PLUGIN) || isMapped(ZEVO_TEST_NOENTRY) || loader.isLoaded());
  EXPECT_EQ(descriptors, descriptorCount());
}
