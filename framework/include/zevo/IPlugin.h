// What a plug-in library hands to the host from its entry function
// `IPlugin* zevoGetPlugin()` (exported with ordinary C++ mangling, the only
// symbol a plug-in exports).
//
// Life cycle, all on the host's thread: the host loads the library, calls
// the entry function once (a new object, holding one reference for the
// host; null: the library is refused), calls init once, and at shut-down
// gives back its reference (the plug-in then releases its services) before
// it unloads the library. The framework's components (zevoGetInstance.h)
// are registered before the entry function is called and stay until the
// plug-in's last reference is gone.
#pragma once

#include "zevo/IBase.h"
#include "zevo/PString.h"

class IPlugin : public IBase {
 public:
  // Creates and starts the plug-in's services (load configuration, add
  // listeners, bind module IDs): 0 when they run; any other code stops the
  // host's start-up, and the plug-in must have released what it made.
  // Called once, before any peer is served and while the host may still hold
  // privileges it will give up: open nothing a peer could use then.
  virtual int init() = 0;  // slot 2
  // The number of interfaces the plug-in publishes through getInstance: 0.
  virtual int getInterfaces(unsigned int& oCount) = 0;  // slot 3
  // An instance by component ID: 0 with oInstance (no reference for the
  // caller), or ERR_NO_INSTANCE with a null oInstance when there is none.
  virtual int getInstance(const PLiteral& iID, IBase*& oInstance) = 0;  // slot 4
};

// The mangled name under which hosts look the entry function up.
#define ZEVO_PLUGIN_ENTRY_SYMBOL "_Z13zevoGetPluginv"
