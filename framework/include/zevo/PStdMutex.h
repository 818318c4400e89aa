// A std::mutex that Clang's thread-safety analysis knows as a lock
// (libstdc++'s std::mutex carries no attributes), and a scoped lock for it.
// Members a PStdMutex guards are marked ZEVO_GUARDED_BY (zevo/PThreadSafety.h).
//
// Unlike PMutex it needs no init(): usable from construction to
// destruction, never recursive, nothing to close. Header-only: each library
// or program that uses it has its own code.
#pragma once

#include <mutex>

#include "zevo/PThreadSafety.h"

class ZEVO_CAPABILITY("mutex") PStdMutex {
 public:
  PStdMutex() = default;
  PStdMutex(const PStdMutex&) = delete;
  PStdMutex& operator=(const PStdMutex&) = delete;

  void lock() ZEVO_ACQUIRE() { fMutex.lock(); }
  void unlock() ZEVO_RELEASE() { fMutex.unlock(); }

 private:
  std::mutex fMutex;
};

// Locks a PStdMutex for the lifetime of the scope.
class ZEVO_SCOPED_CAPABILITY PStdMutexLock {
 public:
  explicit PStdMutexLock(PStdMutex& iMutex) ZEVO_ACQUIRE(iMutex) : fMutex(iMutex) { iMutex.lock(); }
  ~PStdMutexLock() ZEVO_RELEASE() { fMutex.unlock(); }
  PStdMutexLock(const PStdMutexLock&) = delete;
  PStdMutexLock& operator=(const PStdMutexLock&) = delete;

 private:
  PStdMutex& fMutex;
};
