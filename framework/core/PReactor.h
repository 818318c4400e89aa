// The worker pool of the event dispatcher: every worker waits on one epoll
// instance and runs the handler of whichever descriptor became ready.
//
// Descriptors are armed one-shot: once an event is handed to a worker, no
// other worker hears of that descriptor until its handler re-arms it. So a
// handler never runs on two workers at once, and what it does for one
// connection happens in order, on whichever worker took it, with no hand-off
// between threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

class PReactorHandler {
 public:
  // Runs on one worker at a time; iEvents are epoll bits. The handler must
  // re-arm (or remove) its descriptor before it returns.
  virtual void onReady(uint32_t iEvents) = 0;

 protected:
  ~PReactorHandler() = default;

 private:
  friend class PReactor;
  // Pass what one worker did to the next worker that takes the handler. The
  // kernel orders a re-arming before the event it produces; counting the
  // armings done and the events taken makes that order visible to the
  // language's memory model (and to ThreadSanitizer): the k-th taker waits,
  // if need be, until the k-th arming has returned.
  std::atomic<uint32_t> fArmed{0};
  std::atomic<uint32_t> fTaken{0};
};

class PReactor {
 public:
  PReactor();
  ~PReactor();  // stops
  PReactor(const PReactor&) = delete;
  PReactor& operator=(const PReactor&) = delete;

  int open();
  int start(int iWorkers);
  // Wakes every worker and joins it; a worker finishes the handler it runs.
  void stop();
  bool stopping() const { return fStopping.load(std::memory_order_acquire); }
  bool onWorker() const;  // whether the calling thread is one of the workers

  // One-shot registration and re-arming; iEvents are EPOLLIN, EPOLLOUT...
  int add(int iFd, PReactorHandler* iHandler, uint32_t iEvents);
  int rearm(int iFd, PReactorHandler* iHandler, uint32_t iEvents);
  int remove(int iFd);

 private:
  void run();

  int fEpoll;
  int fWake;  // eventfd, level-triggered: wakes every worker at stop
  std::atomic<bool> fStopping;
  std::vector<std::thread> fWorkers;
};
