// The access policy (PAccessPolicy decides) and the path utilities it
// shares with the actions.

#include "PFileAccess.h"
#include "zevo/PDir.h"
#include "zevo/PErrors.h"
#include "zevo/PUtils.h"

namespace {

constexpr unsigned int kToNul = PLiteral::kToNul;

// Longest path createRecursiveDirs walks up from; longer ones cannot be
// created on Linux anyway, and the limit bounds the recursion.
constexpr unsigned int kMaxCreatePath = 4096;

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

  const unsigned int mask = fPolicy.judge(dir);

  logDebug(L"[%s] The path [%ls] has permissions: [%d]", "checkMode", dir, static_cast<int>(mask));
  return mask;
}

void PFileAccess::tokenizeDir(const PLiteral& iValue, PAccessPolicy::List iList) { fPolicy.add(iList, iValue); }

void PFileAccess::getDirFromPath(PString& ioPath) { PAccessPolicy::directoryOf(ioPath); }

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
