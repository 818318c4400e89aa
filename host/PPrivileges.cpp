#include "PPrivileges.h"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

// The process's permitted and effective capability sets are empty.
bool noCapabilities() {
  std::ifstream status("/proc/self/status");
  int empty = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 7, "CapPrm:") == 0 || line.compare(0, 7, "CapEff:") == 0) {
      empty += line.find_first_not_of("0\t ", 7) == std::string::npos ? 1 : 0;
    }
  }
  return empty == 2;
}

}  // namespace

bool dropPrivileges(uid_t iUser, gid_t iGroup, std::string& oError) {
  uid_t real = 0, effective = 0, saved = 0;
  gid_t realGroup = 0, effectiveGroup = 0, savedGroup = 0;
  const bool already = getresuid(&real, &effective, &saved) == 0 && real == iUser && effective == iUser && saved == iUser &&
                       getresgid(&realGroup, &effectiveGroup, &savedGroup) == 0 && realGroup == iGroup &&
                       effectiveGroup == iGroup && savedGroup == iGroup;
  if (!already) {
    // Groups first: once the user is not root, they can no longer change.
    // glibc applies each call to every thread of the process.
    const char* step = setgroups(0, nullptr) != 0 ? "clear the supplementary groups"
                       : setresgid(iGroup, iGroup, iGroup) != 0 ? "change the group"
                       : setresuid(iUser, iUser, iUser) != 0    ? "change the user"
                                                                : nullptr;
    if (step != nullptr) {
      oError = std::string("cannot ") + step + ": " + std::strerror(errno);
      return false;
    }
  }
  if (getresuid(&real, &effective, &saved) != 0 || real != iUser || effective != iUser || saved != iUser ||
      getresgid(&realGroup, &effectiveGroup, &savedGroup) != 0 || effectiveGroup != iGroup) {
    oError = "the user and group did not change as asked";
    return false;
  }
  if (iUser != 0 && (!noCapabilities() || setuid(0) == 0)) {
    oError = "capabilities remain after the change of user";
    return false;
  }
  return true;
}
