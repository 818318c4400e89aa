// The descriptors the host holds, counted rather than guessed: those open
// when it began serving (listening sockets, the log, the workers' sets),
// one per connection (the comms component counts them), and those of each
// open transfer or handle of a module (the watchers that keep them take
// and give them here: one a file-access transfer, two a file-operations
// handle at most). A transfer may take neither the descriptors the connection limits
// may yet need (iConnectionsMax: every place and every handshake taken) nor
// the last iReserve below the process's limit (RLIMIT_NOFILE): those stay
// for the passing descriptors of queries, so that no query answers a wrong
// value because descriptors ran short. A request that would find none
// (descriptors taken outside the host's count) gets PERR_TOO_MANY_FILES
// from the watcher that asks roomForRequest.
//
// Threading: thread-safe; measure() before serving.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

class PDescriptorBudget {
 public:
  // iConnections: the connections the host holds now (PComms::connectionCount).
  PDescriptorBudget(long iReserve, long iConnectionsMax, std::function<size_t()> iConnections)
      : fReserve(iReserve), fConnectionsMax(iConnectionsMax), fConnections(std::move(iConnections)) {}
  // What is open now, less the connections and the transfers counted, is
  // the base from now on.
  void measure();
  // Whether one more transfer of iDescriptors stays out of the reserve;
  // take() and give() count them once it is open and once it is closed.
  bool roomForTransfer(long iDescriptors = 1) const;
  void take(long iDescriptors = 1) { fTransfers.fetch_add(iDescriptors, std::memory_order_relaxed); }
  void give(long iDescriptors = 1) { fTransfers.fetch_sub(iDescriptors, std::memory_order_relaxed); }
  // Whether the passing descriptors of one request of each worker fit.
  bool roomForRequest() const { return held() + kPerRequest <= limit(); }
  long held() const;
  long reserve() const { return fReserve; }
  static long limit();  // the process's soft limit

  static constexpr long kPerRequest = 8;  // a path walk or a listing holds a few at once

 private:
  const long fReserve;
  const long fConnectionsMax;
  const std::function<size_t()> fConnections;
  std::atomic<long> fBase{0};
  std::atomic<long> fTransfers{0};
};
