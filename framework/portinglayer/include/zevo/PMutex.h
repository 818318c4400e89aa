// A mutex, and a scoped lock for it.
//
// A PMutex is never re-entered: its owner locking it again is an error, not
// a count. So Clang's thread-safety analysis (zevo/PThreadSafety.h) follows
// it as a plain lock: members it guards are marked ZEVO_GUARDED_BY, lock()
// takes it and unlock() gives it back, whatever they answer. Code that goes
// on after a failed lock() is outside what the analysis follows.
//
// Threading: lock and unlock from any thread; init and close by its owner,
// while no other thread uses it.
#pragma once

#include <pthread.h>

#include "zevo/PExport.h"
#include "zevo/PThreadSafety.h"

class ZEVO_EXPORT ZEVO_CAPABILITY("mutex") PMutex {
 public:
  PMutex();
  ~PMutex();  // closes the mutex when still initialised
  PMutex(const PMutex&) = delete;
  PMutex& operator=(const PMutex&) = delete;

  // Makes the mutex usable: 0, or PERR_MUTEX (already initialised, or the
  // system refused). iCheckOwner: its owner locking it again, and a thread
  // that does not own it unlocking it, answer PERR_MUTEX instead of
  // deadlocking or corrupting it (the system checks, at a small cost);
  // without it the mutex is the system's fastest kind, and a relock hangs.
  int init(bool iCheckOwner);
  int lock() ZEVO_ACQUIRE();
  int unlock() ZEVO_RELEASE();
  // Destroys the mutex; lock() and unlock() fail afterwards with PERR_MUTEX.
  int close();

 private:
  pthread_mutex_t fMutex;
  bool fInitialised;
};

// Locks a PMutex for the lifetime of the scope.
class ZEVO_SCOPED_CAPABILITY PMutexLock {
 public:
  explicit PMutexLock(PMutex& iMutex) ZEVO_ACQUIRE(iMutex) : fMutex(iMutex) { iMutex.lock(); }
  ~PMutexLock() ZEVO_RELEASE() { fMutex.unlock(); }
  PMutexLock(const PMutexLock&) = delete;
  PMutexLock& operator=(const PMutexLock&) = delete;

 private:
  PMutex& fMutex;
};
