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

class PSystemd {
 public:
  // The descriptors of the sockets passed to this process (LISTEN_FDS,
  // LISTEN_PID), from 3 on; the variables are removed, so that nothing the
  // host starts takes them for its own. False with oError when one is not a
  // listening Unix or TCP stream socket.
  static bool passedSockets(std::vector<int>& oFds, std::string& oError);
  // READY=1, with iStatus as the status systemctl shows.
  static void notifyReady(const std::string& iStatus);
  // STOPPING=1: the shut-down has begun.
  static void notifyStopping();
};
