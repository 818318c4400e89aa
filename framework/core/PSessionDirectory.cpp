#include "zevo/core/PSessionDirectory.h"

#include "PExchange.h"
#include "zevo/PErrors.h"
#include "zevo/PUtils.h"

int PSessionDirectory::describe(int iResponseID, PString& oIdentity, int& oRole) {
  const PExchange* exchange = PExchange::current();
  if (exchange == nullptr || exchange->fInfo == nullptr || exchange->fResponseID != iResponseID || exchange->fReplied) {
    return ERR_COMMS_NO_EXCHANGE;
  }
  PString identity;
  if (PUtils::fromUtf8(exchange->fInfo->fIdentity.data(), exchange->fInfo->fIdentity.size(), identity) != 0) return ERR_INVALID_ARG;
  oIdentity = identity;
  oRole = exchange->fInfo->fRole;
  return 0;
}

unsigned int PSessionDirectory::frameMaxOf(int iResponseID) {
  const PExchange* exchange = PExchange::current();
  if (exchange == nullptr || exchange->fInfo == nullptr || exchange->fResponseID != iResponseID) return fFrameMax;
  const uint32_t own = exchange->fInfo->fFrameMax;
  return own != 0 && own < fFrameMax ? own : fFrameMax;
}
