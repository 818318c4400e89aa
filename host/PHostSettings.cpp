#include "PHostSettings.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>

#include "zevo/PDir.h"
#include "zevo/PErrors.h"
#include "zevo/PFile.h"
#include "zevo/PUtils.h"
#include "zevo/logger/PLogger.h"
#include "zevo/protocol/PEndpoint.h"
#include "zevo/protocol/PMqttTopics.h"

namespace {

using Row = PSettingRow<PHostSettings>;
using Type = PSettingType;

bool storeRoles(const PSettingValue& iValue, std::vector<PRolePattern>& oPatterns, std::string& oWhy) {
  std::vector<PRolePattern> patterns;
  for (const std::string& entry : iValue.fList) {
    PRolePattern pattern;
    if (!parseRolePattern(entry, pattern, oWhy)) return false;
    patterns.push_back(std::move(pattern));
  }
  oPatterns.swap(patterns);
  return true;
}

bool storeLogTarget(PHostSettings& ioSettings, const PSettingValue& iValue, std::string& oWhy) {
  const std::string& target = iValue.fText;
  if (target.compare(0, 5, "file:") == 0 && target.size() > 5) {
    ioSettings.fLogTarget = "file:" + PSettingsBase::absolute(target.substr(5));
  } else if (target == "stderr" || target == "syslog" || target == "journal") {
    ioSettings.fLogTarget = target;
  } else {
    oWhy = "\"" + target + "\" is not stderr, syslog, journal or file:PATH";
    return false;
  }
  return true;
}

// A row's store for one file of the TLS material.
PSettingStore<PHostSettings> tlsFile(std::string PTlsSettings::*iFile) {
  return [iFile](PHostSettings& ioSettings, const PSettingValue& iValue, std::string&) {
    ioSettings.fTls.*iFile = iValue.fText;
    return true;
  };
}

// A row's store for a name that stands as one topic level (mqtt.device) or
// the levels of the topics' root (mqtt.prefix).
PSettingStore<PHostSettings> topicLevels(std::string PMqttSettings::*iField, bool iRoot) {
  return [iField, iRoot](PHostSettings& ioSettings, const PSettingValue& iValue, std::string& oWhy) {
    std::string why;
    if (iRoot ? !PMqttTopics::checkRoot(iValue.fText, why) : !PMqttTopics::checkName(iValue.fText, "the device ID", why)) {
      oWhy = why;
      return false;
    }
    ioSettings.fMqtt.*iField = iValue.fText;
    return true;
  };
}

// Every setting of the host, in the order of the usage and the docs.
std::vector<Row> hostRows() {
  using S = PHostSettings;
  return {
      {"plugins", "--plugin", Type::paths(), nullptr, &S::fPlugins, "plug-in libraries to load, in this order",
       "every libzevop.*.so of the plug-in directory"},
      {"listen", "--listen", Type::endpoints(), "unix:/run/zevo/zevohost.sock", &S::fListen,
       "where peers connect: unix:PATH, tcp:HOST:PORT or tls:HOST:PORT; or a broker the host dials out to, "
       "mqtt://BROKER[:PORT] or mqtts://BROKER[:PORT] (see mqtt.*); sockets systemd passes replace the first three"},
      {"tls.cert", "--tls-cert", Type::path(), nullptr, tlsFile(&PTlsSettings::fCertFile),
       "the host's certificate (PEM, then any intermediate ones) for tls: endpoints; tls.cert, tls.key and tls.ca "
       "go together", "none"},
      {"tls.key", "--tls-key", Type::path(), nullptr, tlsFile(&PTlsSettings::fKeyFile), "its private key (PEM, unencrypted)",
       "none"},
      {"tls.ca", "--tls-ca", Type::path(), nullptr, tlsFile(&PTlsSettings::fCaFile),
       "the CA certificates (PEM) that must have signed a peer's certificate", "none"},
      {"tls.allow", "--tls-allow", Type::list(), nullptr,
       [](S& ioSettings, const PSettingValue& iValue, std::string&) { return (ioSettings.fTls.fAllow = iValue.fList, true); },
       "peers allowed: subject names (CN) and sha256:HEX fingerprints, comma-separated",
       "any certificate the CA signed"},
      {"tcp.insecure", "--tcp-insecure", Type::onOff(), "off", &S::fTcpInsecure,
       "off: plain tcp: only on a loopback address, and mqtt:// only to a broker there; on: on any address, with a "
       "warning at every start"},
      {"role.write", "--role-write", Type::list(), nullptr,
       [](S& ioSettings, const PSettingValue& iValue, std::string& oWhy) {
         return (ioSettings.fRoleWriteSet = storeRoles(iValue, ioSettings.fRoleWrite, oWhy));
       },
       "identities that may change files, comma-separated: uid:N, user:NAME, gid:N, group:NAME, cert:NAME, "
       "sha256:HEX, tcp:ADDRESS, mqtt:NAME, mqtt:* or *; set, even empty, it replaces the default",
       "uid:0, the host's user, the Unix sockets' group"},
      {"role.read", "--role-read", Type::list(), nullptr,
       [](S& ioSettings, const PSettingValue& iValue, std::string& oWhy) { return storeRoles(iValue, ioSettings.fRoleRead, oWhy); },
       "identities that may query and download only", "none"},
      {"mqtt.device", "--mqtt-device", Type::text("ID"), nullptr, topicLevels(&PMqttSettings::fDevice, false),
       "this host's device ID at the broker: 1 to 128 bytes of UTF-8 without '+', '#', '/' or control characters, not . or ..; "
       "needed by mqtt:// and mqtts:// endpoints", "none"},
      {"mqtt.prefix", "--mqtt-prefix", Type::text("ROOT"), "zevo", topicLevels(&PMqttSettings::fRoot, true),
       "the topics' root: ROOT/DEVICE/req/NAME/SESSION, ROOT/DEVICE/res/..., ROOT/DEVICE/presence"},
      {"mqtt.username", "--mqtt-username", Type::text("NAME"), nullptr,
       [](S& ioSettings, const PSettingValue& iValue, std::string&) { return (ioSettings.fMqtt.fUsername = iValue.fText, true); },
       "the host's login at the broker", "none: anonymous"},
      {"mqtt.password_file", "--mqtt-password-file", Type::path(), nullptr,
       [](S& ioSettings, const PSettingValue& iValue, std::string&) { return (ioSettings.fMqtt.fPasswordFile = iValue.fText, true); },
       "a file whose first line is the login's password, read at start", "none"},
      {"mqtt.keepalive", "--mqtt-keepalive", Type::seconds(5, 3600), "30",
       [](S& ioSettings, const PSettingValue& iValue, std::string&) {
         return (ioSettings.fMqtt.fKeepaliveS = static_cast<int>(iValue.fNumber), true);
       },
       "MQTT keep-alive: a broker silent for 1.5 times as long is taken as lost"},
      {"mqtt.inflight", "--mqtt-inflight", Type::count(1, 1000), "16",
       [](S& ioSettings, const PSettingValue& iValue, std::string&) {
         return (ioSettings.fMqtt.fInflight = static_cast<int>(iValue.fNumber), true);
       },
       "reply messages of one session the broker has not acknowledged; past it the session waits"},
      {"mqtt.reconnect_max", "--mqtt-reconnect-max", Type::seconds(1, 3600), "30",
       [](S& ioSettings, const PSettingValue& iValue, std::string&) {
         return (ioSettings.fMqtt.fReconnectMaxS = static_cast<int>(iValue.fNumber), true);
       },
       "the longest wait between attempts to reach a lost broker; the first is 1 s, each next twice the last"},
      {"socket.mode", "--socket-mode", Type::mode(), "0660", &S::fSocketMode,
       "octal mode of the Unix sockets the host creates, whatever the umask"},
      {"socket.group", "--socket-group", Type::group(), nullptr, &S::fSocketGroup, "their group, a name or a number",
       "the host's group"},
      // Before group, which overrides the user's own group.
      {"user", "--user", Type::user(), nullptr,
       [](S& ioSettings, const PSettingValue& iValue, std::string&) {
         ioSettings.fUser = static_cast<uid_t>(iValue.fNumber);
         ioSettings.fGroup = static_cast<gid_t>(iValue.fGroup);
         return true;
       },
       "once its sockets and plug-ins are ready, run as this user (a name or a number): no root, no capabilities, "
       "no supplementary groups", "the user it was started as"},
      {"group", "--group", Type::group(), nullptr, &S::fGroup, "with user: the group to run with (a name or a number)",
       "the user's own group"},
      {"workers", "--workers", Type::count(1, 256), nullptr, &S::fWorkers, "worker threads that serve requests",
       "one per core, at least 2"},
      {"frame.max", "--frame-max", Type::bytes(64, 64L << 20), "1048576", &S::fFrameMax, "largest frame accepted"},
      {"connection.max", "--connection-max", Type::count(1, 100000), "64", &S::fConnectionMax,
       "connections served at once; more are refused with -4006"},
      {"connection.readahead", "--readahead", Type::bytes(4096, 64L << 20), "262144", &S::fReadAhead,
       "unsent reply bytes after which a connection is read no further until it catches up"},
      {"connection.per_identity", "--per-identity", Type::count(1, 100000), "16", &S::fPerIdentity,
       "connections of one identity (uid:N, cert:NAME, tcp:ADDRESS) served at once, at most connection.max; more "
       "are refused with -4006", "16, or connection.max if lower"},
      {"connection.frame_timeout", "--frame-timeout", Type::seconds(0, 86400), "30", &S::fFrameTimeout,
       "a frame begun must be whole by then, or its connection gets -4007 and is closed; 0: no limit"},
      {"connection.idle_timeout", "--idle-timeout", Type::seconds(0, 86400), "300", &S::fIdleTimeout,
       "a connection that sends no request and takes no reply that long (whatever it holds: an open transfer is cut) gets -4007 and "
       "is closed; 0: no limit"},
      {"connection.handshake_max", "--handshake-max", Type::count(1, 100000), "16", &S::fHandshakeMax,
       "connections still in their TLS handshake, all listeners together; when full, the one waiting longest is "
       "dropped for a newcomer"},
      {"connection.handshake_per_address", "--handshake-per-address", Type::count(1, 100000), "4",
       &S::fHandshakePerAddress, "handshakes waiting from one source address; past it, its oldest is dropped for a newcomer"},
      {"connection.handshake_timeout", "--handshake-timeout", Type::seconds(1, 3600), "10", &S::fHandshakeTimeout,
       "a TLS peer that has not finished its handshake by then is dropped"},
      {"connection.write_reserve", "--write-reserve", Type::count(0, 100000), "4", &S::fWriteReserve,
       "of connection.max, sessions only peers with the write role may take; below connection.max",
       "4, or connection.max - 1 if lower"},
      {"connection.local_reserve", "--local-reserve", Type::count(0, 100000), "8", &S::fLocalReserve,
       "of connection.max, sessions only Unix-socket peers may take (network transports share the rest); below "
       "connection.max", "8, or connection.max - 1 if lower"},
      {"transfer.max", "--transfer-max", Type::count(0, 1000000), "16", &S::fTransferMax,
       "open transfers per connection; one more StartFileTransfer is answered -610; 0: no limit"},
      {"handle.max", "--handle-max", Type::count(0, 1000000), "256", &S::fHandleMax,
       "open handles of the file-operations module per connection (reads, listings, checksums, uploads); one more "
       "opening is answered -610; 0: no limit"},
      {"transfer.fd_reserve", "--transfer-fd-reserve", Type::count(0, 1000000), "64", &S::fFdReserve,
       "descriptors below RLIMIT_NOFILE that transfers leave free for queries and peers"},
      {"memory.max", "--memory-max", Type::bytes(1L << 20, 0x7FFFFFFFL), "67108864", &S::fMemoryMax,
       "reply and receive buffers of all connections together, at least frame.max"},
      {"log.level", "--log-level",
       Type::words("LEVEL", {{"none", LOG_LEVEL_NONE}, {"error", LOG_LEVEL_ERROR}, {"warning", LOG_LEVEL_WARNING},
                             {"info", LOG_LEVEL_INFO}, {"debug", LOG_LEVEL_DEBUG}, {"trace", LOG_LEVEL_TRACE}},
                   true),
       "info", &S::fLogLevel, "what the log shows"},
      {"log.target", "--log-target", Type::text("TARGET"), "stderr", storeLogTarget,
       "stderr, syslog, journal (the systemd journal) or file:PATH"},
      {"symlinks", "--symlinks",
       Type::words("POLICY", {{"refuse", PPathPolicy::SYMLINKS_REFUSE}, {"follow", PPathPolicy::SYMLINKS_FOLLOW}}),
       "refuse", &S::fSymlinks,
       "refuse: no request passes through a symbolic link or opens a file with more than one hard link; follow: "
       "links are followed as the system does"},
      {"mounts", "--mounts",
       Type::words("POLICY", {{"cross", PPathPolicy::MOUNTS_CROSS}, {"refuse", PPathPolicy::MOUNTS_REFUSE}}), "cross",
       &S::fMounts, "cross: paths cross mount points as the system does; refuse: no request crosses one (needs "
       "symlinks refuse)"},
      {"transfer.isolation", "--transfer-isolation", Type::onOff(), "on", &S::fTransferIsolation,
       "on: a transfer answers only the connection that opened it; off: any connection may use any transfer"},
  };
}

const PSettingsTable<PHostSettings>& hostTable() {
  static const PSettingsTable<PHostSettings> table(hostRows());
  return table;
}

// "FILE:LINE: " or "--option: " of a setting a key or option gave; empty
// for a default.
std::string at(const PSettingsGiven& iGiven, const char* iKey) {
  const auto found = iGiven.find(iKey);
  return found != iGiven.end() ? found->second + ": " : "";
}

// The limits that must fit in connection.max. One given too large is an
// error; a default is lowered to fit.
bool fitConnections(const PSettingsGiven& iGiven, PHostSettings& ioSettings, std::string& oError) {
  const long most = ioSettings.fConnectionMax;
  struct Limit {
    const char* fKey;
    long& fValue;
    long fMost;
    const char* fSays;
  };
  const Limit limits[] = {
      {"connection.per_identity", ioSettings.fPerIdentity, most, "exceeds"},
      {"connection.write_reserve", ioSettings.fWriteReserve, most - 1, "is not below"},
      {"connection.local_reserve", ioSettings.fLocalReserve, most - 1, "is not below"},
  };
  for (const Limit& limit : limits) {
    if (limit.fValue <= limit.fMost) continue;
    if (iGiven.count(limit.fKey) == 0) {
      limit.fValue = limit.fMost;
      continue;
    }
    oError = at(iGiven, limit.fKey) + limit.fKey + " (" + std::to_string(limit.fValue) + ") " + limit.fSays +
             " connection.max (" + std::to_string(most) + ")";
    return false;
  }
  return true;
}

// A frame larger than the budget could never be read.
bool checkMemory(const PSettingsGiven& iGiven, const PHostSettings& iSettings, std::string& oError) {
  if (iSettings.fMemoryMax >= iSettings.fFrameMax) return true;
  oError = at(iGiven, "memory.max") + "memory.max (" + std::to_string(iSettings.fMemoryMax) + ") is below frame.max (" +
           std::to_string(iSettings.fFrameMax) + ")";
  return false;
}

// Mount points are judged on the walk that refuses links: alone, the
// setting would do nothing.
bool checkPathPolicy(const PSettingsGiven& iGiven, const PHostSettings& iSettings, std::string& oError) {
  if (iSettings.fMounts != PPathPolicy::MOUNTS_REFUSE || iSettings.fSymlinks == PPathPolicy::SYMLINKS_REFUSE) return true;
  oError = at(iGiven, "mounts") + "mounts = refuse needs symlinks = refuse";
  return false;
}

bool checkRunAs(const PSettingsGiven& iGiven, const PHostSettings& iSettings, std::string& oError) {
  const bool user = iGiven.count("user") > 0;
  if (iGiven.count("group") > 0 && !user) {
    oError = at(iGiven, "group") + "group is given without user";
    return false;
  }
  if (user && iSettings.fGroup == static_cast<gid_t>(-1)) {
    oError = at(iGiven, "user") + "user " + std::to_string(iSettings.fUser) +
             " is known to the system by number only: give its group as well";
    return false;
  }
  return true;
}

bool checkTlsFiles(const PSettingsGiven& iGiven, const PTlsSettings& iTls, std::string& oError) {
  struct File {
    const std::string& fPath;
    const char* fKey;
    const char* fName;
  };
  const File files[] = {{iTls.fCertFile, "tls.cert", "tls.cert (--tls-cert)"},
                        {iTls.fKeyFile, "tls.key", "tls.key (--tls-key)"},
                        {iTls.fCaFile, "tls.ca", "tls.ca (--tls-ca)"}};
  std::string missing, named;
  for (const File& file : files) {
    if (file.fPath.empty()) missing += std::string(missing.empty() ? "" : ", ") + file.fName;
    if (!file.fPath.empty() && named.empty()) named = at(iGiven, file.fKey);
  }
  if (missing.empty() || (iTls.fCertFile.empty() && iTls.fKeyFile.empty() && iTls.fCaFile.empty())) return true;
  oError = named + "tls.cert, tls.key and tls.ca go together; missing: " + missing;
  return false;
}

// A broker endpoint needs the device ID, and mqtts:// the TLS material; a
// password needs the login it belongs to.
bool checkMqtt(const PSettingsGiven& iGiven, const PHostSettings& iSettings, std::string& oError) {
  if (!iSettings.fMqtt.fPasswordFile.empty() && iSettings.fMqtt.fUsername.empty()) {
    oError = at(iGiven, "mqtt.password_file") + "mqtt.password_file is given without mqtt.username";
    return false;
  }
  for (const std::string& endpoint : iSettings.fListen) {
    PEndpoint parsed;
    std::string ignored;
    if (PEndpoint::parse(endpoint, parsed, ignored) != 0 || (!parsed.is("mqtt") && !parsed.is("mqtts"))) continue;
    if (iSettings.fMqtt.fDevice.empty()) {
      oError = at(iGiven, "listen") + endpoint + " needs the device ID: mqtt.device (--mqtt-device)";
      return false;
    }
    if (parsed.is("mqtts") && !hasTls(iSettings.fTls)) {
      oError = at(iGiven, "listen") + endpoint + " needs tls.cert, tls.key and tls.ca: the CA the broker's certificate "
               "must be signed by, and the host's own certificate";
      return false;
    }
  }
  return true;
}

// The plug-ins of a directory: its regular files (or links to them) named
// libzevop.*.so, by name. Links are followed: the directory is the
// administrator's, as the configuration directory is.
bool listPlugins(const std::string& iDirectory, std::vector<std::string>& oPaths, std::string& oError) {
  PFollowLinksScope followLinks;
  PDir listing;
  int rc = listing.popen(PUtils::wide(iDirectory), PLiteral(L"libzevop.*.so"));
  if (rc == 0) rc = listing.preaddir();
  std::vector<std::string> paths;
  for (; rc == 0 && listing == 0; listing++) {
    std::string name;
    if (PUtils::toUtf8(listing.getEntry(), name) != 0) continue;
    const std::string path = iDirectory + "/" + name;
    if (PFile::check(PUtils::wide(path), PFile::CHECK_FILE)) paths.push_back(path);
  }
  if (rc == 0) rc = listing.lastError();
  if (rc != 0) {
    const char* meaning = PErrors::meaning(rc);
    oError = "cannot list the plug-in directory " + iDirectory + ": " +
             (meaning != nullptr ? meaning : "code " + std::to_string(rc));
    return false;
  }
  if (paths.empty()) {
    oError = "the plug-in directory " + iDirectory + " holds no libzevop.*.so";
    return false;
  }
  std::sort(paths.begin(), paths.end());
  oPaths.swap(paths);
  return true;
}

// Without any named, the plug-ins of the plug-in directory.
bool findPlugins(PHostSettings& ioSettings, std::string& oError) {
  if (!ioSettings.fPlugins.empty() || listPlugins(defaultPluginDir(), ioSettings.fPlugins, oError)) return true;
  oError = "no plug-ins to load: " + oError + "; set 'plugins' in zevohost.conf or give --plugin";
  return false;
}

}  // namespace

