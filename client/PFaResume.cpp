#include "PFaResume.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

// FNV-1a: a name for the key that stays the same from one build to the next.
std::string hashName(const std::string& iText) {
  unsigned long long hash = 14695981039346656037ULL;
  for (const char c : iText) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  char name[24];
  std::snprintf(name, sizeof name, "%016llx", hash);
  return name;
}

std::string stateDir() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/zevofa/uploads";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/zevofa/uploads";
  return "";
}

// Creates iDir and its parents, private to the user.
bool makeDirs(const std::string& iDir) {
  for (size_t slash = iDir.find('/', 1); ; slash = iDir.find('/', slash + 1)) {
    const std::string part = iDir.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

}  // namespace

PFaResume::PFaResume(const std::string& iEndpoint, const std::string& iRemote) : fKey(iEndpoint + "\n" + iRemote) {
  const std::string dir = stateDir();
  if (!dir.empty()) fFile = dir + "/" + hashName(fKey);
}

std::string PFaResume::token() const {
  std::ifstream in(fFile);
  std::string endpoint, remote, token;
  if (!std::getline(in, endpoint) || !std::getline(in, remote) || !std::getline(in, token)) return "";
  return endpoint + "\n" + remote == fKey ? token : "";
}

bool PFaResume::keep(const std::string& iToken, const std::string& iLocal) const {
  const size_t slash = fFile.rfind('/');
  if (fFile.empty() || !makeDirs(fFile.substr(0, slash))) return false;
  const std::string temporary = fFile + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  const std::string text = fKey + "\n" + iToken + "\n" + iLocal + "\n";
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const bool closed = ::close(fd) == 0;
  if (written && closed && ::rename(temporary.c_str(), fFile.c_str()) == 0) return true;
  ::unlink(temporary.c_str());
  return false;
}

void PFaResume::forget() const {
  if (!fFile.empty()) ::unlink(fFile.c_str());
}
