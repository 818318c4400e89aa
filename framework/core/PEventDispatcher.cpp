#include "zevo/core/PEventDispatcher.h"

#include <algorithm>
#include <new>
#include <string_view>

#include "zevo/core/PReactor.h"
#include "zevo/PErrors.h"

namespace {

std::wstring_view keyOf(const PLiteral& iTopic) { return std::wstring_view(iTopic.ptr() ? iTopic.ptr() : L"", iTopic.len()); }

}  // namespace

int PEventDispatcher::create(int iWorkers, PBaseptr<PEventDispatcher>& oDispatcher) {
  if (iWorkers < 1 || iWorkers > 256) return ERR_INVALID_ARG;
  PEventDispatcher* dispatcher = new (std::nothrow) PEventDispatcher(iWorkers);
  if (dispatcher == nullptr) return ERR_NO_MEMORY;
  PBaseptr<PEventDispatcher> held(dispatcher);
  const int result = dispatcher->fReactor->open(iWorkers);
  if (result != 0) return result;
  oDispatcher = held;
  return 0;
}

PEventDispatcher::PEventDispatcher(int iWorkers)
    : fWorkerCount(iWorkers), fReactor(new PReactor()) {}

PEventDispatcher::~PEventDispatcher() {
  fReactor->stop();
  removeAllListeners();
}

int PEventDispatcher::addListener(const PLiteral& iTopic, IEventListener* iListener) {
  if (iListener == nullptr || iTopic.len() == 0) return ERR_INVALID_ARG;
  try {
    PStdMutexLock lock(fLock);
    std::vector<IEventListener*>& listeners = fListeners[std::wstring(keyOf(iTopic))];
    for (IEventListener* listener : listeners) {
      if (listener == iListener) return ERR_ALREADY;
    }
    listeners.push_back(iListener);
  } catch (const std::bad_alloc&) {
    return ERR_NO_MEMORY;
  }
  iListener->incRef();
  return 0;
}

int PEventDispatcher::removeListener(const PLiteral& iTopic, IEventListener* iListener) {
  {
    PStdMutexLock lock(fLock);
    auto topic = fListeners.find(keyOf(iTopic));
    if (topic == fListeners.end()) return ERR_NO_INSTANCE;
    std::vector<IEventListener*>& listeners = topic->second;
    auto found = listeners.begin();
    while (found != listeners.end() && *found != iListener) ++found;
    if (found == listeners.end()) return ERR_NO_INSTANCE;
    listeners.erase(found);
    if (listeners.empty()) fListeners.erase(topic);
  }
  iListener->decRef();  // outside the lock: it may be the listener's last
  return 0;
}

void PEventDispatcher::removeAllListeners() {
  std::map<std::wstring, std::vector<IEventListener*>, std::less<>> released;
  {
    PStdMutexLock lock(fLock);
    released.swap(fListeners);
  }
  for (auto& topic : released) {
    for (IEventListener* listener : topic.second) listener->decRef();
  }
}

int PEventDispatcher::deliver(const PLiteral& iTopic, IBase* iEvent) {
  // Usually one listener: no allocation on this path.
  constexpr size_t kInline = 4;
  IEventListener* inlineListeners[kInline];
  std::vector<IEventListener*> more;
  IEventListener** listeners = inlineListeners;
  size_t count = 0;
  {
    PStdMutexLock lock(fLock);
    auto topic = fListeners.find(keyOf(iTopic));
    if (topic == fListeners.end()) return 0;
    count = topic->second.size();
    if (count > kInline) {
      more = topic->second;
      listeners = more.data();
    } else {
      std::copy(topic->second.begin(), topic->second.end(), inlineListeners);
    }
    for (size_t i = 0; i < count; ++i) listeners[i]->incRef();
  }
  for (size_t i = 0; i < count; ++i) {
    listeners[i]->notify(iTopic, iEvent, 0);
    listeners[i]->decRef();
  }
  return static_cast<int>(count);
}

int PEventDispatcher::start() { return fReactor->start(); }

void PEventDispatcher::stop() { fReactor->stop(); }
