#include "PModuleRoles.h"

#include "PActionRequests.h"
#include "zevo/PDataReader.h"

bool PModuleRoles::changes(const PActionTraits& iAction, const PCommsMessage& iRequest) {
  switch (iAction.fChanges) {
    case ACTION_CHANGES: return true;
    case ACTION_CHANGES_WHEN_MODE_WRITES: {
      PDataReader reader(iRequest.fData);
      PString path;
      int mode = 0;
      return reader.readString(path) == 0 && reader.readInt32(mode) == 0 && (mode & 1) == 0;
    }
    case ACTION_CHANGES_WHEN_HANDLE_WRITES: {
      const std::vector<int> handles = PActionRequests::handles(iAction, iRequest);
      PStdMutexLock lock(fLock);
      for (const int handle : handles) {
        if (fWriting.count(handle) != 0) return true;
      }
      return false;
    }
    default: return false;
  }
}

bool PModuleRoles::answer(const PSessionInfo& iSession, const PCommsMessage& iRequest, PCommsMessage& oAnswer) {
  if (iSession.fRole == SESSION_ROLE_WRITE || iSession.fEnded) return false;
  const PActionTraits* action = fModule.find(iRequest.fUint32);
  if (action == nullptr || !PActionRequests::readable(*action, iRequest) || !changes(*action, iRequest)) return false;
  PActionRequests::refuse(fModule, *action, fModule.fDenied, oAnswer);
  return true;
}

void PModuleRoles::replied(const PSessionInfo&, const PCommsMessage& iRequest, const PCommsMessage& iReply, size_t) {
  const PActionTraits* action = fModule.find(iRequest.fUint32);
  if (action == nullptr) return;
  const int opened = PActionRequests::opened(*action, iReply);
  const bool writes = opened != 0 && changes(*action, iRequest);
  const std::vector<int> ended = PActionRequests::ended(*action, iRequest, iReply);
  PStdMutexLock lock(fLock);
  if (writes) fWriting.insert(opened);
  for (const int handle : ended) fWriting.erase(handle);
}
