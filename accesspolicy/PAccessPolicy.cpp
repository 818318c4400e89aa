#include "PAccessPolicy.h"

#include "zevo/PFile.h"
#include "zevo/PUtils.h"
#include "zevo/protocol/PFileAccessProtocol.h"

namespace {

constexpr unsigned int kToNul = PLiteral::kToNul;

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

const wchar_t* const PAccessPolicy::kSetID = L"zevop.fileaccess";

const wchar_t* PAccessPolicy::key(List iList) {
  static const wchar_t* const kKeys[LIST_COUNT] = {L"fileaccess.read", L"fileaccess.write", L"fileaccess.read.recursive",
                                                   L"fileaccess.write.recursive"};
  return kKeys[iList];
}

void PAccessPolicy::tokenize(const PLiteral& iValue, std::vector<PString>& ioEntries) {
  PString rest(iValue);
  PString token;
  while (PLiteral::getNextToken(rest, token, L',') == 0) {
    PUtils::fixFileSeparator(token);
    endWithSeparator(token);
    ioEntries.push_back(token);
  }
}

int PAccessPolicy::load(IConfig& iConfig, const std::function<void(List, int, const PString&)>& iTrace) {
  // The order the keys were always read in: read, write, then the trees.
  static const List kOrder[LIST_COUNT] = {READ, WRITE, READ_TREE, WRITE_TREE};
  PString value;
  for (List list : kOrder) {
    const int result = iConfig.getString(PLiteral(key(list)), value);
    if (iTrace) iTrace(list, result, value);
    if (result != 0) return result;
    add(list, value);
  }
  return 0;
}

void PAccessPolicy::clear() {
  for (List list : {READ, READ_TREE, WRITE, WRITE_TREE}) fLists[list].clear();
}

unsigned int PAccessPolicy::judge(const PLiteral& iDirectory) const {
  PString dir(iDirectory);
  PUtils::fixFileSeparator(dir);
  endWithSeparator(dir);
  unsigned int mask = 0;
  if (anyEqual(dir, fLists[READ]) || anyPrefix(dir, fLists[READ_TREE])) mask |= ACCESS_READ;
  if (anyEqual(dir, fLists[WRITE]) || anyPrefix(dir, fLists[WRITE_TREE])) mask |= ACCESS_WRITE;
  return mask;
}

void PAccessPolicy::directoryOf(PString& ioPath) {
  PUtils::fixFileSeparator(ioPath);
  PString name(ioPath);
  PFile::getFileName(name);
  ioPath.erase(ioPath.len() - name.len(), name.len());
}

unsigned int PAccessPolicy::access(const PLiteral& iPath) const {
  PString dir(iPath);
  directoryOf(dir);
  return judge(dir);
}
