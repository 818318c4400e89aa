// Helpers every test and fuzz target uses: temporary directories, file
// contents, descriptor counts, waiting for a condition.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "zevo/PErrors.h"
#include "zevo/PPathPolicy.h"
#include "zevo/PString.h"

using Bytes = std::vector<unsigned char>;

// A fresh directory (canonical path) removed with its content when the object goes.
class PTempDir {
 public:
  PTempDir();
  ~PTempDir();
  PTempDir(const PTempDir&) = delete;
  PTempDir& operator=(const PTempDir&) = delete;
  const std::string& path() const { return fPath; }
  std::string operator/(const std::string& iName) const { return fPath + "/" + iName; }
  std::wstring wide(const std::string& iName = "") const;  // fPath + "/" + iName

 private:
  std::string fPath;
};

void writeFile(const std::string& iPath, const Bytes& iBytes);
Bytes readFile(const std::string& iPath);
void writeText(const std::string& iPath, const std::string& iText);
std::string readText(const std::string& iPath);
bool makeSparse(const std::string& iPath, long long iSize, const Bytes& iHead = {});  // no data blocks but iHead
// Bytes that differ from one position to the next, so that a lost, doubled
// or reordered chunk shows.
Bytes patternBytes(size_t iCount, unsigned int iSeed = 1);
std::wstring widen(const std::string& iText);
PString wpath(const std::string& iPath);
// Descriptors open in a process (-1: this one), and those naming iPath.
int descriptorCount(int iPid = -1);
int descriptorsOn(const std::string& iPath, int iPid = -1);
bool eventually(const std::function<bool()>& iCondition, int iSeconds = 20);  // asked every 5 ms
// Every entry below iRoot, links not followed: kind and content.
std::map<std::string, std::string> treeSnapshot(const std::string& iRoot);

// The process's link policy for one scope.
class PSymlinkPolicyScope {
 public:
  explicit PSymlinkPolicyScope(int iPolicy) : fSaved(PPathPolicy::symlinks()) { PPathPolicy::setSymlinks(iPolicy); }
  ~PSymlinkPolicyScope() { PPathPolicy::setSymlinks(fSaved); }

 private:
  int fSaved;
};
