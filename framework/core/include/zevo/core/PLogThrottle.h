// Keeps a flood of like log lines (refusals a peer can cause at will) from
// filling the disk: at most fRate lines a second on average and fBurst at
// once; the lines beyond are dropped and counted, and the next line let
// through says how many went.
//
// Threading: thread-safe.
#pragma once

#include <algorithm>
#include <chrono>

#include "zevo/PStdMutex.h"

class PLogThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  PLogThrottle(double iRate, double iBurst) : fRate(iRate), fBurst(iBurst), fTokens(iBurst) {}

  // True when a line may be written at iNow; then oSuppressed is the number
  // of lines dropped since the last one let through.
  bool admit(unsigned long& oSuppressed, Clock::time_point iNow = Clock::now()) {
    PStdMutexLock lock(fLock);
    if (fLast != Clock::time_point()) {
      const double seconds = std::chrono::duration<double>(iNow - fLast).count();
      fTokens = std::min(fBurst, fTokens + (seconds > 0 ? seconds * fRate : 0));
    }
    fLast = iNow;
    if (fTokens < 1) {
      ++fSuppressed;
      return false;
    }
    fTokens -= 1;
    oSuppressed = fSuppressed;
    fSuppressed = 0;
    return true;
  }

 private:
  const double fRate;
  const double fBurst;
  PStdMutex fLock;
  double fTokens ZEVO_GUARDED_BY(fLock);
  Clock::time_point fLast ZEVO_GUARDED_BY(fLock);
  unsigned long fSuppressed ZEVO_GUARDED_BY(fLock) = 0;
};
