#include "PSystemd.h"

#include <cstring>

#ifdef ZEVO_WITH_SYSTEMD
#include <sys/socket.h>
#include <systemd/sd-daemon.h>

bool PSystemd::passedSockets(std::vector<PPassedSocket>& oSockets, std::string& oError) {
  const int count = sd_listen_fds(1);
  if (count < 0) {
    oError = std::string("cannot take the sockets systemd passed (LISTEN_FDS): ") + std::strerror(-count);
    return false;
  }
  for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + count; ++fd) {
    const bool isUnix = sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) > 0;
    if (!isUnix && sd_is_socket_inet(fd, AF_UNSPEC, SOCK_STREAM, 1, 0) <= 0) {
      const char* what = sd_is_socket(fd, AF_UNSPEC, 0, -1) > 0 ? "a socket, but not a listening Unix or TCP stream socket"
                                                                 : "not a socket";
      oError = "descriptor " + std::to_string(fd) + " that systemd passed is " + what;
      return false;
    }
    oSockets.push_back(PPassedSocket{fd, isUnix});
  }
  return true;
}

void PSystemd::notifyReady(const std::string& iStatus) { sd_notify(0, ("READY=1\nSTATUS=" + iStatus).c_str()); }

void PSystemd::notifyStopping() { sd_notify(0, "STOPPING=1\nSTATUS=shutting down"); }

#else

bool PSystemd::passedSockets(std::vector<PPassedSocket>&, std::string&) { return true; }
void PSystemd::notifyReady(const std::string&) {}
void PSystemd::notifyStopping() {}

#endif
