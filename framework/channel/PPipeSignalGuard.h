// SIGPIPE held back from the calling thread while a call that may raise it
// runs (a write to a pipe, sendfile to a socket): blocked for the guard's
// life, and one the call raised (raised()) taken back before the old mask
// returns, unless one was pending already. Inactive in a process that
// ignores SIGPIPE (a host does). Not copyable; one thread.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

class PPipeSignalGuard {
 public:
  PPipeSignalGuard(const PPipeSignalGuard&) = delete;
  PPipeSignalGuard& operator=(const PPipeSignalGuard&) = delete;
  PPipeSignalGuard() {
    struct sigaction action {};
    fActive = ::sigaction(SIGPIPE, nullptr, &action) != 0 || action.sa_handler != SIG_IGN;
    if (!fActive) return;
    sigemptyset(&fSet);
    sigaddset(&fSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &fSet, &fPrevious);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    fWasPending = sigismember(&pending, SIGPIPE) == 1;
  }
  ~PPipeSignalGuard() {
    if (!fActive) return;
    if (fRaised && !fWasPending) {
      const timespec zero{};
      while (sigtimedwait(&fSet, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &fPrevious, nullptr);
  }
  void raised() { fRaised = true; }

 private:
  bool fActive = false;
  bool fWasPending = false;
  bool fRaised = false;
  sigset_t fSet;
  sigset_t fPrevious;
};
