#include "PHandleOwnership.h"

#include <algorithm>
#include <set>

#include "PActionRequests.h"
#include "zevo/PDataWriter.h"
#include "zevo/PErrors.h"
#include "zevo/PString.h"

size_t PHandleOwnership::openBy(uint64_t iSession) const {
  return static_cast<size_t>(
      std::count_if(fHandles.begin(), fHandles.end(), [&](const auto& iEntry) { return iEntry.second.fSession == iSession; }));
}

bool PHandleOwnership::largeReply(uint32_t iAction) {
  const PActionTraits* action = fModule.find(iAction);
  return action != nullptr && action->fLargeReply;
}

bool PHandleOwnership::mayOpen(const PSessionInfo& iSession) {
  if (fMaxPerSession > 0) {
    PStdMutexLock lock(fLock);
    if (openBy(iSession.fNumber) >= static_cast<size_t>(fMaxPerSession)) return false;
  }
  return !fBudget || fBudget->roomForTransfer(fDescriptors);
}

void PHandleOwnership::adjust(const PSessionInfo& iSession, PCommsMessage& ioRequest) {
  const PActionTraits* action = fModule.find(ioRequest.fUint32);
  if (!fIsolate || action == nullptr || action->fUses == ACTION_USES_NONE) return;
  // Another session's handle is no handle to this one.
  std::set<int> foreign;
  {
    PStdMutexLock lock(fLock);
    for (const int handle : PActionRequests::handles(*action, ioRequest)) {
      const auto found = fHandles.find(handle);
      if (found != fHandles.end() && found->second.fSession != iSession.fNumber) foreign.insert(handle);
    }
  }
  if (!foreign.empty()) PActionRequests::replaceHandles(*action, ioRequest, [&](int iHandle) { return foreign.count(iHandle) == 0; });
}

bool PHandleOwnership::answer(const PSessionInfo& iSession, const PCommsMessage& iRequest, PCommsMessage& oAnswer) {
  const PActionTraits* action = fModule.find(iRequest.fUint32);
  // A request the module cannot read is its to refuse.
  if (action == nullptr || !PActionRequests::readable(*action, iRequest)) return false;
  const bool noRoom = (action->fOpensHandle >= 0 && !mayOpen(iSession)) ||
                      (action->fNamesPath && fBudget && !fBudget->roomForRequest());
  if (!noRoom) return false;
  PActionRequests::refuse(fModule, *action, PERR_TOO_MANY_FILES, oAnswer);
  return true;
}

void PHandleOwnership::replied(const PSessionInfo& iSession, const PCommsMessage& iRequest, const PCommsMessage& iReply, size_t) {
  const PActionTraits* action = fModule.find(iRequest.fUint32);
  if (action == nullptr) return;
  const int opened = PActionRequests::opened(*action, iReply);
  const std::vector<int> ended = PActionRequests::ended(*action, iRequest, iReply);
  PStdMutexLock lock(fLock);
  // A handle the module draws again after it ended changes hands.
  if (opened != 0 && fHandles.insert_or_assign(opened, Handle{iSession.fNumber, action->fRelease}).second && fBudget) {
    fBudget->take(fDescriptors);
  }
  for (const int handle : ended) {
    // Ended by the module: gone. (One that failed to end stays with its
    // session, even one that has ended; under isolation another session's
    // handle was 0 by then, and ended nothing.)
    const auto found = fHandles.find(handle);
    if (found == fHandles.end() || (found->second.fSession != iSession.fNumber && fIsolate)) continue;
    fHandles.erase(found);
    if (fBudget) fBudget->give(fDescriptors);
  }
}

std::vector<PRelease> PHandleOwnership::ended(const PSessionInfo& iSession) {
  std::vector<PRelease> releases;
  PStdMutexLock lock(fLock);
  for (const auto& [handle, held] : fHandles) {
    if (held.fSession != iSession.fNumber || held.fRelease == 0) continue;
    const PActionTraits* release = fModule.find(held.fRelease);
    PRelease entry;
    entry.fRequest.fModuleID = fModule.fModuleW;
    entry.fRequest.fUint32 = held.fRelease;
    PDataWriter(entry.fRequest.fData).writeInt32(handle);
    entry.fWhat = std::string(release != nullptr ? release->fName : "released") + " [" + std::to_string(handle) + "]";
    releases.push_back(std::move(entry));
  }
  return releases;
}
