// What systemd gives the host it starts: listening sockets (socket
// activation) and a socket for notifications (Type=notify). Started any
// other way, or built without libsystemd, there are no passed sockets and
// notifying does nothing.
//
// Threading: passedSockets before any other thread starts (it changes the
// environment); the notifications from any thread.
#pragma once

#include <string>
#include <vector>

// A listening socket systemd passed: its descriptor, and whether it is a
// Unix one (else TCP).
struct PPassedSocket {
  int fFd = -1;
  bool fUnix = false;
};

class PSystemd {
 public:
  // The sockets passed to this process (LISTEN_FDS, LISTEN_PID), from
  // descriptor 3 on; the variables are removed, so that nothing the host
  // starts takes them for its own. False with oError when one is not a
  // listening Unix or TCP stream socket.
  static bool passedSockets(std::vector<PPassedSocket>& oSockets, std::string& oError);
  // READY=1, with iStatus as the status systemctl shows.
  static void notifyReady(const std::string& iStatus);
  // STOPPING=1: the shut-down has begun.
  static void notifyStopping();
};
