// The process-wide component registry behind zevoGetInstance.h.
//
// References are taken and given back outside the lock: a component's
// destruction may call back into the registry.
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "zevo/PErrors.h"
#include "zevo/PStdMutex.h"
#include "zevo/zevoGetInstance.h"

namespace {

struct PEntry {
  std::wstring fID;
  IBase* fInstance;
};

struct PRegistry {
  PStdMutex fMutex;
  std::vector<PEntry> fEntries ZEVO_GUARDED_BY(fMutex);  // in order of registration
};

// Never destroyed: static destructors of other libraries may still call in.
PRegistry& registry() {
  static PRegistry* sRegistry = new PRegistry;
  return *sRegistry;
}

bool validID(const PLiteral& iID) { return iID.ptr() != nullptr && iID.len() > 0; }

std::vector<PEntry>::iterator findEntry(std::vector<PEntry>& iEntries, const PLiteral& iID) {
  for (auto it = iEntries.begin(); it != iEntries.end(); ++it) {
    if (iID.cmp(it->fID.c_str(), static_cast<unsigned int>(it->fID.size())) == 0) return it;
  }
  return iEntries.end();
}

}  // namespace

int zevoGetInstance(const PLiteral& iID, IBase*& oInstance) {
  oInstance = nullptr;
  if (!validID(iID)) return ERR_NO_INSTANCE;
  PRegistry& reg = registry();
  PStdMutexLock lock(reg.fMutex);
  auto it = findEntry(reg.fEntries, iID);
  if (it == reg.fEntries.end()) return ERR_NO_INSTANCE;
  oInstance = it->fInstance;
  return 0;
}

int zevoRegisterInstance(const PLiteral& iID, IBase* iInstance) {
  if (!validID(iID) || !iInstance) return ERR_INVALID_ARG;
  iInstance->incRef();
  IBase* replaced = nullptr;
  try {
    PEntry entry{std::wstring(iID.ptr(), iID.len()), iInstance};
    PRegistry& reg = registry();
    PStdMutexLock lock(reg.fMutex);
    auto it = findEntry(reg.fEntries, iID);
    if (it != reg.fEntries.end()) {
      // A replacement counts as a new registration: it moves to the end.
      replaced = it->fInstance;
      reg.fEntries.erase(it);
    }
    reg.fEntries.push_back(std::move(entry));  // capacity freed by erase: cannot fail then
  } catch (const std::bad_alloc&) {
    iInstance->decRef();
    return ERR_NO_MEMORY;
  }
  if (replaced) replaced->decRef();
  return 0;
}

int zevoUnregisterInstance(const PLiteral& iID) {
  if (!validID(iID)) return ERR_NO_INSTANCE;
  IBase* removed = nullptr;
  {
    PRegistry& reg = registry();
    PStdMutexLock lock(reg.fMutex);
    auto it = findEntry(reg.fEntries, iID);
    if (it == reg.fEntries.end()) return ERR_NO_INSTANCE;
    removed = it->fInstance;
    reg.fEntries.erase(it);
  }
  removed->decRef();
  return 0;
}

void zevoClearInstances() {
  std::vector<PEntry> removed;
  {
    PRegistry& reg = registry();
    PStdMutexLock lock(reg.fMutex);
    removed.swap(reg.fEntries);
  }
  // Components registered by these destructors stay registered.
  for (auto it = removed.rbegin(); it != removed.rend(); ++it) it->fInstance->decRef();
}
