// The changes that act on paths as a whole: rename, attributes, and
// removing a tree a bounded number of entries at a time.

#include "PFileOps.h"
#include "zevo/PErrors.h"
#include "zevo/PPathOps.h"

int PFileOps::actionRename(PRequest& ioRequest) {
  PString from, to;
  bool replace = false;
  int rc = ioRequest.fReader.readString(from);
  if (rc == 0) rc = ioRequest.fReader.readString(to);
  if (rc == 0) rc = ioRequest.fReader.readBool(replace);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  int status = mayChange(ioRequest, "actionRename");
  if (status == 0) status = permit(from, ACCESS_WRITE, "actionRename");
  if (status == 0) status = permit(to, ACCESS_WRITE, "actionRename");
  bool across = false;
  if (status == 0) status = PPathOps::rename(from, to, replace, across);
  return across ? FOPS_ERR_CROSS_FS : status;
}

int PFileOps::actionSetAttributes(PRequest& ioRequest) {
  PString path;
  int mode = 0;
  long long mtime = 0;
  int rc = ioRequest.fReader.readString(path);
  if (rc == 0) rc = ioRequest.fReader.readInt32(mode);
  if (rc == 0) rc = ioRequest.fReader.readInt64(mtime);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  // Permission bits only: set-user-ID and the like would let a peer make a
  // program that runs as the host's user.
  int status = mode < -1 || mode > 0777 || mtime < -1 ? FOPS_ERR_ARGUMENT : mayChange(ioRequest, "actionSetAttributes");
  if (status == 0) status = permit(path, ACCESS_WRITE, "actionSetAttributes");
  if (status == 0) status = PPathOps::setAttributes(path, mode, mtime);
  return status;
}

int PFileOps::actionRemoveTree(PRequest& ioRequest) {
  PString path;
  int budget = 0;
  int rc = ioRequest.fReader.readString(path);
  if (rc == 0) rc = ioRequest.fReader.readInt32(budget);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  int status = budget < 1 || budget > kFileOpsMaxRemove ? FOPS_ERR_ARGUMENT : mayChange(ioRequest, "actionRemoveTree");
  if (status == 0) status = permit(path, ACCESS_WRITE, "actionRemoveTree");
  unsigned int removed = 0;
  bool more = false;
  if (status == 0) status = PPathOps::removeTree(path, static_cast<unsigned int>(budget), removed, more);
  if (status != 0) removed = 0, more = false;
  ioRequest.fWriter.writeBool(more);
  ioRequest.fWriter.writeInt32(static_cast<int>(removed));
  return status;
}
