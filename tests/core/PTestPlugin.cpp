// A plug-in for the loader tests; it reports to the test executable.
#include <dlfcn.h>

#include "PTestPluginState.h"
#include "zevo/IPlugin.h"
#include "zevo/PErrors.h"
#include "zevo/PRefCounted.h"

namespace {

PTestPluginState* state() {
  static PTestPluginState sFallback{0, false, 0, 0};
  auto function = reinterpret_cast<PTestPluginState* (*)()>(dlsym(RTLD_DEFAULT, "zevoTestPluginState"));
  return function ? function() : &sFallback;
}

class PTestPlugin final : public PRefCounted<IPlugin> {
 public:
  PTestPlugin() { ++state()->fCreated; }
  ~PTestPlugin() override { ++state()->fDestroyed; }
  int init() override { return state()->fInitResult; }
  int getInterfaces(unsigned int& oCount) override { return static_cast<int>(oCount = 0); }
  int getInstance(const PLiteral&, IBase*& oInstance) override {
    oInstance = nullptr;
    return ERR_NO_INSTANCE;
  }
};

}  // namespace

__attribute__((visibility("default"))) IPlugin* zevoGetPlugin() {
  return state()->fEntryReturnsNull ? nullptr : new PTestPlugin;
}
