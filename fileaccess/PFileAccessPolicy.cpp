// The access policy and the path utilities it shares with the actions.

#include "PFileAccess.h"
#include "zevo/PDir.h"
#include "zevo/PErrors.h"
#include "zevo/PUtils.h"

namespace {

constexpr unsigned int kToNul = PLiteral::kToNul;

// Longest path createRecursiveDirs walks up from; longer ones cannot be
// created on Linux anyway, and the limit bounds the recursion.
constexpr unsigned int kMaxCreatePath = 4096;

bool anyEqual(const PLiteral& iDir, const std::vector<PString>& iEntries) {
  for (const PString& entry : iEntries) {
    if (iDir.cmp(entry) == 0) return true;
  }
  return false;
}

bool anyPrefix(const PLiteral& iDir, const std::vector<PString>& iEntries) {
  for (const PString& entry : iEntries) {
    if (iDir.startsWith(entry, false)) return true;
  }
  return false;
}

// Appends the one trailing "/" of the directory form.
void endWithSeparator(PString& ioPath) {
  if (!ioPath.endsWith(L"/", kToNul, false)) ioPath.cat(L"/", kToNul);
}

}  // namespace

unsigned int PFileAccess::checkMode(const PLiteral& iPath) {
  PString dir(iPath);
  logDebug(L"[%s] Checking permissions of path [%ls]...", "checkMode", dir);
  PUtils::fixFileSeparator(dir);
  endWithSeparator(dir);

  unsigned int mask = 0;
  if (anyEqual(dir, fCfgReadAccess) || anyPrefix(dir, fCfgReadAccessRecursive)) mask |= ACCESS_READ;
  if (anyEqual(dir, fCfgWriteAccess) || anyPrefix(dir, fCfgWriteAccessRecursive)) mask |= ACCESS_WRITE;

  logDebug(L"[%s] The path [%ls] has permissions: [%d]", "checkMode", dir, static_cast<int>(mask));
  return mask;
}

void PFileAccess::tokenizeDir(const PLiteral& iValue, std::vector<PString>& ioList) {
  PString rest(iValue);
  PString token;
  while (PLiteral::getNextToken(rest, token, L',') == 0) {
    PUtils::fixFileSeparator(token);
    endWithSeparator(token);
    ioList.push_back(token);
  }
}

void PFileAccess::getDirFromPath(PString& ioPath) {
  PUtils::fixFileSeparator(ioPath);
  PString name(ioPath);
  PFile::getFileName(name);
  ioPath.erase(ioPath.len() - name.len(), name.len());
}

int PFileAccess::createRecursiveDirs(const PLiteral& iPath) {
  PString path(iPath);
  logDebug(L"[%s] Create dir: [%ls]", "createRecursiveDirs", path);
  int result = 0;
  if (PFile::exists(path) == 0) {
    if (path.endsWith(L"/", kToNul, false)) path.erase(path.len() - 1, 1);
    PString parent(path);
    PUtils::fixFileSeparator(parent);
    getDirFromPath(parent);
    if (path.len() > kMaxCreatePath) {
      result = PERR_NAME_TOO_LONG;
      logDebug(L"[%s] Create dir: [%ls] error [%d]", "createRecursiveDirs", path, result);
    } else if (path.len() != 0) {
      logDebug(L"[%s] Recurse", "createRecursiveDirs");
      result = createRecursiveDirs(parent);
      if (result == 0) {
        result = PDir::pcreate(path);
        if (result == 0) {
          logDebug(L"[%s] Create dir: [%ls] successful", "createRecursiveDirs", path);
        } else {
          logDebug(L"[%s] Create dir: [%ls] error [%d]", "createRecursiveDirs", path, result);
        }
      }
    }
  }
  logDebug(L"[%s] Returns [%d]", "createRecursiveDirs", result);
  return result;
}
