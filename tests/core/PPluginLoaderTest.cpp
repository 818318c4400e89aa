#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "PTestPluginState.h"
#include "PTestSupport.h"
#include "zevo/PErrors.h"
#include "zevo/core/PPluginLoader.h"

namespace {

PTestPluginState gState;

// Whether the dynamic linker still has the library mapped.
bool isMapped(const char* iPath) {
  void* handle = dlopen(iPath, RTLD_NOW | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

class PluginLoader : public ::testing::Test {
 protected:
  void SetUp() override { gState = PTestPluginState{0, false, 0, 0}; }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PTestPluginState* zevoTestPluginState() { return &gState; }

TEST_F(PluginLoader, LoadsAndUnloadsOnce) {
  PPluginLoader loader;
  ASSERT_EQ(loader.load(ZEVO_TEST_PLUGIN), 0) << loader.lastError();
  ASSERT_TRUE(loader.isLoaded() && loader.plugin());
  EXPECT_EQ(loader.path(), ZEVO_TEST_PLUGIN);
  EXPECT_TRUE(isMapped(ZEVO_TEST_PLUGIN));
  EXPECT_EQ(dlsym(RTLD_DEFAULT, ZEVO_PLUGIN_ENTRY_SYMBOL), nullptr);  // opened RTLD_LOCAL
  EXPECT_EQ(gState.fCreated, 1);
  EXPECT_EQ(loader.load(ZEVO_TEST_NOENTRY), ERR_ALREADY);
  EXPECT_EQ(loader.path(), ZEVO_TEST_PLUGIN);

  loader.unload();
  loader.unload();
  EXPECT_EQ(gState.fDestroyed, 1);
  EXPECT_EQ(loader.plugin(), nullptr);
  EXPECT_FALSE(isMapped(ZEVO_TEST_PLUGIN));
  {
    PPluginLoader scoped;  // a wide path; unloaded by the destructor
    ASSERT_EQ(scoped.load(widen(ZEVO_TEST_PLUGIN).c_str()), 0) << scoped.lastError();
  }
  EXPECT_EQ(gState.fCreated, 2);
  EXPECT_EQ(gState.fDestroyed, 2);
  EXPECT_FALSE(isMapped(ZEVO_TEST_PLUGIN));
}

TEST_F(PluginLoader, InitFailureDestroysAndCloses) {
  PPluginLoader loader;
  gState.fInitResult = -1234;
  EXPECT_EQ(loader.load(ZEVO_TEST_PLUGIN), -1234);
  EXPECT_EQ(gState.fDestroyed, 1);
  EXPECT_FALSE(loader.isLoaded());
  EXPECT_FALSE(isMapped(ZEVO_TEST_PLUGIN));
  gState.fInitResult = 7;  // not a failure code: reported as one
  EXPECT_EQ(loader.load(ZEVO_TEST_PLUGIN), ERR_FAILED);
  EXPECT_EQ(gState.fDestroyed, 2);
  gState.fInitResult = 0;
  EXPECT_EQ(loader.load(ZEVO_TEST_PLUGIN), 0);  // usable again after a failure
}

TEST_F(PluginLoader, RefusesWhatIsNotAPlugin) {
  const int descriptors = openDescriptorCount();
  PPluginLoader loader;
  EXPECT_EQ(loader.load(static_cast<const char*>(nullptr)), ERR_INVALID_ARG);
  EXPECT_EQ(loader.load(""), ERR_INVALID_ARG);
  EXPECT_EQ(loader.load(L"/tmp/\xD800.so"), ERR_INVALID_ARG);
  EXPECT_EQ(loader.load("/nonexistent/libzevop.missing.so"), ERR_PLUGIN_OPEN);
  EXPECT_NE(loader.lastError().find("libzevop.missing.so"), std::string::npos) << loader.lastError();
  {
    PTempDir dir;
    writeFile(dir / "libtext.so", {'n', 'o', '\n'});
    EXPECT_EQ(loader.load((dir / "libtext.so").c_str()), ERR_PLUGIN_OPEN);
  }
  EXPECT_EQ(loader.load(ZEVO_TEST_UNRESOLVED), ERR_PLUGIN_OPEN);  // refused now, not at the call
  EXPECT_NE(loader.lastError().find("zevoTestUndefinedFunction"), std::string::npos) << loader.lastError();
  EXPECT_EQ(loader.load(ZEVO_TEST_NOENTRY), ERR_PLUGIN_ENTRY);
  EXPECT_FALSE(isMapped(ZEVO_TEST_NOENTRY));
  gState.fEntryReturnsNull = true;
  EXPECT_EQ(loader.load(ZEVO_TEST_PLUGIN), ERR_PLUGIN_ENTRY);
  EXPECT_FALSE(isMapped(ZEVO_TEST_PLUGIN));
  EXPECT_FALSE(loader.isLoaded());
  EXPECT_EQ(gState.fCreated, 0);
  EXPECT_EQ(openDescriptorCount(), descriptors);
}
