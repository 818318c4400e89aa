// Where zevofa keeps the tokens of uploads the host keeps for resuming:
// one small file per host endpoint and remote path under
// $XDG_STATE_HOME/zevofa/uploads (~/.local/state/zevofa/uploads), written
// before the upload's data is sent and removed once it is committed, so
// that "put --continue" finds it after a cut, whatever cut it.
#pragma once

#include <string>

class PFaResume {
 public:
  PFaResume(const std::string& iEndpoint, const std::string& iRemote);
  // The token kept for this upload, "" when none.
  std::string token() const;
  // Keeps iToken (replacing the file whole); false when it cannot be
  // written (the upload then cannot be continued, and goes on all the same).
  bool keep(const std::string& iToken, const std::string& iLocal) const;
  void forget() const;
  const std::string& file() const { return fFile; }

 private:
  std::string fKey;   // endpoint and remote path, as the file names them
  std::string fFile;  // empty when there is no place for state
};
