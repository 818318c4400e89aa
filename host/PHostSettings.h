// What the host runs with: its configuration set "zevohost", overridden by
// the command line.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "PRoles.h"
#include "zevo/IConfig.h"
#include "zevo/ILogger.h"
#include "zevo/PPathPolicy.h"
#include "PSystemd.h"
#include "PTlsSettings.h"
#include "zevo/core/PConfig.h"

struct PHostSettings {
  std::string fConfigDir = "/etc/zevo";
  std::vector<std::string> fPlugins;             // plug-in libraries, absolute
  std::vector<std::string> fListen;              // endpoints
  std::vector<PPassedSocket> fPassedSockets;     // listening sockets systemd passed: served instead of fListen
  mode_t fSocketMode = 0660;                     // of the Unix socket files the host creates
  gid_t fSocketGroup = static_cast<gid_t>(-1);   // their group; -1: the process's
  int fWorkers = 0;                              // 0: one per core, at least 2
  long fFrameMax = 1 << 20;
  long fConnectionMax = 64;
  long fReadAhead = 256 * 1024;
  long fPerIdentity = 16;                        // sessions per identity; at most fConnectionMax
  long fWriteReserve = 4;                        // of fConnectionMax, sessions for the write role only
  long fLocalReserve = 8;                        // of fConnectionMax, sessions for Unix-socket peers only
  long fHandshakeMax = 16;                       // connections in their TLS handshake, all together
  long fHandshakePerAddress = 4;                 // of them, from one source address
  long fHandshakeTimeout = 10;                   // s a handshake may take
  long fFrameTimeout = 30;                       // s a begun frame may take; 0: no limit
  long fIdleTimeout = 300;                       // s a session without a transfer may idle; 0: no limit
  long fTransferMax = 16;                        // open transfers per session; 0: no limit
  long fFdReserve = 64;                          // descriptors transfers leave free
  long fMemoryMax = 64L << 20;                   // the sessions' reply and receive buffers together
  int fLogLevel = LOG_LEVEL_INFO;
  std::string fLogTarget = "stderr";             // stderr, syslog, journal or file:PATH
  int fSymlinks = PPathPolicy::SYMLINKS_REFUSE;  // paths through links: refused by default
  int fMounts = PPathPolicy::MOUNTS_CROSS;       // paths across mount points: crossed by default
  bool fTransferIsolation = true;                // a transfer serves only the session that opened it
  // Who the host becomes once its sockets are bound and its plug-ins
  // loaded (-1: it stays who it was started as).
  uid_t fUser = static_cast<uid_t>(-1);
  gid_t fGroup = static_cast<gid_t>(-1);
  PTlsSettings fTls;                             // tls.cert, tls.key, tls.ca (absolute), tls.allow
  bool fTcpInsecure = false;                     // plain TCP allowed on addresses other than loopback
  // Who writes and who reads (role.write, role.read). Without role.write
  // (fRoleWriteSet false) the host writes in root, its own user and its
  // Unix sockets' group (PHost).
  std::vector<PRolePattern> fRoleWrite;
  bool fRoleWriteSet = false;
  std::vector<PRolePattern> fRoleRead;
  bool fHelp = false;
  bool fVersion = false;
};

// Command-line options, as given (empty: not given).
struct PHostOptions {
  std::string fConfigDir;
  std::vector<std::string> fPlugins;
  std::vector<std::string> fListen;
  std::string fWorkers, fFrameMax, fConnectionMax, fReadAhead, fLogLevel, fLogTarget, fSymlinks, fMounts, fTransferIsolation;
  std::string fPerIdentity, fFrameTimeout, fIdleTimeout, fTransferMax, fFdReserve, fMemoryMax;
  std::string fSocketMode, fSocketGroup, fUser, fGroup;
  std::string fTlsCert, fTlsKey, fTlsCa, fTlsAllow, fTcpInsecure;
  std::string fRoleWrite, fRoleRead;
  bool fRoleWriteGiven = false, fRoleReadGiven = false;  // even when empty: nobody
  bool fHelp = false;
  bool fVersion = false;
};

// Parses argv; false with oError on a usage error.
bool parseHostOptions(int iArgc, char** iArgv, PHostOptions& oOptions, std::string& oError);

// Fills iSettings from the host's configuration set (null: none) and then
// from the options; false with oError naming the key or option at fault.
// Relative paths are made absolute against the current directory.
bool resolveHostSettings(IConfig* iConfig, const PHostOptions& iOptions, PHostSettings& oSettings,
                         std::string& oError);
// The TLS part of that alone (tls.cert, tls.key, tls.ca, tls.allow), for a
// reload: relative paths are taken from iBaseDir (empty: the current
// directory). False with oError when some but not all of the three files
// are named.
bool resolveTlsSettings(IConfig* iConfig, const PHostOptions& iOptions, const std::string& iBaseDir,
                        PTlsSettings& oTls, std::string& oError);
bool hasTls(const PTlsSettings& iTls);  // certificate, key and CA named

// Whether iHost (an address as text) is a loopback address: 127.0.0.0/8,
// ::1, or an IPv4-mapped 127.x.
bool isLoopback(const std::string& iHost);

// One line per key of the host's set that the host does not know.
std::vector<std::string> unknownHostKeys(PConfig* iConfig);

// Where an installed host finds its plug-ins when neither 'plugins' nor
// --plugin names any: the plug-in directory as installed beside this
// program (found through /proc/self/exe, so under any prefix).
std::string defaultPluginDir();

// "none", "error", "warning", "info", "debug", "trace" (or 0 to 5); -1 when unknown.
int parseLogLevel(const std::string& iText);

extern const char kHostUsage[];
