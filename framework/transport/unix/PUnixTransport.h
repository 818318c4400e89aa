// The Unix-domain socket transport ("unix:PATH"): peers of this machine,
// whose user and groups the kernel proves (identity "uid:N"). A socket file
// it binds gets its mode and group before any peer can reach it.
#pragma once

#include <sys/types.h>

#include "PStreamTransport.h"

class PUnixTransport final : public PStreamTransport {
 public:
  // iMode (0 to 0777, whatever the umask) and iGroup (-1: the process's
  // effective group) of every socket file it binds.
  PUnixTransport(mode_t iMode = 0660, gid_t iGroup = static_cast<gid_t>(-1)) : fMode(iMode), fGroup(iGroup) {}
  const char* scheme() const override { return "unix"; }
  bool local() const override { return true; }
  // A socket file left by a host that is gone is replaced; one that answers
  // belongs to a running host (ERR_ALREADY).
  int bind(const PEndpoint& iEndpoint, PFd& oFd, std::string& oWhere, std::string& oFile, std::string& oError) override;
  bool serves(int iFamily) const override;
  std::string whereOf(int iFd) const override;
  void describe(int iFd, PSessionInfo& ioInfo) const override;
  std::unique_ptr<PByteChannel> channel(int iFd, std::string& oError) const override { return plainChannel(iFd, oError); }

 private:
  const mode_t fMode;
  const gid_t fGroup;
};
