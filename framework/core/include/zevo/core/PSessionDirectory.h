// The session directory a host registers (ZEVO_ID_SESSIONS,
// zevo/ISessionDirectory.h): who sent the request a module is serving, as
// the session layer knows it, and the host's frame limit.
//
// Threading: as ISessionDirectory says; any thread.
#pragma once

#include "zevo/ISessionDirectory.h"
#include "zevo/PExport.h"
#include "zevo/PRefCounted.h"

class ZEVO_EXPORT PSessionDirectory final : public PRefCounted<ISessionDirectory> {
 public:
  explicit PSessionDirectory(unsigned int iFrameMax) : fFrameMax(iFrameMax) {}
  int describe(int iResponseID, PString& oIdentity, int& oRole) override;
  unsigned int frameMax() override { return fFrameMax; }
  unsigned int frameMaxOf(int iResponseID) override;

 private:
  const unsigned int fFrameMax;
};
