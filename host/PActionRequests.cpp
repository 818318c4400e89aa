#include "PActionRequests.h"

#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"

namespace {

// Reads one element of kind iKind; false when it does not read.
bool skip(PDataReader& ioReader, char iKind) {
  PString text;
  int number = 0;
  long long wide = 0;
  bool flag = false;
  const unsigned char* bytes = nullptr;
  size_t size = 0;
  switch (iKind) {
    case 's': return ioReader.readString(text) == 0;
    case 'i': return ioReader.readInt32(number) == 0;
    case 'l': return ioReader.readInt64(wide) == 0;
    case 'b': return ioReader.readBytesView(bytes, size) == 0;
    case 'o': return ioReader.readBool(flag) == 0;
    case 'h': {
      int handle = 0;
      if (ioReader.readInt32(number) != 0 || number < 0) return false;
      for (int i = 0; i < number; ++i) {
        if (ioReader.readInt32(handle) != 0) return false;
      }
      return true;
    }
    default: return false;
  }
}

}  // namespace

bool PActionRequests::readable(const PActionTraits& iAction, const PCommsMessage& iRequest) {
  PDataReader reader(iRequest.fData);
  for (const char* kind = iAction.fRequest; *kind != '\0' && *kind != '*'; ++kind) {
    if (!skip(reader, *kind)) return false;
  }
  return true;
}

std::vector<int> PActionRequests::handles(const PActionTraits& iAction, const PCommsMessage& iRequest) {
  std::vector<int> found;
  if (iAction.fUses == ACTION_USES_NONE || !readable(iAction, iRequest)) return found;
  PDataReader reader(iRequest.fData);
  int value = 0, count = 1;
  if (iAction.fUses == ACTION_USES_LIST && reader.readInt32(count) != 0) return found;
  for (int i = 0; i < count && reader.readInt32(value) == 0; ++i) found.push_back(value);
  return found;
}

int PActionRequests::opened(const PActionTraits& iAction, const PCommsMessage& iReply) {
  int handle = 0;
  if (iAction.fOpensHandle != 0 || iReply.fUint32 != 0 || iReply.fModuleID.len() == 0) return 0;
  return PDataReader(iReply.fData).readInt32(handle) == 0 ? handle : 0;
}

std::vector<int> PActionRequests::ended(const PActionTraits& iAction, const PCommsMessage& iRequest, const PCommsMessage& iReply) {
  std::vector<int> named = handles(iAction, iRequest);
  if (iAction.fEnds == ACTION_ENDS_NEVER || iReply.fModuleID.len() == 0) return {};
  if (iAction.fEnds == ACTION_ENDS_ALWAYS) return named;
  if (iAction.fUses == ACTION_USES_FIRST) return iReply.fUint32 == 0 ? named : std::vector<int>();
  // A list: the reply's statuses, one per handle.
  std::vector<int> gone;
  PDataReader reader(iReply.fData);
  int count = 0, status = 0;
  if (reader.readInt32(count) != 0 || count != static_cast<int>(named.size())) return gone;
  for (int i = 0; i < count && reader.readInt32(status) == 0; ++i) {
    if (status == 0) gone.push_back(named[static_cast<size_t>(i)]);
  }
  return gone;
}

bool PActionRequests::path(const PActionTraits& iAction, const PCommsMessage& iRequest, PString& oPath) {
  return iAction.fNamesPath && PDataReader(iRequest.fData).readString(oPath) == 0;
}

void PActionRequests::refuse(const PModuleTraits& iModule, const PActionTraits& iAction, int iStatus, PCommsMessage& oReply) {
  oReply.fModuleID = iModule.fModuleW;
  oReply.fUint32 = static_cast<uint32_t>(iStatus);
  oReply.fData.assign(iAction.fNeutral.begin(), iAction.fNeutral.end());
}

long long PActionRequests::bytesCount(const char* iShape, const std::vector<unsigned char>& iData) {
  PDataReader reader(iData);
  for (const char* kind = iShape; *kind != '\0' && *kind != '*'; ++kind) {
    if (*kind == 'b') {
      const unsigned char* bytes = nullptr;
      size_t size = 0;
      return reader.readBytesView(bytes, size) == 0 ? static_cast<long long>(size) : -1;
    }
    if (!skip(reader, *kind)) return -1;
  }
  return -1;
}
