// Where a host listens and a client connects: "unix:PATH", "tcp:HOST:PORT",
// "tcp:[IPV6]:PORT", and "tls:HOST:PORT" (TCP carrying TLS, written as tcp:
// is). One parser for both ends; what each end accepts beyond the form (a
// port of 0 or the host "*" to listen on every address) is its own check,
// and so is TLS itself: this library only connects the TCP socket.
#pragma once

#include <string>

#include "zevo/PExport.h"

struct ZEVO_EXPORT PEndpoint {
  enum Kind { kUnix, kTcp, kTls };
  Kind fKind = kUnix;
  std::string fPath;  // kUnix: the socket's path (1 to 107 bytes, no NUL)
  std::string fHost;  // kTcp, kTls: a name or an address, without brackets; "*" or empty: every address
  int fPort = 0;      // kTcp, kTls: 0 to 65535

  // 0, or ERR_INVALID_ARG with oError saying what is wrong in words.
  static int parse(const std::string& iText, PEndpoint& oEndpoint, std::string& oError);
  // The endpoint as text, in the form parse() takes ("tcp:[::1]:7070").
  std::string text() const;
  bool network() const { return fKind != kUnix; }  // TCP, plain or with TLS
  // Connects a stream socket to the endpoint within iTimeoutMs (a Unix
  // socket whose backlog is full is waited for, as a blocking connect
  // would): 0 with oFd, a non-blocking, close-on-exec descriptor the caller
  // owns (TCP and TLS: the TCP connection, Nagle off); otherwise an errno value (ETIMEDOUT when the time
  // ran out) with oWhy in words. Thread-safe; for a client, so "*" or an
  // empty host and port 0 fail as the system says.
  int connect(int iTimeoutMs, int& oFd, std::string& oWhy) const;
};
