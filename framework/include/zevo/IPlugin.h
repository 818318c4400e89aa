// What a plug-in library hands to the host from its entry function
// `IPlugin* zevoGetPlugin()` (exported with ordinary C++ mangling).
#pragma once

#include "zevo/IBase.h"
#include "zevo/PString.h"

class IPlugin : public IBase {
 public:
  // Creates and starts the plug-in's services; 0 when they run.
  virtual int init() = 0;                                        // slot 2
  // Number of interfaces the plug-in publishes.
  virtual int getInterfaces(unsigned int& oCount) = 0;           // slot 3
  // An instance by component ID; a null instance and a code when there is none.
  virtual int getInstance(const PLiteral& iID, IBase*& oInstance) = 0;  // slot 4
};

// The mangled name under which hosts look the entry function up.
#define ZEVO_PLUGIN_ENTRY_SYMBOL "_Z13zevoGetPluginv"