std::string defaultPluginDir() {
  char program[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", program, sizeof program);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof program) return ZEVO_PLUGIN_DIR;  // no /proc
  std::filesystem::path directory = std::filesystem::path(std::string(program, static_cast<size_t>(length)));
  directory = (directory.parent_path() / ZEVO_PLUGIN_DIR_FROM_PROGRAM).lexically_normal();
  std::string text = directory.string();
  if (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

bool hasTls(const PTlsSettings& iTls) { return !iTls.fCertFile.empty(); }

bool isLoopback(const std::string& iHost) {
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, iHost.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  if (inet_pton(AF_INET6, iHost.c_str(), &v6) != 1) return false;
  return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
}

bool resolveTlsSettings(PConfig* iConfig, const PHostOptions& iOptions, const std::string& iBaseDir,
                        PTlsSettings& oTls, std::string& oError) {
  static const PSettingsTable<PHostSettings> table = hostTable().only("tls.");
  PHostSettings settings;
  PSettingsGiven given;
  if (!table.resolve(iConfig, PSettingsBase::where(iConfig), iOptions.fSettings, iBaseDir, settings, given, oError) ||
      !checkTlsFiles(given, settings.fTls, oError)) {
    return false;
  }
  oTls = settings.fTls;
  return true;
}

bool resolveHostSettings(PConfig* iConfig, const PHostOptions& iOptions, PHostSettings& oSettings, std::string& oError) {
  PSettingsGiven given;
  return hostTable().resolve(iConfig, PSettingsBase::where(iConfig), iOptions.fSettings, "", oSettings, given, oError) &&
         fitConnections(given, oSettings, oError) && checkMemory(given, oSettings, oError) &&
         checkPathPolicy(given, oSettings, oError) && checkRunAs(given, oSettings, oError) &&
         checkTlsFiles(given, oSettings.fTls, oError) && checkMqtt(given, oSettings, oError) && findPlugins(oSettings, oError);
}

std::vector<std::string> unknownHostKeys(PConfig* iConfig) { return hostTable().unknownKeys(iConfig); }

bool parseHostOptions(int iArgc, char** iArgv, PHostOptions& oOptions, std::string& oError) {
  for (int i = 1; i < iArgc; ++i) {
    const std::string argument = iArgv[i];
    int taken = 1;
    if (argument == "-h" || argument == "--help") {
      oOptions.fHelp = true;
    } else if (argument == "--version") {
      oOptions.fVersion = true;
    } else if (argument == "--settings-table") {
      oOptions.fSettingsTable = true;
    } else if ((taken = PSettingsBase::takeOption(iArgc, iArgv, i, "--config-dir", oOptions.fConfigDir, oError)) == 0) {
      taken = hostTable().takeOption(iArgc, iArgv, i, oOptions.fSettings, oError);
    }
    if (taken < 0) return false;
    if (taken == 0) {
      oError = "unknown option " + argument;
      return false;
    }
  }
  return true;
}

std::string hostUsage() {
  return "Usage: zevohost [OPTION]...\n"
         "Loads the plug-ins of its configuration and serves peers over sockets until\n"
         "SIGTERM or SIGINT.\n"
         "\n" +
         PSettingsBase::usageLine("--config-dir DIR", "configuration sets, one DIR/<set>.conf each (default /etc/zevo); "
                                                      "the host's own set is zevohost.conf") +
         hostTable().usage() + PSettingsBase::usageLine("-h, --help", "show this help") +
         PSettingsBase::usageLine("--version", "show the version") +
         "\n"
         "SIGHUP reloads the TLS certificate, key, CA and allow-list; connected peers\n"
         "stay.\n"
         "\n"
         "Exit status: 0 after a clean shut-down, 1 when start-up fails (a bad setting\n"
         "included), 2 on an unknown option or an option without its value.\n";
}

std::string hostSettingsTable() { return hostTable().docTable(); }
