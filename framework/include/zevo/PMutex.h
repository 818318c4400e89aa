// A mutex, and a scoped lock for it.
#pragma once

#include <pthread.h>

#include "zevo/PExport.h"

class ZEVO_EXPORT PMutex {
 public:
  PMutex();
  ~PMutex();  // closes the mutex when still initialised
  PMutex(const PMutex&) = delete;
  PMutex& operator=(const PMutex&) = delete;

  // Makes the mutex usable; iRecursive lets its owner lock it again.
  int init(bool iRecursive);
  int lock();
  int unlock();
  // Destroys the mutex; lock() and unlock() fail afterwards with PERR_MUTEX.
  int close();

 private:
  pthread_mutex_t fMutex;
  bool fInitialised;
};

// Locks a PMutex for the lifetime of the scope.
class PMutexLock {
 public:
  explicit PMutexLock(PMutex& iMutex) : fMutex(iMutex) { fMutex.lock(); }
  ~PMutexLock() { fMutex.unlock(); }
  PMutexLock(const PMutexLock&) = delete;
  PMutexLock& operator=(const PMutexLock&) = delete;

 private:
  PMutex& fMutex;
};
