#include "PUnixTransport.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zevo/PErrors.h"

namespace {

constexpr int kBacklog = 128;

int failure(int iError, const std::string& iWhat, std::string& oError) {
  oError = iWhat + ": " + std::strerror(iError);
  return PErrors::fromErrno(iError);
}

// The directory of a socket path ("." for a bare name).
std::string directoryOf(const std::string& iPath) {
  const size_t slash = iPath.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : iPath.substr(0, slash);
}

}  // namespace

// Binds so that no other user can connect before the mode and group hold.
// The umask cannot do it (it is the whole process's), and changing the mode
// by path after binding leaves a moment with the umask's mode, through a
// link that whoever can write the directory may put there. So the socket is
// bound in a private directory (0700, beside the path), given its group and
// mode there, made to listen, and renamed into place, which also replaces a
// stale socket file in one step. (getsockname and a peer's getpeername name
// the private path; nothing relies on them.)
int PUnixTransport::bind(const PEndpoint& iEndpoint, PFd& oFd, std::string& oWhere, std::string& oFile, std::string& oError) {
  const std::string& path = iEndpoint.fPath;
  struct stat info;
  if (::lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      oError = path + " exists and is not a socket";
      return PERR_EXISTS;
    }
    sockaddr_un probeAddress{};
    probeAddress.sun_family = AF_UNIX;
    std::memcpy(probeAddress.sun_path, path.c_str(), path.size() + 1);
    PFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe.valid() && ::connect(probe.get(), reinterpret_cast<sockaddr*>(&probeAddress), sizeof probeAddress) == 0) {
      oError = "another process is listening on " + path;
      return ERR_ALREADY;
    }
  }
  const std::string directory = directoryOf(path);
  std::string scratch = (directory == "/" ? "" : directory) + "/.zevoXXXXXX";
  if (::mkdtemp(scratch.data()) == nullptr) return failure(errno, "cannot bind " + path, oError);
  const std::string bound = scratch + "/s";
  struct Scratch {  // removed on every way out (after the rename, only the directory is left)
    const std::string& fDirectory;
    const std::string& fSocket;
    ~Scratch() {
      ::unlink(fSocket.c_str());
      ::rmdir(fDirectory.c_str());
    }
  } cleanup{scratch, bound};
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (bound.size() >= sizeof address.sun_path) {
    oError = "cannot bind " + path + ": the path of its private directory, " + bound + ", is longer than " +
             std::to_string(sizeof address.sun_path - 1) + " bytes";
    return ERR_INVALID_ARG;
  }
  std::memcpy(address.sun_path, bound.c_str(), bound.size() + 1);
  oFd.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!oFd.valid() || ::bind(oFd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return failure(errno, "cannot bind " + path, oError);
  }
  const gid_t group = fGroup == static_cast<gid_t>(-1) ? ::getegid() : fGroup;
  if (::chown(bound.c_str(), static_cast<uid_t>(-1), group) != 0) {
    return failure(errno, "cannot give " + path + " the group " + std::to_string(group), oError);
  }
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned int>(fMode));
  if (::chmod(bound.c_str(), fMode) != 0) return failure(errno, "cannot give " + path + " the mode " + mode, oError);
  if (::listen(oFd.get(), kBacklog) != 0) return failure(errno, "cannot listen on " + path, oError);
  if (::rename(bound.c_str(), path.c_str()) != 0) return failure(errno, "cannot bind " + path, oError);
  oWhere = "unix:" + path;
  oFile = path;
  return 0;
}

bool PUnixTransport::serves(int iFamily) const { return iFamily == AF_UNIX; }

// "unix:PATH" of a bound Unix socket; "unix:@NAME" for an abstract name.
std::string PUnixTransport::whereOf(int iFd) const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(iFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "unix:";
  const auto* un = reinterpret_cast<const sockaddr_un*>(&address);
  const size_t offset = offsetof(sockaddr_un, sun_path);
  const size_t size = length > offset ? std::min<size_t>(length - offset, sizeof un->sun_path) : 0;
  if (size == 0) return "unix:";
  if (un->sun_path[0] == '\0') return "unix:@" + std::string(un->sun_path + 1, size - 1);
  return "unix:" + std::string(un->sun_path, strnlen(un->sun_path, size));
}

// "unix:PID:UID" and the identity "uid:UID", with the peer's groups.
void PUnixTransport::describe(int iFd, PSessionInfo& ioInfo) const {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  ioInfo.fPeer = "unix";
  if (getsockopt(iFd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return;
  ioInfo.fPeer += ":" + std::to_string(credentials.pid) + ":" + std::to_string(credentials.uid);
  ioInfo.fIdentity = "uid:" + std::to_string(credentials.uid);
  ioInfo.fGroups.push_back(credentials.gid);
  // The supplementary groups: as many as the peer has (the system says how
  // many when the buffer is short).
  std::vector<gid_t> groups(32);
  socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
  int got = getsockopt(iFd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes);
  if (got != 0 && errno == ERANGE) {
    groups.resize(bytes / sizeof(gid_t));
    got = getsockopt(iFd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes);
  }
  if (got == 0) ioInfo.fGroups.insert(ioInfo.fGroups.end(), groups.begin(), groups.begin() + bytes / sizeof(gid_t));
}
