#include "zevo/core/PReactor.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "zevo/PErrors.h"

PReactor::PReactor() : fStopping(false) {}

PReactor::~PReactor() {
  stop();
}

int PReactor::open(int iWorkers) {
  if (!fSets.empty()) return ERR_ALREADY;
  if (iWorkers < 1) return ERR_INVALID_ARG;
  fWake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!fWake.valid()) return PErrors::fromErrno(errno);
  std::vector<std::atomic<int>> counts(static_cast<size_t>(iWorkers));
  fCounts.swap(counts);
  for (int i = 0; i < iWorkers; ++i) {
    PFd set(epoll_create1(EPOLL_CLOEXEC));
    if (!set.valid()) return PErrors::fromErrno(errno);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;  // the wake-up has no handler
    if (epoll_ctl(set.get(), EPOLL_CTL_ADD, fWake.get(), &event) != 0) return PErrors::fromErrno(errno);
    fSets.push_back(std::move(set));
  }
  return 0;
}

int PReactor::start() {
  if (fSets.empty()) return ERR_NOT_RUNNING;
  if (!fWorkers.empty()) return ERR_ALREADY;
  try {
    for (int i = 0; i < workers(); ++i) fWorkers.emplace_back([this, i] { run(i); });
  } catch (const std::exception&) {
    stop();
    return ERR_NO_MEMORY;
  }
  return 0;
}

void PReactor::stop() {
  fStopping.store(true, std::memory_order_release);
  if (fWake.valid()) {
    const uint64_t one = 1;
    ssize_t ignored = ::write(fWake.get(), &one, sizeof one);
    (void)ignored;
  }
  for (std::thread& worker : fWorkers) {
    if (worker.joinable()) worker.join();
  }
  fWorkers.clear();
}

int PReactor::add(int iFd, PReactorHandler* iHandler, uint32_t iEvents, int iWorker) {
  if (fSets.empty()) return ERR_NOT_RUNNING;
  int worker = iWorker;
  if (worker < 0 || worker >= workers()) {
    worker = 0;
    for (int i = 1; i < workers(); ++i) {
      if (fCounts[i].load(std::memory_order_relaxed) < fCounts[worker].load(std::memory_order_relaxed)) worker = i;
    }
  }
  iHandler->fWorker = worker;
  iHandler->fEvents.store(iEvents, std::memory_order_relaxed);
  epoll_event event{};
  event.events = iEvents;
  event.data.ptr = iHandler;
  if (epoll_ctl(fSets[worker].get(), EPOLL_CTL_ADD, iFd, &event) != 0) return PErrors::fromErrno(errno);
  fCounts[worker].fetch_add(1, std::memory_order_relaxed);
  iHandler->fAdded.store(true, std::memory_order_release);  // the handler may be running already
  return 0;
}

int PReactor::modify(int iFd, PReactorHandler* iHandler, uint32_t iEvents) {
  uint32_t had = iHandler->fEvents.load(std::memory_order_acquire);
  if (iEvents == had) return 0;
  epoll_event event{};
  event.events = iEvents;
  event.data.ptr = iHandler;
  if (epoll_ctl(fSets[iHandler->fWorker].get(), EPOLL_CTL_MOD, iFd, &event) != 0) return PErrors::fromErrno(errno);
  // A kick meanwhile leaves its mark, so that the next change is made again.
  iHandler->fEvents.compare_exchange_strong(had, iEvents, std::memory_order_acq_rel);
  return 0;
}

int PReactor::kick(int iFd, PReactorHandler* iHandler) {
  constexpr uint32_t kKicked = ~0u;
  iHandler->fEvents.store(kKicked, std::memory_order_release);
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
  event.data.ptr = iHandler;
  return epoll_ctl(fSets[iHandler->fWorker].get(), EPOLL_CTL_MOD, iFd, &event) == 0 ? 0 : PErrors::fromErrno(errno);
}

void PReactor::remove(int iFd, PReactorHandler* iHandler) {
  if (iHandler->fWorker < 0) return;
  epoll_ctl(fSets[iHandler->fWorker].get(), EPOLL_CTL_DEL, iFd, nullptr);
  fCounts[iHandler->fWorker].fetch_sub(1, std::memory_order_relaxed);
  iHandler->fWorker = -1;
}

void PReactor::run(int iWorker) {
  constexpr int kBatch = 32;
  epoll_event events[kBatch];
  while (!stopping()) {
    const int count = epoll_wait(fSets[iWorker].get(), events, kBatch, -1);
    if (count < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < count && !stopping(); ++i) {
      PReactorHandler* handler = static_cast<PReactorHandler*>(events[i].data.ptr);
      if (handler == nullptr) continue;
      if (!handler->fAdopted) {
        // Almost always set at once: the adding thread stored it right after
        // the descriptor went into the set.
        while (!handler->fAdded.load(std::memory_order_acquire)) std::this_thread::yield();
        handler->fAdopted = true;
      }
      // A handler ends (and deletes) only itself: the rest of the batch
      // stays valid.
      handler->onReady(events[i].events);
    }
  }
}
