// What the host runs with: its configuration set "zevohost", overridden by
// the command line.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "PRoleMap.h"
#include "zevo/IConfig.h"
#include "zevo/ILogger.h"
#include "zevo/PPathPolicy.h"
#include "PSystemd.h"
#include "PMqttSettings.h"
#include "PTlsSettings.h"
#include "zevo/core/PConfig.h"
#include "zevo/core/PSettingsTable.h"

// Filled by resolveHostSettings. The defaults are those of the rows in
// PHostSettings.cpp; a field whose row has none keeps the value given here.
struct PHostSettings {
  std::string fConfigDir = "/etc/zevo";
  std::vector<std::string> fPlugins;             // plug-in libraries, absolute
  std::vector<std::string> fListen;              // endpoints
  std::vector<PPassedSocket> fPassedSockets;     // listening sockets systemd passed: served instead of fListen
  mode_t fSocketMode = 0;                        // of the Unix socket files the host creates
  gid_t fSocketGroup = static_cast<gid_t>(-1);   // their group; -1: the process's
  int fWorkers = 0;                              // 0: one per core, at least 2
  long fFrameMax = 0;
  long fConnectionMax = 0;
  long fReadAhead = 0;
  long fPerIdentity = 0;                         // sessions per identity; at most fConnectionMax
  long fFrameTimeout = 0;                        // s a begun frame may take; 0: no limit
  long fIdleTimeout = 0;                         // s a session may idle; 0: no limit
  long fHandshakeMax = 0;                        // TLS handshakes under way, all listeners together
  long fHandshakePerAddress = 0;                 // of those, from one source address
  long fHandshakeTimeout = 0;                    // s a TLS handshake may take
  long fWriteReserve = 0;                        // of fConnectionMax, sessions for the write role alone; below it
  long fLocalReserve = 0;                        // of fConnectionMax, sessions for Unix-socket peers alone; below it
  long fTransferMax = 0;                         // open transfers per session; 0: no limit
  long fHandleMax = 0;                           // open file-operations handles per session; 0: no limit
  long fFdReserve = 0;                           // descriptors transfers leave free
  long fMemoryMax = 0;                           // the sessions' reply and receive buffers together
  int fLogLevel = LOG_LEVEL_INFO;
  std::string fLogTarget;                        // stderr, syslog, journal or file:PATH
  int fSymlinks = PPathPolicy::SYMLINKS_REFUSE;  // paths through links
  int fMounts = PPathPolicy::MOUNTS_CROSS;       // paths across mount points
  bool fTransferIsolation = true;                // a transfer serves only the session that opened it
  // Who the host becomes once its sockets are bound and its plug-ins
  // loaded (-1: it stays who it was started as).
  uid_t fUser = static_cast<uid_t>(-1);
  gid_t fGroup = static_cast<gid_t>(-1);
  PTlsSettings fTls;                             // tls.cert, tls.key, tls.ca (absolute), tls.allow
  bool fTcpInsecure = false;                     // plain TCP (and a plain broker) allowed on addresses other than loopback
  PMqttSettings fMqtt;                           // mqtt.*: the device behind a broker (its fTls and fVersion set by the host)
  // Who writes and who reads (role.write, role.read). Without role.write
  // (fRoleWriteSet false) the host writes in root, its own user and its
  // Unix sockets' group (PHost).
  std::vector<PRolePattern> fRoleWrite;
  bool fRoleWriteSet = false;
  std::vector<PRolePattern> fRoleRead;
};

// The command line, as given.
struct PHostOptions {
  std::string fConfigDir;     // empty: not given
  PSettingOptions fSettings;  // the options of the settings' rows
  bool fHelp = false;
  bool fVersion = false;
  bool fSettingsTable = false;  // --settings-table (left out of the usage): print the docs' table of keys
};

// Parses argv; false with oError on an unknown option or one without its
// value (values are checked by resolveHostSettings).
bool parseHostOptions(int iArgc, char** iArgv, PHostOptions& oOptions, std::string& oError);

// Fills oSettings from the host's configuration set (null: none), the
// options overriding its keys, and checks the settings against each other.
// False with oError naming the file, line and key, or the option, at fault
// ("/etc/zevo/zevohost.conf:12: connection.max: \"12a\" is not a number
// from 1 to 100000"). Relative paths are made absolute against the current
// directory. Runs before any thread starts (it reads the current directory).
bool resolveHostSettings(PConfig* iConfig, const PHostOptions& iOptions, PHostSettings& oSettings, std::string& oError);
// The TLS part of that alone (tls.cert, tls.key, tls.ca, tls.allow), for a
// reload: relative paths are taken from iBaseDir (empty: the current
// directory). False with oError for a bad value, or when some but not all
// of the three files are named.
bool resolveTlsSettings(PConfig* iConfig, const PHostOptions& iOptions, const std::string& iBaseDir,
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

// zevohost --help, and the Markdown table of its keys in docs/configuration.md.
std::string hostUsage();
std::string hostSettingsTable();
