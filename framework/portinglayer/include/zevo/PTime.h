// Time.
#pragma once

#include "zevo/PExport.h"

class ZEVO_EXPORT PTime {
 public:
  // Microseconds of a monotonic clock, as a 32-bit count that wraps about
  // every 71 minutes. Never 0, so that 0 can mean "no transfer".
  static int getTickCount();
  // Milliseconds of the same monotonic clock, not truncated: for deadlines
  // longer than the tick count's wrap.
  static long long monotonicMillis();
};
