#include "PTransferOwnership.h"

#include <algorithm>
#include <climits>

#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PErrors.h"
#include "zevo/PString.h"

size_t PTransferOwnership::openBy(uint64_t iSession) {
  return static_cast<size_t>(
      std::count_if(fOwners.begin(), fOwners.end(), [&](const auto& iEntry) { return iEntry.second == iSession; }));
}

bool PTransferOwnership::largeReply(uint32_t iAction) { return iAction == kListDir; }

bool PTransferOwnership::mayOpen(const PSessionInfo& iSession) {
  if (fMaxPerSession > 0) {
    PStdMutexLock lock(fLock);
    if (openBy(iSession.fNumber) >= static_cast<size_t>(fMaxPerSession)) return false;
  }
  return !fBudget || fBudget->roomForTransfer();
}

namespace {

// The reply of a request naming a path that cannot be served for want of
// descriptors: -610 and the action's neutral elements.
bool namesPath(uint32_t iAction, PCommsMessage& oAnswer) {
  PDataWriter writer(oAnswer.fData);
  switch (iAction) {
    case kGetFileSize: writer.writeInt64(0); break;
    case kIsExists:
    case kIsFile: writer.writeBool(false); break;
    case kListDir: writer.writeStrings(std::vector<PString>()); break;
    case kMakeDir:
    case kDeleteFile:
    case kDeleteDir: break;
    default: return false;
  }
  return true;
}

}  // namespace

bool PTransferOwnership::answer(const PSessionInfo& iSession, const PCommsMessage& iRequest, PCommsMessage& oAnswer) {
  const uint32_t action = iRequest.fUint32;
  PString ignored;
  if (fBudget && !fBudget->roomForRequest() && PDataReader(iRequest.fData).readString(ignored) == 0 && namesPath(action, oAnswer)) {
    oAnswer.fModuleID = kFileAccessModuleW;
    oAnswer.fUint32 = static_cast<uint32_t>(PERR_TOO_MANY_FILES);
    return true;
  }
  if (action == kStartFileTransfer) {
    PDataReader reader(iRequest.fData);
    PString path;
    int mode = 0;
    // A request the module cannot read is its to refuse.
    if (reader.readString(path) != 0 || reader.readInt32(mode) != 0 || mayOpen(iSession)) return false;
    oAnswer.fModuleID = kFileAccessModuleW;
    oAnswer.fUint32 = static_cast<uint32_t>(PERR_TOO_MANY_FILES);
    PDataWriter(oAnswer.fData).writeInt32(0);
    return true;
  }
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
    // An ID the module draws again after a close changes hands.
    if (fOwners.insert_or_assign(id, iSession.fNumber).second && fBudget) fBudget->take();
  } else if (iRequest.fUint32 == kCloseFileTransfer && PDataReader(iRequest.fData).readInt32(id) == 0) {
    // Closed by the module: gone. (A close that failed leaves the transfer
    // with its session, even one that has ended; one answered here for
    // another session's transfer closed nothing.)
    PStdMutexLock lock(fLock);
    const auto owner = fOwners.find(id);
    if (owner != fOwners.end() && (owner->second == iSession.fNumber || !fIsolate)) {
      fOwners.erase(owner);
      if (fBudget) fBudget->give();
    }
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
