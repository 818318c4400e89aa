// Loads one plug-in library and owns the host's reference to its plug-in.
//
// load() opens the library with RTLD_NOW | RTLD_LOCAL, calls its entry
// function `IPlugin* zevoGetPlugin()`, takes one reference (incRef) and calls
// init(). unload() gives that reference back, which destroys the plug-in when
// nobody else holds it, and then closes the library. References that other
// code still holds to the plug-in or to anything it created must be given back
// before unload(): closing the library unmaps their code.
//
// Threading: one loader is used by one thread at a time. Distinct loaders may
// be used concurrently.
#pragma once

#include <string>

#include "zevo/IPlugin.h"
#include "zevo/PExport.h"
#include "zevo/PString.h"

class ZEVO_EXPORT PPluginLoader {
 public:
  PPluginLoader();
  ~PPluginLoader();  // unloads
  PPluginLoader(const PPluginLoader&) = delete;
  PPluginLoader& operator=(const PPluginLoader&) = delete;

  // 0 when the plug-in is loaded and its init() returned 0. Otherwise nothing
  // stays loaded and the result is:
  //   ERR_INVALID_ARG   null or empty path, or a wide path not convertible to UTF-8
  //   ERR_ALREADY       this loader already holds a plug-in
  //   ERR_PLUGIN_OPEN   dlopen failed (lastError() has the dlerror text)
  //   ERR_PLUGIN_ENTRY  no entry symbol, or the entry returned null
  //   init()'s code     init() failed (ERR_FAILED if that code is not negative
  //                     or init threw); the plug-in has been given back
  int load(const char* iPath);
  int load(const PLiteral& iPath);  // the path as UTF-8

  // Gives back the host's reference, then closes the library. Does nothing
  // when nothing is loaded.
  void unload();

  // The loaded plug-in, without a reference for the caller; null when none.
  IPlugin* plugin() const { return fPlugin; }
  bool isLoaded() const { return fPlugin != nullptr; }
  // The loaded plug-in's path, or the path of the last failed load() (empty
  // after a null or empty one; ERR_ALREADY keeps the loaded one).
  const std::string& path() const { return fPath; }
  // Why the last load() failed; empty after a successful one.
  const std::string& lastError() const { return fLastError; }

 private:
  void* fHandle;
  IPlugin* fPlugin;
  std::string fPath;
  std::string fLastError;
};
