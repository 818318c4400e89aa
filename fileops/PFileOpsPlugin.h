// The plug-in object that the library's entry function hands to the host.
// It publishes no interfaces: the file-operations service is reached only
// through events on its topic.
#pragma once

#include "zevo/IPlugin.h"
#include "zevo/PCounter.h"
#include "zevo/PPtr.h"

class PFileOpsPlugin : public IPlugin {
 public:
  PFileOpsPlugin();

  void incRef() override;
  void decRef() override;
  // Creates and starts the one PFileOps; replaces a service held from an
  // earlier init. On failure the service is released and its code returned.
  int init() override;
  int getInterfaces(unsigned int& oCount) override;
  int getInstance(const PLiteral& iID, IBase*& oInstance) override;
  virtual ~PFileOpsPlugin();

 private:
  PCounter fRefCounter;          // not synchronised: the host owns the plug-in
  PBaseptr<IBase> fService;   // the service, held through its IBase
};

// The library's entry function; every call creates a new plug-in object.
__attribute__((visibility("default"))) IPlugin* zevoGetPlugin();
