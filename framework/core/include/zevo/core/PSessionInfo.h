// Who is at the other end of a session, as its transport proved it and the
// host's gate (zevo/core/PSessionGate.h) judged it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// What a session may do, as the host's gate decided when it began: none
// (refused), read (queries and downloads), write (everything its module
// allows).
enum PSessionRole : int { SESSION_ROLE_NONE = 0, SESSION_ROLE_READ = 1, SESSION_ROLE_WRITE = 2 };

inline const char* sessionRoleName(int iRole) {
  return iRole == SESSION_ROLE_WRITE ? "write" : iRole == SESSION_ROLE_READ ? "read" : "none";
}

struct PSessionInfo {
  uint64_t fNumber = 0;    // unique for the host's life
  std::string fTransport;  // the scheme of the transport it came by: "unix", "tcp", "tls"...
  bool fLocal = false;     // a transport of this machine only (the Unix socket)
  std::string fPeer;       // "unix:PID:UID", "tcp:ADDRESS:PORT", "tls:ADDRESS:PORT"
  std::string fAddress;    // a network peer's source address ("192.0.2.7"); else empty
  // Who the transport says the peer is: "uid:N" (a Unix peer's user, as the
  // system tells), "tcp:ADDRESS" (plain TCP: only its address), "cert:NAME"
  // (TLS: the common name of the subject of the certificate the peer proved
  // it holds, signed by the host's CA); empty when the transport cannot tell.
  std::string fIdentity;
  std::string fFingerprint;  // TLS: "sha256:HEX" of the peer's certificate; else empty
  // A Unix peer's groups, as the system tells: its primary group
  // (SO_PEERCRED), then its supplementary groups (SO_PEERGROUPS); else empty.
  std::vector<gid_t> fGroups;
  int fRole = SESSION_ROLE_NONE;  // PSessionRole, set before the session serves its first request
  // The session has ended: the request is a release, and fEndedBy says why:
  // "connection-end" (the peer left or broke the protocol), "idle-timeout",
  // "frame-timeout", "yielded" (its place went to another identity),
  // "host-stop".
  // The largest frame (bytes after its length field) its transport carries
  // either way, when less than the host's frame limit (a broker's packets);
  // 0: the host's limit alone. Set before the session serves.
  uint32_t fFrameMax = 0;
  bool fEnded = false;
  std::string fEndedBy;
};
