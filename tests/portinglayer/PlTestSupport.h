// Helpers of the porting-layer tests.
#pragma once

#include <dirent.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "zevo/PErrors.h"
#include "zevo/PString.h"

// A code as "NAME (value)" for failure messages.
inline std::string codeName(int iCode) {
  const char* name = PErrors::name(iCode);
  return std::string(name ? name : "?") + " (" + std::to_string(iCode) + ")";
}

// A fresh directory under the temporary directory, removed with its
// contents at scope end.
class PLayerTempDir {
 public:
  PLayerTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zevo-pl-XXXXXX").string();
    if (mkdtemp(pattern.data())) fPath = pattern;
  }
  ~PLayerTempDir() {
    std::error_code ignored;
    if (!fPath.empty()) std::filesystem::remove_all(fPath, ignored);
  }
  PLayerTempDir(const PLayerTempDir&) = delete;
  PLayerTempDir& operator=(const PLayerTempDir&) = delete;
  const std::string& path() const { return fPath; }

 private:
  std::string fPath;
};

// iName below iDir as wide text (names are ASCII).
inline PString widePath(const PLayerTempDir& iDir, const std::string& iName) {
  const std::string full = iDir.path() + "/" + iName;
  return PString(std::wstring(full.begin(), full.end()).c_str());
}

// The first open descriptor of this process that names iPath, or -1.
inline int descriptorOf(const std::string& iPath) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == iPath) return std::stoi(entry.path().filename().string());
  }
  return -1;
}

inline int openDescriptorCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++count;
    closedir(dir);
  }
  return count;
}
