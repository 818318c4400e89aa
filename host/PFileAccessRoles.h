// The file-access module's side of the session roles. A session with the
// read role may query (GetFileSize, IsExists, IsFile, ListDir), open
// transfers for reading, read chunks and close; a request of it that would
// change files (StartFileTransfer whose mode asks no reading, SetNextFileData
// into an upload, MakeDir, DeleteFile, DeleteDir) is answered here exactly
// as the module answers a request its policy refuses (-511), and never
// reaches the module: the peer cannot tell a role from the policy. A request
// the module could not read reaches it and is answered as always (it
// changes nothing). Sessions with the write role pass untouched.
//
// Threading: called by the sessions' workers, several at once.
#pragma once

#include <set>

#include "zevo/PStdMutex.h"
#include "zevo/core/PSessionWatcher.h"

class PFileAccessRoles final : public PSessionWatcher {
 public:
  bool answer(const PSessionInfo& iSession, const PCommsMessage& iRequest, PCommsMessage& oAnswer) override;
  // Keeps the IDs of the uploads open, whichever session opened them.
  void replied(const PSessionInfo& iSession, const PCommsMessage& iRequest, const PCommsMessage& iReply) override;
  std::vector<PRelease> ended(const PSessionInfo&) override { return {}; }

 private:
  PStdMutex fLock;
  std::set<int> fUploads ZEVO_GUARDED_BY(fLock);
};
