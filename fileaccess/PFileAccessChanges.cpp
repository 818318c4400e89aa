// The actions that change the file system at one path: MakeDir, DeleteFile
// and DeleteDir. Each needs write access to the directory holding the path.

#include "PFileAccess.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PDir.h"
#include "zevo/PErrors.h"

int PFileAccess::changePath(const PCommsMessage& iRequest, PCommsMessage& oResponse, const char* iFunction,
                            int (*iChange)(PFileAccess&, const PLiteral&), bool iLogDelete) {
  PString pathToCreate;
  const int readResult = PDataReader(iRequest.fData).readString(pathToCreate);
  if (readResult != 0) {
    logError(L"[%s] Error reading pathToCreate [%d]", iFunction, readResult);
    return readResult;
  }
  if (iLogDelete) logDebug(L"[%s] File to delete: [%ls]", iFunction, pathToCreate);

  PString parent(pathToCreate);
  getDirFromPath(parent);
  logDebug(L"[%s] parent=[%ls]", iFunction, parent);

  int status;
  if ((checkMode(parent) & ACCESS_WRITE) == 0) {
    logError(L"[%s] No write access to path [%ls].", iFunction, pathToCreate);
    status = ERR_ACCESS_DENIED;
  } else {
    // The change applies to the path as received, not to its parent.
    status = iChange(*this, pathToCreate);
  }
  fillResponse(oResponse, status);
  PDataWriter writer(oResponse.fData);  // no result element
  return status;
}

int PFileAccess::actionMakeDir(const PCommsMessage& iRequest, PCommsMessage& oResponse) {
  return changePath(
      iRequest, oResponse, "actionMakeDir",
      [](PFileAccess& iSelf, const PLiteral& iPath) { return iSelf.createRecursiveDirs(iPath); }, false);
}

int PFileAccess::actionDeleteFile(const PCommsMessage& iRequest, PCommsMessage& oResponse) {
  return changePath(
      iRequest, oResponse, "actionDeleteFile", [](PFileAccess&, const PLiteral& iPath) { return PFile::pdelete(iPath); },
      true);
}

int PFileAccess::actionDeleteDir(const PCommsMessage& iRequest, PCommsMessage& oResponse) {
  return changePath(
      iRequest, oResponse, "actionDeleteDir", [](PFileAccess&, const PLiteral& iPath) { return PDir::pdelete(iPath); },
      true);
}
