#include "zevo/core/PPluginLoader.h"

#include <dlfcn.h>

#include "zevo/PErrors.h"
#include "zevo/PUtils.h"

namespace {

using PEntryFunction = IPlugin* (*)();

// Sets a message without letting an allocation failure escape.
void setText(std::string& oText, const char* iText, const char* iMore = nullptr) noexcept {
  try {
    oText = iText;
    if (iMore) oText += iMore;
  } catch (...) {
    oText.clear();
  }
}

}  // namespace

PPluginLoader::PPluginLoader() : fHandle(nullptr), fPlugin(nullptr) {}

PPluginLoader::~PPluginLoader() { unload(); }

int PPluginLoader::load(const PLiteral& iPath) {
  std::string path;
  try {
    const int converted = iPath.len() == 0 ? ERR_INVALID_ARG : PUtils::toUtf8(iPath, path);
    if (converted != 0) {
      setText(fLastError, converted == PERR_NO_MEMORY ? "out of memory" : "invalid plug-in path");
      return converted == PERR_NO_MEMORY ? ERR_NO_MEMORY : ERR_INVALID_ARG;
    }
  } catch (...) {
    setText(fLastError, "out of memory");
    return ERR_NO_MEMORY;
  }
  return load(path.c_str());
}

int PPluginLoader::load(const char* iPath) {
  if (fHandle) {
    setText(fLastError, "a plug-in is already loaded from ", fPath.c_str());
    return ERR_ALREADY;
  }
  fLastError.clear();
  setText(fPath, iPath ? iPath : "");
  if (!iPath || !*iPath || fPath.empty()) {
    setText(fLastError, iPath && *iPath ? "out of memory" : "empty plug-in path");
    return iPath && *iPath ? ERR_NO_MEMORY : ERR_INVALID_ARG;
  }

  dlerror();  // clears a stale message
  void* handle = dlopen(fPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* text = dlerror();
    setText(fLastError, text ? text : "dlopen failed");
    return ERR_PLUGIN_OPEN;
  }

  // A symbol may legitimately be null, so dlerror() tells whether it exists.
  dlerror();
  void* symbol = dlsym(handle, ZEVO_PLUGIN_ENTRY_SYMBOL);
  const char* symbolError = dlerror();
  if (symbolError || !symbol) {
    setText(fLastError, symbolError ? symbolError : "the plug-in entry function is null");
    dlclose(handle);
    return ERR_PLUGIN_ENTRY;
  }

  IPlugin* plugin = nullptr;
  try {
    plugin = reinterpret_cast<PEntryFunction>(symbol)();
  } catch (...) {
    plugin = nullptr;
  }
  if (!plugin) {
    setText(fLastError, "the plug-in entry function returned no plug-in");
    dlclose(handle);
    return ERR_PLUGIN_ENTRY;
  }

  plugin->incRef();
  int result;
  try {
    result = plugin->init();
  } catch (...) {
    result = ERR_FAILED;
  }
  if (result != 0) {
    plugin->decRef();
    dlclose(handle);
    setText(fLastError, "plug-in init failed with ", std::to_string(result).c_str());
    return result < 0 ? result : ERR_FAILED;
  }

  fHandle = handle;
  fPlugin = plugin;
  return 0;
}

void PPluginLoader::unload() {
  if (!fHandle) return;
  IPlugin* plugin = fPlugin;
  void* handle = fHandle;
  fPlugin = nullptr;
  fHandle = nullptr;
  plugin->decRef();
  dlclose(handle);
}
