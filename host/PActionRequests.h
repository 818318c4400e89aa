// Reading a module's requests and replies by its action table
// (zevo/protocol/PActionTraits.h): whether a request reads as the module
// reads it, the handles it names, the handle a reply opened. Shared by the
// host's watchers, which know no module.
#pragma once

#include <cstdint>
#include <vector>

#include "zevo/PCommsMessage.h"
#include "zevo/PString.h"
#include "zevo/protocol/PActionTraits.h"

namespace PActionRequests {

// Whether iRequest's elements read as fRequest says (a request that does
// not is the module's to refuse, with its reading code).
bool readable(const PActionTraits& iAction, const PCommsMessage& iRequest);
// The handles the request names (fUses), in order; empty when it names none
// or does not read.
std::vector<int> handles(const PActionTraits& iAction, const PCommsMessage& iRequest);
// Replaces the handles of iRequest for which iKeep answers false with 0.
template <class Keep>
void replaceHandles(const PActionTraits& iAction, PCommsMessage& ioRequest, Keep iKeep);
// The handle a successful reply opened (fOpensHandle), or 0.
int opened(const PActionTraits& iAction, const PCommsMessage& iReply);
// The handles a reply ended (fEnds), of those the request named.
std::vector<int> ended(const PActionTraits& iAction, const PCommsMessage& iRequest, const PCommsMessage& iReply);
// The path the request names (fNamesPath); false when it names none.
bool path(const PActionTraits& iAction, const PCommsMessage& iRequest, PString& oPath);
// The module's reply to a request it refuses with iStatus: its module ID,
// the status, the action's neutral elements.
void refuse(const PModuleTraits& iModule, const PActionTraits& iAction, int iStatus, PCommsMessage& oReply);
// The count of bytes of the first bytes element of iData after iSkip
// elements described by iShape (letters as fRequest); -1 when there is none.
long long bytesCount(const char* iShape, const std::vector<unsigned char>& iData);

}  // namespace PActionRequests

template <class Keep>
void PActionRequests::replaceHandles(const PActionTraits& iAction, PCommsMessage& ioRequest, Keep iKeep) {
  if (iAction.fUses == ACTION_USES_NONE || !readable(iAction, ioRequest)) return;
  // An int32 element is a tag and 4 bytes; the handles are the first one, or
  // those after the count.
  const size_t first = iAction.fUses == ACTION_USES_FIRST ? 0 : 5;
  const std::vector<int> named = handles(iAction, ioRequest);
  for (size_t i = 0; i < named.size(); ++i) {
    if (iKeep(named[i])) continue;
    unsigned char* value = ioRequest.fData.data() + first + i * 5 + 1;
    for (int byte = 0; byte < 4; ++byte) value[byte] = 0;  // 0 in either byte order
  }
}
