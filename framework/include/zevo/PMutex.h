// A mutex, and a scoped lock for it.
//
// For Clang's thread-safety analysis (zevo/PThreadSafety.h) a PMutex is a
// lock: members it guards are marked ZEVO_GUARDED_BY, lock() takes it and
// unlock() gives it back, whatever they answer. Code that relocks a
// recursive mutex, or goes on after a failed lock(), is outside what the
// analysis follows.
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

  // Makes the mutex usable; iRecursive lets its owner lock it again.
  int init(bool iRecursive);
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
