#include "PFileAccessPlugin.h"

#include <new>

#include "PFileAccess.h"
#include "zevo/PErrors.h"

PFileAccessPlugin::PFileAccessPlugin() : fRefCounter(0) {}

PFileAccessPlugin::~PFileAccessPlugin() = default;

void PFileAccessPlugin::incRef() { ++fRefCounter; }

void PFileAccessPlugin::decRef() {
  if (fRefCounter.change(-1) == 0) delete this;
}

int PFileAccessPlugin::init() {
  PFileAccess* service = nullptr;
  try {
    service = new PFileAccess();
  } catch (const std::bad_alloc&) {
    return ERR_NO_MEMORY;
  }
  // The held service (from an earlier init) goes first; the handle then
  // takes the new service's first reference.
  fFileAccess = static_cast<IBase*>(service);
  int result;
  try {
    result = service->init();
  } catch (const std::bad_alloc&) {
    result = ERR_NO_MEMORY;
  }
  if (result != 0) {
    fFileAccess = static_cast<IBase*>(nullptr);
    return result;
  }
  return 0;
}

int PFileAccessPlugin::getInterfaces(unsigned int& oCount) {
  oCount = 0;
  return 0;
}

int PFileAccessPlugin::getInstance(const PLiteral&, IBase*& oInstance) {
  oInstance = nullptr;
  return ERR_NO_INSTANCE;
}

IPlugin* zevoGetPlugin() { return new (std::nothrow) PFileAccessPlugin(); }
