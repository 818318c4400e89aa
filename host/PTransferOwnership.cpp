#include "PTransferOwnership.h"

#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PErrors.h"

bool PTransferOwnership::answer(const PSessionInfo& iSession, const PCommsMessage& iRequest, PCommsMessage& oAnswer) {
  const uint32_t action = iRequest.fUint32;
  if (!fIsolate || (action != kGetNextFileData && action != kSetNextFileData && action != kCloseFileTransfer)) return false;
  PDataReader reader(iRequest.fData);
  int id = 0, size = 0;
  // What the module would refuse before it looks the ID up, it refuses itself.
  if (reader.readInt32(id) != 0) return false;
  if (action == kGetNextFileData) {
    if (reader.readInt32(size) != 0) return false;
    if (size <= 0 || static_cast<unsigned int>(size) > kMaxChunkSize) return false;
  }
  {
    PStdMutexLock lock(fLock);
    const auto owner = fOwners.find(id);
    if (owner == fOwners.end() || owner->second == iSession.fNumber) return false;
  }
  // Another session's transfer: the answer for an ID no transfer has.
  oAnswer.fModuleID = kFileAccessModuleW;
  oAnswer.fUint32 = static_cast<uint32_t>(action == kCloseFileTransfer ? 0 : ERR_FAILED);
  if (action == kGetNextFileData) PDataWriter(oAnswer.fData).writeBytes(nullptr, 0);
  return true;
}

void PTransferOwnership::replied(const PSessionInfo& iSession, const PCommsMessage& iRequest, const PCommsMessage& iReply) {
  if (iReply.fUint32 != 0 || iReply.fModuleID.len() == 0) return;
  int id = 0;
  if (iRequest.fUint32 == kStartFileTransfer && PDataReader(iReply.fData).readInt32(id) == 0 && id != 0) {
    PStdMutexLock lock(fLock);
    fOwners[id] = iSession.fNumber;  // an ID the module draws again after a close changes hands
  } else if (iRequest.fUint32 == kCloseFileTransfer && PDataReader(iRequest.fData).readInt32(id) == 0) {
    // Closed by the module: gone. (A close that failed leaves the transfer
    // with its session, even one that has ended; one answered here for
    // another session's transfer closed nothing.)
    PStdMutexLock lock(fLock);
    const auto owner = fOwners.find(id);
    if (owner != fOwners.end() && (owner->second == iSession.fNumber || !fIsolate)) fOwners.erase(owner);
  }
}

std::vector<PRelease> PTransferOwnership::ended(const PSessionInfo& iSession) {
  std::vector<PRelease> releases;
  PStdMutexLock lock(fLock);
  for (const auto& [id, owner] : fOwners) {
    if (owner != iSession.fNumber) continue;
    PRelease release;
    release.fRequest.fModuleID = kFileAccessModuleW;
    release.fRequest.fUint32 = kCloseFileTransfer;
    PDataWriter(release.fRequest.fData).writeInt32(id);
    release.fWhat = "closed transfer [" + std::to_string(id) + "]";
    releases.push_back(std::move(release));
  }
  return releases;
}
