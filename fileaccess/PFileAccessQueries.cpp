// The one-shot read actions: GetFileSize, IsExists, IsFile and ListDir.

#include "PFileAccess.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PDir.h"
#include "zevo/PErrors.h"

int PFileAccess::readPathQuery(const PCommsMessage& iRequest, const char* iFunction, PString& oFileName,
                               bool& oReadable) {
  PDataReader reader(iRequest.fData);
  const int result = reader.readString(oFileName);
  if (result != 0) {
    logError(L"[%s] Error reading fileName [%d]", iFunction, result);
    return result;
  }
  PString parent(oFileName);
  getDirFromPath(parent);
  logDebug(L"[%s] path=[%ls]", iFunction, parent);
  oReadable = (checkMode(parent) & ACCESS_READ) != 0;
  if (!oReadable) logError(L"[%s] No read access to file [%ls].", iFunction, oFileName);
  return 0;
}

int PFileAccess::actionIsExists(const PCommsMessage& iRequest, PCommsMessage& oResponse) {
  static const char* const kFunction = "actionIsExists";
  PString fileName;
  bool readable = false;
  const int readResult = readPathQuery(iRequest, kFunction, fileName, readable);
  if (readResult != 0) return readResult;

  int status = ERR_ACCESS_DENIED;
  bool exists = false;
  if (readable) {
    exists = PFile::exists(fileName) != 0;
    logDebug(L"[%s] Check if file [%ls] exists: [%d]", kFunction, fileName, exists ? 1 : 0);
    status = 0;  // a missing path is a successful "false"
  }
  fillResponse(oResponse, status);
  PDataWriter(oResponse.fData).writeBool(exists);
  return status;
}

int PFileAccess::actionIsFile(const PCommsMessage& iRequest, PCommsMessage& oResponse) {
  static const char* const kFunction = "actionIsFile";
  PString fileName;
  bool readable = false;
  const int readResult = readPathQuery(iRequest, kFunction, fileName, readable);
  if (readResult != 0) return readResult;

  int status = ERR_ACCESS_DENIED;
  bool isFile = false;
  if (readable) {
    if (PFile::exists(fileName) == 0) {
      logDebug(L"[%s] The path [%ls] does not exist.", kFunction, fileName);
      status = ERR_FAILED;
    } else {
      const int isDir = PFile::check(fileName, PFile::CHECK_DIR) != 0 ? 1 : 0;
      const int isRegular = PFile::check(fileName, PFile::CHECK_FILE) != 0 ? 1 : 0;
      logDebug(L"[%s] Check if path [%ls] is dir: [%d]; is file: [%d]", kFunction, fileName, isDir, isRegular);
      if (isDir == 0 && isRegular == 0) {
        status = ERR_NOT_FILE_OR_DIR;
      } else {
        status = 0;
        isFile = isRegular != 0;
      }
    }
  }
  fillResponse(oResponse, status);
  PDataWriter(oResponse.fData).writeBool(isFile);
  return status;
}

int PFileAccess::actionGetFileSize(const PCommsMessage& iRequest, PCommsMessage& oResponse) {
  static const char* const kFunction = "actionGetFileSize";
  long long size = 0;
  PString fileName;
  bool readable = false;
  const int readResult = readPathQuery(iRequest, kFunction, fileName, readable);
  if (readResult != 0) return readResult;

  int status = ERR_ACCESS_DENIED;
  if (readable) {
    // The size is asked of the open file; anything that cannot be opened for
    // reading answers with the opening error. The PFile closes itself on
    // every path, also after a failed size query.
    PPtr<PFile> file(new PFile(), 0);
    status = file->popen(fileName, PFile::MODE_READ_ONLY, 1);
    if (status != 0) {
      logError(L"[%s] Error opening file [%ls] mode [%d], res=%d", kFunction, fileName, 1, status);
    } else {
      const int sizeResult = file->pgetSize(size);
      if (sizeResult != 0) {
        logError(L"[%s] Error getting filesize [%ls], res=%d", kFunction, fileName, sizeResult);
        status = ERR_FAILED;
      } else {
        logDebug(L"[%s] file size [%d]", kFunction, static_cast<int>(size));
        status = file->pclose();
        logDebug(L"[%s] file closed", kFunction);
      }
    }
  }
  fillResponse(oResponse, status);
  PDataWriter(oResponse.fData).writeInt64(size);
  return status;
}

int PFileAccess::actionListDir(const PCommsMessage& iRequest, PCommsMessage& oResponse) {
  static const char* const kFunction = "actionListDir";
  PDir dir;
  std::vector<PString> names;
  PString path;
  // The result of reading the path is looked at only after the checks below
  // have judged the (then empty) path.
  const int readResult = PDataReader(iRequest.fData).readString(path);

  PString parent(path);
  getDirFromPath(parent);
  logDebug(L"[%s] path=[%ls]", kFunction, parent);

  int status;
  if ((checkMode(parent) & ACCESS_READ) == 0) {
    logError(L"[%s] No read access to file [%ls].", kFunction, path);
    status = ERR_ACCESS_DENIED;
  } else if (PFile::check(path, PFile::CHECK_DIR) == 0) {
    logDebug(L"[%s] The parent is file.", kFunction);
    status = ERR_FAILED;
  } else {
    // A listing that cannot be opened answers its code through preaddir.
    dir.popen(path, PLiteral(static_cast<const wchar_t*>(nullptr)));
    if (readResult != 0) {
      status = readResult;
    } else {
      status = dir.preaddir();
      for (; dir == 0; dir++) {
        const PLiteral entry = dir.getEntry();
        if (entry.cmp(L".", PLiteral::kToNul) == 0 || entry.cmp(L"..", PLiteral::kToNul) == 0) continue;
        names.emplace_back(entry);
      }
      logDebug(L"[%s] Found [%d] entries", kFunction, static_cast<int>(names.size()));
      dir.pclose();
    }
  }
  fillResponse(oResponse, status);
  PDataWriter(oResponse.fData).writeStrings(names);
  return status;
}
