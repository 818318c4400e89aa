// Where a host listens and a client connects: a scheme, then the scheme's
// address, in one of three forms:
//   path       unix:PATH
//   host:port  tcp:HOST:PORT, tcp:[IPV6]:PORT, tls:HOST:PORT (TCP carrying TLS)
//   URL        mqtt://HOST[:PORT][/PATH], mqtts://... (a broker; the port has a default)
// One parser for both ends; which schemes a program serves or dials is its
// own business (the host's transports, the client's connectors), and so is
// what each end accepts beyond the form (a port of 0 or the host "*" to
// listen on every address). This library only connects stream sockets.
#pragma once

#include <string>

#include "zevo/PExport.h"

struct ZEVO_EXPORT PEndpoint {
  std::string fScheme;  // "unix", "tcp", "tls", "mqtt", "mqtts"
  std::string fPath;    // unix: the socket's path (1 to 107 bytes, no NUL); URL form: what follows "HOST:PORT/"
  std::string fHost;    // a name or an address, without brackets; "*" or empty: every address
  int fPort = 0;        // 0 to 65535

  // 0, or ERR_INVALID_ARG with oError saying what is wrong in words.
  static int parse(const std::string& iText, PEndpoint& oEndpoint, std::string& oError);
  // The endpoint as text, in the form parse() takes ("tcp:[::1]:7070").
  std::string text() const;
  bool is(const char* iScheme) const { return fScheme == iScheme; }
  bool network() const { return !fScheme.empty() && fScheme != "unix"; }  // reached through an IP address
  // Connects a stream socket to the endpoint's address (its path, or its
  // host and port) within iTimeoutMs (a Unix socket whose backlog is full is
  // waited for, as a blocking connect would): 0 with oFd, a non-blocking,
  // close-on-exec descriptor the caller owns (TCP: Nagle off); otherwise an
  // errno value (ETIMEDOUT when the time ran out) with oWhy in words.
  // Thread-safe; for a client, so "*" or an empty host and port 0 fail as
  // the system says.
  int connect(int iTimeoutMs, int& oFd, std::string& oWhy) const;
};
