// Helpers of the porting-layer tests.
#pragma once

#include <filesystem>
#include <string>

#include "PTestSupport.h"
#include "zevo/PErrors.h"
#include "zevo/PString.h"

// A code as "NAME (value)" for failure messages.
inline std::string codeName(int iCode) {
  const char* name = PErrors::name(iCode);
  return std::string(name ? name : "?") + " (" + std::to_string(iCode) + ")";
}

// iName below iDir as wide text (names are ASCII).
inline PString widePath(const PTempDir& iDir, const std::string& iName) {
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
