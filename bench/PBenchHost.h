// What the benchmark programs share: a zevohost started on a configuration
// in a temporary directory, clocks and medians.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

using BenchClock = std::chrono::steady_clock;

double secondsSince(BenchClock::time_point iStart);
double median(std::vector<double> iValues);
[[noreturn]] void die(const std::string& iMessage);

// A zevohost serving ROOT/data for reading and writing.
struct PBenchHost {
  pid_t fPid = -1;
  std::string fEndpoint;   // unix:
  std::string fTcp, fTls;  // iNetwork: on 127.0.0.1

  // iNetwork: plain TCP and TLS on 127.0.0.1 too (the tests' certificates);
  // iFileOps: the file-operations plug-in beside the file-access one.
  void start(const std::string& iRoot, bool iNetwork = false, bool iFileOps = false);
  void stop();
  // VmRSS or VmHWM of the host, KiB.
  long memory(const char* iField) const;
};
