#include "PFileOpsPlugin.h"

#include <new>

#include "PFileOps.h"
#include "zevo/PErrors.h"

PFileOpsPlugin::PFileOpsPlugin() : fRefCounter(0) {}

PFileOpsPlugin::~PFileOpsPlugin() = default;

void PFileOpsPlugin::incRef() { ++fRefCounter; }

void PFileOpsPlugin::decRef() {
  if (fRefCounter.change(-1) == 0) delete this;
}

int PFileOpsPlugin::init() {
  PFileOps* service = nullptr;
  try {
    service = new PFileOps();
  } catch (const std::bad_alloc&) {
    return ERR_NO_MEMORY;
  }
  // The held service (from an earlier init) goes first; the handle then
  // takes the new service's first reference.
  fService = static_cast<IBase*>(service);
  int result;
  try {
    result = service->init();
  } catch (const std::bad_alloc&) {
    result = ERR_NO_MEMORY;
  }
  if (result != 0) {
    fService = static_cast<IBase*>(nullptr);
    return result;
  }
  return 0;
}

int PFileOpsPlugin::getInterfaces(unsigned int& oCount) {
  oCount = 0;
  return 0;
}

int PFileOpsPlugin::getInstance(const PLiteral&, IBase*& oInstance) {
  oInstance = nullptr;
  return ERR_NO_INSTANCE;
}

IPlugin* zevoGetPlugin() { return new (std::nothrow) PFileOpsPlugin(); }
