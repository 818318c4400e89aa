#include "PReactor.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "zevo/PErrors.h"

namespace {

thread_local const PReactor* tWorkerOf = nullptr;

}  // namespace

PReactor::PReactor() : fEpoll(-1), fWake(-1), fStopping(false) {}

PReactor::~PReactor() {
  stop();
  if (fWake >= 0) ::close(fWake);
  if (fEpoll >= 0) ::close(fEpoll);
}

int PReactor::open() {
  if (fEpoll >= 0) return ERR_ALREADY;
  fEpoll = epoll_create1(EPOLL_CLOEXEC);
  if (fEpoll < 0) return PErrors::fromErrno(errno);
  fWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fWake < 0) return PErrors::fromErrno(errno);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;  // the wake-up has no handler
  if (epoll_ctl(fEpoll, EPOLL_CTL_ADD, fWake, &event) != 0) return PErrors::fromErrno(errno);
  return 0;
}

int PReactor::start(int iWorkers) {
  if (fEpoll < 0) return ERR_NOT_RUNNING;
  if (iWorkers < 1) return ERR_INVALID_ARG;
  if (!fWorkers.empty()) return ERR_ALREADY;
  try {
    for (int i = 0; i < iWorkers; ++i) fWorkers.emplace_back([this] { run(); });
  } catch (const std::exception&) {
    stop();
    return ERR_NO_MEMORY;
  }
  return 0;
}

void PReactor::stop() {
  fStopping.store(true, std::memory_order_release);
  if (fWake >= 0) {
    const uint64_t one = 1;
    ssize_t ignored = ::write(fWake, &one, sizeof one);
    (void)ignored;
  }
  for (std::thread& worker : fWorkers) {
    if (worker.joinable()) worker.join();
  }
  fWorkers.clear();
}

bool PReactor::onWorker() const { return tWorkerOf == this; }

int PReactor::add(int iFd, PReactorHandler* iHandler, uint32_t iEvents) {
  epoll_event event{};
  event.events = iEvents | EPOLLONESHOT;
  event.data.ptr = iHandler;
  const int result = epoll_ctl(fEpoll, EPOLL_CTL_ADD, iFd, &event) == 0 ? 0 : PErrors::fromErrno(errno);
  iHandler->fArmed.fetch_add(1, std::memory_order_release);  // the handler may be running already
  return result;
}

int PReactor::rearm(int iFd, PReactorHandler* iHandler, uint32_t iEvents) {
  epoll_event event{};
  event.events = iEvents | EPOLLONESHOT;
  event.data.ptr = iHandler;
  const int result = epoll_ctl(fEpoll, EPOLL_CTL_MOD, iFd, &event) == 0 ? 0 : PErrors::fromErrno(errno);
  iHandler->fArmed.fetch_add(1, std::memory_order_release);
  return result;
}

int PReactor::remove(int iFd) {
  return epoll_ctl(fEpoll, EPOLL_CTL_DEL, iFd, nullptr) == 0 ? 0 : PErrors::fromErrno(errno);
}

void PReactor::run() {
  tWorkerOf = this;
  while (!stopping()) {
    epoll_event event{};
    // One event per wait: the next ready descriptor goes to the next free
    // worker instead of queueing behind this one.
    const int count = epoll_wait(fEpoll, &event, 1, -1);
    if (count < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (count == 0 || event.data.ptr == nullptr) continue;
    if (stopping()) break;  // an event taken now stays for whoever closes up
    PReactorHandler* handler = static_cast<PReactorHandler*>(event.data.ptr);
    const uint32_t taken = handler->fTaken.fetch_add(1, std::memory_order_relaxed) + 1;
    // Almost always true at once: the arming returned long before a worker woke.
    while (static_cast<int32_t>(handler->fArmed.load(std::memory_order_acquire) - taken) < 0) std::this_thread::yield();
    handler->onReady(event.events);
  }
  tWorkerOf = nullptr;
}
