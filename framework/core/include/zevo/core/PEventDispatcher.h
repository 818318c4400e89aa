// The event dispatcher component: listeners by topic, and the pool of worker
// threads on which events are delivered.
//
// The comms transport delivers each connection's requests on one worker at a
// time, in arrival order, through deliver(); requests of different
// connections run on different workers in parallel.
//
// Threading: every operation is thread-safe. A listener holds a reference
// from addListener until it is removed or removeAllListeners runs; deliver
// holds one more while it calls the listener.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zevo/IEventDispatcher.h"
#include "zevo/PRefCounted.h"
#include "zevo/PExport.h"
#include "zevo/PPtr.h"
#include "zevo/PStdMutex.h"

class PReactor;

class ZEVO_EXPORT PEventDispatcher : public PRefCounted<IEventDispatcher> {
 public:
  // A dispatcher with iWorkers workers (not started), held by oDispatcher.
  static int create(int iWorkers, PBaseptr<PEventDispatcher>& oDispatcher);

  int addListener(const PLiteral& iTopic, IEventListener* iListener) override;
  int removeListener(const PLiteral& iTopic, IEventListener* iListener) override;

  // Calls every listener of iTopic with iEvent on the calling thread; the
  // number of listeners called.
  int deliver(const PLiteral& iTopic, IBase* iEvent);
  // Gives back the reference of every listener (at shut-down).
  void removeAllListeners();

  int start();  // starts the workers
  void stop();  // the workers finish what they run, then end
  int workers() const { return fWorkerCount; }
  // Destroyed by its last decRef; stops the workers and releases listeners.
  ~PEventDispatcher() override;
  PReactor& reactor() { return *fReactor; }

 private:
  explicit PEventDispatcher(int iWorkers);

  const int fWorkerCount;
  std::unique_ptr<PReactor> fReactor;
  PStdMutex fLock;
  std::map<std::wstring, std::vector<IEventListener*>, std::less<>> fListeners ZEVO_GUARDED_BY(fLock);
};
