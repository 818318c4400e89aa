#include "PFileAccessRoles.h"

#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PErrors.h"

namespace {

// A StartFileTransfer request that opens its file for writing (a mode
// without the read bit; the module refuses a mode without either bit).
bool opensForWriting(const PCommsMessage& iRequest) {
  PDataReader reader(iRequest.fData);
  PString path;
  int mode = 0;
  return reader.readString(path) == 0 && reader.readInt32(mode) == 0 && (mode & ACCESS_READ) == 0;
}

}  // namespace

bool PFileAccessRoles::answer(const PSessionInfo& iSession, const PCommsMessage& iRequest, PCommsMessage& oAnswer) {
  if (iSession.fRole == SESSION_ROLE_WRITE || iSession.fEnded) return false;
  const uint32_t action = iRequest.fUint32;
  PDataReader reader(iRequest.fData);
  bool changes = false;
  if (action == kStartFileTransfer) {
    changes = opensForWriting(iRequest);
  } else if (action == kMakeDir || action == kDeleteFile || action == kDeleteDir) {
    PString path;
    changes = reader.readString(path) == 0;
  } else if (action == kSetNextFileData) {
    // In the module's order: the ID, the transfer, then the block.
    int id = 0;
    const unsigned char* block = nullptr;
    size_t size = 0;
    if (reader.readInt32(id) == 0) {
      PStdMutexLock lock(fLock);
      changes = fUploads.count(id) != 0;
    }
    changes = changes && reader.readBytesView(block, size) == 0;
  }
  if (!changes) return false;
  oAnswer.fModuleID = kFileAccessModuleW;
  oAnswer.fUint32 = static_cast<uint32_t>(ERR_ACCESS_DENIED);
  if (action == kStartFileTransfer) PDataWriter(oAnswer.fData).writeInt32(0);  // no transfer opened
  return true;
}

void PFileAccessRoles::replied(const PSessionInfo&, const PCommsMessage& iRequest, const PCommsMessage& iReply) {
  const uint32_t action = iRequest.fUint32;
  if (iReply.fUint32 != 0 || iReply.fModuleID.len() == 0 || (action != kStartFileTransfer && action != kCloseFileTransfer)) return;
  int id = 0;
  if (action == kStartFileTransfer) {
    if (PDataReader(iReply.fData).readInt32(id) != 0 || id == 0 || !opensForWriting(iRequest)) return;
    PStdMutexLock lock(fLock);
    fUploads.insert(id);
  } else if (PDataReader(iRequest.fData).readInt32(id) == 0) {
    PStdMutexLock lock(fLock);
    fUploads.erase(id);
  }
}
