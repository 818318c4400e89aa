#include "PDescriptorBudget.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <climits>

namespace {

// Descriptors open in this process now (less the one that reads them).
long openNow() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  long count = 0;
  while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] == '.' ? 0 : 1;
  ::closedir(dir);
  return count - 1;
}

}  // namespace

void PDescriptorBudget::measure() {
  const long counted = static_cast<long>(fConnections()) + fTransfers.load(std::memory_order_relaxed);
  fBase.store(openNow() - counted, std::memory_order_relaxed);
}

bool PDescriptorBudget::roomForTransfer(long iDescriptors) const {
  const long connections = std::max(static_cast<long>(fConnections()), fConnectionsMax);
  return fBase.load(std::memory_order_relaxed) + connections + fTransfers.load(std::memory_order_relaxed) + iDescriptors + fReserve <=
         limit();
}

long PDescriptorBudget::held() const {
  return fBase.load(std::memory_order_relaxed) + static_cast<long>(fConnections()) + fTransfers.load(std::memory_order_relaxed);
}

long PDescriptorBudget::limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > LONG_MAX) return LONG_MAX;
  return static_cast<long>(limit.rlim_cur);
}
