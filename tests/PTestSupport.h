// Helpers shared by the tests: temporary directories, file contents,
// descriptor counts and waiting for a condition.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class PTempDir {
 public:
  PTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zevo-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) fPath = pattern;
  }
  ~PTempDir() {
    std::error_code ignored;
    if (!fPath.empty()) std::filesystem::remove_all(fPath, ignored);
  }
  PTempDir(const PTempDir&) = delete;
  PTempDir& operator=(const PTempDir&) = delete;

  const std::string& path() const { return fPath; }
  std::string operator/(const std::string& iName) const { return fPath + "/" + iName; }
  std::wstring wide() const { return std::wstring(fPath.begin(), fPath.end()); }
  std::wstring wide(const std::wstring& iName) const { return wide() + L"/" + iName; }
  std::wstring wide(const std::string& iName) const { return wide() + L"/" + std::wstring(iName.begin(), iName.end()); }

 private:
  std::string fPath;
};

inline void writeFile(const std::string& iPath, const std::vector<unsigned char>& iBytes) {
  std::ofstream out(iPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(iBytes.data()), static_cast<std::streamsize>(iBytes.size()));
}

inline std::vector<unsigned char> readFile(const std::string& iPath) {
  std::ifstream in(iPath, std::ios::binary);
  return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeText(const std::string& iPath, const std::string& iText) {
  std::ofstream(iPath, std::ios::binary | std::ios::trunc) << iText;
}

inline std::string readText(const std::string& iPath) {
  std::ifstream in(iPath, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A file of iSize bytes without data blocks, iHead written at its start;
// false when the system refused.
inline bool makeSparse(const std::string& iPath, long long iSize, const std::vector<unsigned char>& iHead = {}) {
  const int fd = ::open(iPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = ::ftruncate(fd, static_cast<off_t>(iSize)) == 0;
  if (ok && !iHead.empty()) ok = ::pwrite(fd, iHead.data(), iHead.size(), 0) == static_cast<ssize_t>(iHead.size());
  ::close(fd);
  return ok;
}

// Bytes that differ from one position to the next, so that a lost, doubled
// or reordered chunk shows.
inline std::vector<unsigned char> patternBytes(size_t iCount, unsigned int iSeed = 1) {
  std::vector<unsigned char> bytes(iCount);
  std::mt19937 generator(iSeed);
  for (auto& byte : bytes) byte = static_cast<unsigned char>(generator());
  return bytes;
}

inline std::wstring widen(const std::string& iText) { return std::wstring(iText.begin(), iText.end()); }

// Number of descriptors open in this process.
inline int openDescriptorCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

// Whether iCondition holds within iSeconds, asked every 10 ms.
inline bool eventually(const std::function<bool()>& iCondition, int iSeconds = 20) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(iSeconds);
  while (!iCondition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}
