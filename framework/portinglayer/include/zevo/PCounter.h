// Reference counters. PCounter is a plain integer for one thread at a time;
// PCounterSync may be changed from several threads at once.
#pragma once

#include <atomic>

#include "zevo/PExport.h"

class ZEVO_EXPORT PCounter {
 public:
  explicit PCounter(int iInitial) : fValue(iInitial) {}
  int operator++() { return ++fValue; }
  // Applies iDelta and returns the new value.
  int change(int iDelta) { return fValue += iDelta; }
  int value() const { return fValue; }

 private:
  int fValue;
};

class ZEVO_EXPORT PCounterSync {
 public:
  explicit PCounterSync(int iInitial) : fValue(iInitial) {}
  int operator++() { return fValue.fetch_add(1, std::memory_order_relaxed) + 1; }
  // Applies iDelta and returns the new value. The acquire-release order lets
  // the thread that sees 0 destroy what the others have finished using.
  int change(int iDelta) { return fValue.fetch_add(iDelta, std::memory_order_acq_rel) + iDelta; }
  int value() const { return fValue.load(std::memory_order_acquire); }

 private:
  std::atomic<int> fValue;
};
