#include "PTestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <thread>

namespace fs = std::filesystem;

PTempDir::PTempDir() {
  std::string pattern = (fs::temp_directory_path() / "zevo-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) fPath = fs::canonical(pattern).string();
}

PTempDir::~PTempDir() {
  std::error_code ignored;
  if (!fPath.empty()) fs::remove_all(fPath, ignored);
}

std::wstring PTempDir::wide(const std::string& iName) const { return widen(fPath + "/" + iName); }

void writeFile(const std::string& iPath, const Bytes& iBytes) {
  std::ofstream(iPath, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(iBytes.data()), static_cast<std::streamsize>(iBytes.size()));
}

Bytes readFile(const std::string& iPath) {
  std::ifstream in(iPath, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeText(const std::string& iPath, const std::string& iText) { writeFile(iPath, Bytes(iText.begin(), iText.end())); }

std::string readText(const std::string& iPath) {
  const Bytes bytes = readFile(iPath);
  return std::string(bytes.begin(), bytes.end());
}

bool makeSparse(const std::string& iPath, long long iSize, const Bytes& iHead) {
  const int fd = ::open(iPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = ::ftruncate(fd, static_cast<off_t>(iSize)) == 0;
  if (ok && !iHead.empty()) ok = ::pwrite(fd, iHead.data(), iHead.size(), 0) == static_cast<ssize_t>(iHead.size());
  ::close(fd);
  return ok;
}

Bytes patternBytes(size_t iCount, unsigned int iSeed) {
  Bytes bytes(iCount);
  std::mt19937 generator(iSeed);
  for (auto& byte : bytes) byte = static_cast<unsigned char>(generator());
  return bytes;
}

std::wstring widen(const std::string& iText) { return std::wstring(iText.begin(), iText.end()); }

PString wpath(const std::string& iPath) { return PString(widen(iPath).c_str()); }

// The descriptors of a process (-1: this one) whose target iMatch accepts.
static int countDescriptors(int iPid, const std::function<bool(const fs::path&)>& iMatch) {
  int count = 0;
  std::error_code error;
  for (auto it = fs::directory_iterator(iPid < 0 ? "/proc/self/fd" : "/proc/" + std::to_string(iPid) + "/fd", error);
       !error && it != fs::directory_iterator(); it.increment(error)) {
    std::error_code ignored;
    count += iMatch(fs::read_symlink(it->path(), ignored)) ? 1 : 0;
  }
  return count;
}

int descriptorCount(int iPid) {
  return countDescriptors(iPid, [](const fs::path&) { return true; }) - (iPid < 0 ? 1 : 0);  // not the listing's own
}

int descriptorsOn(const std::string& iPath, int iPid) {
  return countDescriptors(iPid, [&](const fs::path& iTarget) { return iTarget.string() == iPath; });
}

bool eventually(const std::function<bool()>& iCondition, int iSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(iSeconds);
  while (!iCondition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::map<std::string, std::string> treeSnapshot(const std::string& iRoot) {
  std::map<std::string, std::string> entries;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(iRoot, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    const std::string path = it->path().string();
    std::string& value = entries[path.substr(iRoot.size())];
    if (it->is_symlink()) {
      value = "link:" + fs::read_symlink(path, error).string();
    } else if (it->is_directory()) {
      value = "dir";
    } else {
      value = "file:" + readText(path);
    }
  }
  return entries;
}
