// A monotonic clock the test controls, for code that reads CLOCK_MONOTONIC
// through the C library (PTime::getTickCount).
//
// PFakeClock.cpp defines clock_gettime itself; a test program that links it
// answers every caller in the process, the framework's shared libraries and
// plug-ins included, since the program's own definition comes first in the
// dynamic lookup. Other clocks, and CLOCK_MONOTONIC while no PFakeClock
// exists, pass through to the C library. Link it only into programs of its
// own: it replaces a C library function for the whole process.
#pragma once

#include <cstdint>

class PFakeClock {
 public:
  // CLOCK_MONOTONIC reads iFirstMicros microseconds, and one microsecond
  // more at each further reading, so successive readings always differ.
  explicit PFakeClock(std::uint64_t iFirstMicros);
  ~PFakeClock();
  PFakeClock(const PFakeClock&) = delete;
  PFakeClock& operator=(const PFakeClock&) = delete;

  // Readings of CLOCK_MONOTONIC taken from this clock so far.
  std::uint64_t readings() const;
};
