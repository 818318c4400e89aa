// The worker pool of the event dispatcher. Every worker waits on an epoll
// set of its own and runs the handlers of the descriptors in it; a new
// descriptor goes to the worker that holds the fewest.
//
// A handler therefore only ever runs on its own worker: what it does for one
// connection happens in order on one thread, with no hand-off between
// threads and no re-arming after each turn (descriptors are level-triggered).
// Different connections on different workers run in parallel. Transports
// (zevo/core/PTransport.h) put their sockets here.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "zevo/PExport.h"
#include "zevo/PFd.h"

class PReactorHandler {
 public:
  // Runs on the handler's worker; iEvents are epoll bits.
  virtual void onReady(uint32_t iEvents) = 0;

 protected:
  ~PReactorHandler() = default;

 private:
  friend class PReactor;
  int fWorker = -1;                  // whose set holds the descriptor
  std::atomic<uint32_t> fEvents{0};  // the interest registered (kKicked: set it again)
  // What the adding thread did before add() is visible to the worker from
  // its first event on: the kernel orders the two already, this makes the
  // order visible to the language's memory model (and to ThreadSanitizer).
  std::atomic<bool> fAdded{false};
  bool fAdopted = false;             // the worker has seen fAdded (its own field)
};

class ZEVO_EXPORT PReactor {
 public:
  PReactor();
  ~PReactor();  // stops
  PReactor(const PReactor&) = delete;
  PReactor& operator=(const PReactor&) = delete;

  int open(int iWorkers);
  int start();
  // Wakes every worker and joins it; a worker finishes the handler it runs.
  void stop();
  bool stopping() const { return fStopping.load(std::memory_order_acquire); }
  int workers() const { return static_cast<int>(fSets.size()); }

  // Adds a descriptor with its interest (EPOLLIN, EPOLLOUT...) to the set
  // of iWorker, or of the worker holding the fewest when iWorker is -1.
  // From then on the handler may run at once on that worker.
  int add(int iFd, PReactorHandler* iHandler, uint32_t iEvents, int iWorker = -1);
  // Changes the interest; a no-op when it is what it was. Only on the
  // handler's worker (or once the workers have stopped).
  int modify(int iFd, PReactorHandler* iHandler, uint32_t iEvents);
  // From any thread while the descriptor is in its set: runs the handler
  // soon if the socket is readable or writable, whatever its interest (the
  // handler sets its interest again).
  int kick(int iFd, PReactorHandler* iHandler);
  // Takes the descriptor out of its set (nothing for one in none); call
  // before closing it. It cannot fail for a descriptor that is open.
  void remove(int iFd, PReactorHandler* iHandler);

 private:
  void run(int iWorker);

  std::vector<PFd> fSets;                   // one epoll set per worker
  std::vector<std::atomic<int>> fCounts;    // descriptors per worker
  PFd fWake;                                // eventfd in every set: wakes all at stop
  std::atomic<bool> fStopping;
  std::vector<std::thread> fWorkers;
};
