#include "PHostSettings.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "zevo/PDir.h"
#include "zevo/PErrors.h"
#include "zevo/PFile.h"
#include "zevo/PPathPolicy.h"
#include "zevo/PUtils.h"
#include "zevo/logger/PLogger.h"

const char kHostUsage[] =
    "Usage: zevohost [OPTION]...\n"
    "Loads the plug-ins of its configuration and serves peers over sockets until\n"
    "SIGTERM or SIGINT.\n"
    "\n"
    "  --config-dir DIR       configuration sets, one DIR/<set>.conf each (default /etc/zevo);\n"
    "                         the host's own set is zevohost.conf\n"
    "  --plugin PATH          load this plug-in library (repeatable; replaces 'plugins');\n"
    "                         without either: every libzevop.*.so of the plug-in directory\n"
    "  --listen ENDPOINT      unix:PATH, tcp:HOST:PORT or tls:HOST:PORT (repeatable; replaces\n"
    "                         'listen'); not used when systemd passes the sockets\n"
    "  --tls-cert FILE        the host's certificate (PEM) for tls: endpoints\n"
    "  --tls-key FILE         its private key (PEM)\n"
    "  --tls-ca FILE          the CA certificates (PEM) that must have signed a peer's certificate\n"
    "  --tls-allow LIST       peers allowed: subject names (CN) and sha256:HEX fingerprints,\n"
    "                         comma-separated (default: any certificate the CA signed)\n"
    "  --tcp-insecure on|off  off (default): plain tcp: only on a loopback address\n"
    "  --role-write LIST      identities that may change files: uid:N, user:NAME, gid:N,\n"
    "                         group:NAME, cert:NAME, sha256:HEX, tcp:ADDRESS or *, comma-separated\n"
    "                         (default: uid:0, the host's user, the Unix socket's group)\n"
    "  --role-read LIST       identities that may query and download only (default: none)\n"
    "  --socket-mode MODE     octal mode of the Unix sockets the host creates (default 0660)\n"
    "  --socket-group GROUP   their group, a name or number (default: the host's group)\n"
    "  --workers N            worker threads (default: one per core, at least 2)\n"
    "  --frame-max BYTES      largest frame accepted (default 1048576)\n"
    "  --connection-max N     connections served at once (default 64)\n"
    "  --readahead BYTES      unsent reply bytes before a connection is slowed (default 262144)\n"
    "  --per-identity N       connections of one identity (uid:N, cert:NAME, tcp:ADDRESS)\n"
    "                         served at once, at most --connection-max (default 16)\n"
    "  --frame-timeout SECONDS\n"
    "                         a frame begun must be whole by then (default 30; 0: no limit)\n"
    "  --idle-timeout SECONDS a connection without an open transfer that sends no request\n"
    "                         and reads no reply that long is closed (default 300; 0: no limit)\n"
    "  --transfer-max N       open transfers per connection (default 16; 0: no limit)\n"
    "  --transfer-fd-reserve N\n"
    "                         descriptors transfers leave free for queries and peers (default 64)\n"
    "  --memory-max BYTES     reply and receive buffers of all connections (default 67108864)\n"
    "  --log-level LEVEL      none, error, warning, info, debug or trace (default info)\n"
    "  --log-target TARGET    stderr, syslog, journal or file:PATH (default stderr)\n"
    "  --user USER            once its sockets and plug-ins are ready, run as USER (a name\n"
    "                         or number): no root, no capabilities, no supplementary groups\n"
    "  --group GROUP          with --user: run with GROUP (default: USER's group)\n"
    "  --transfer-isolation on|off\n"
    "                         on (default): a transfer answers only the connection that opened it\n"
    "  --symlinks POLICY      refuse (default): no request passes through a symbolic link or\n"
    "                         opens a file with more than one hard link;\n"
    "                         follow: links are followed as the system does\n"
    "  --mounts POLICY        cross (default): paths cross mount points as the system does;\n"
    "                         refuse: no request crosses one (needs --symlinks refuse)\n"
    "  -h, --help             show this help\n"
    "  --version              show the version\n"
    "\n"
    "SIGHUP reloads the TLS certificate, key, CA and allow-list; connected peers stay.\n"
    "\n"
    "Exit status: 0 after a clean shut-down, 1 when start-up fails (a bad setting\n"
    "included), 2 on an unknown option or an option without its value.\n";

namespace {

bool takeValue(int iArgc, char** iArgv, int& ioIndex, const char* iName, std::string& oValue, std::string& oError) {
  const std::string argument = iArgv[ioIndex];
  const std::string prefix = std::string(iName) + "=";
  if (argument.compare(0, prefix.size(), prefix) == 0) {
    oValue = argument.substr(prefix.size());
    return true;
  }
  if (ioIndex + 1 >= iArgc) {
    oError = std::string(iName) + " needs a value";
    return false;
  }
  oValue = iArgv[++ioIndex];
  return true;
}

bool isOption(const std::string& iArgument, const char* iName) {
  const size_t length = std::strlen(iName);
  return iArgument.compare(0, length, iName) == 0 && (iArgument.size() == length || iArgument[length] == '=');
}

bool parseNumber(const std::string& iText, long iMin, long iMax, long& oValue) {
  if (iText.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(iText.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || value < iMin || value > iMax) return false;
  oValue = value;
  return true;
}

// iPath from iBase, or from the current directory when iBase is empty.
std::string absolute(const std::string& iPath, const std::string& iBase = "") {
  if (iPath.empty() || iPath[0] == '/') return iPath;
  if (!iBase.empty()) return iBase + "/" + iPath;
  char here[PATH_MAX];
  if (getcwd(here, sizeof here) == nullptr) return iPath;
  return std::string(here) + "/" + iPath;
}

std::string endpointAbsolute(const std::string& iEndpoint) {
  if (iEndpoint.compare(0, 5, "unix:") == 0) return "unix:" + absolute(iEndpoint.substr(5));
  return iEndpoint;
}

// An octal mode from 0 to 0777 ("0660", "660").
bool parseMode(const std::string& iText, mode_t& oMode) {
  if (iText.empty() || iText.size() > 4 || iText.find_first_not_of("01234567") != std::string::npos) return false;
  const unsigned long value = std::strtoul(iText.c_str(), nullptr, 8);
  if (value > 0777) return false;
  oMode = static_cast<mode_t>(value);
  return true;
}

// A group name, or a number (as systemd's SocketGroup= takes one, known to
// the system or not).
bool parseGroup(const std::string& iText, gid_t& oGroup) {
  if (!iText.empty() && iText.find_first_not_of("0123456789") == std::string::npos) {
    long number = 0;
    if (!parseNumber(iText, 0, 0x7FFFFFFF, number)) return false;
    oGroup = static_cast<gid_t>(number);
    return true;
  }
  group entry{};
  group* found = nullptr;
  char buffer[16384];
  if (iText.empty() || getgrnam_r(iText.c_str(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return false;
  oGroup = found->gr_gid;
  return true;
}

// A user name, or a number; oGroup: the user's group (-1 when the number
// names nobody known to the system).
bool parseUser(const std::string& iText, uid_t& oUser, gid_t& oGroup) {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[16384];
  if (!iText.empty() && iText.find_first_not_of("0123456789") == std::string::npos) {
    long number = 0;
    if (!parseNumber(iText, 0, 0x7FFFFFFF, number)) return false;
    oUser = static_cast<uid_t>(number);
    oGroup = getpwuid_r(oUser, &entry, buffer, sizeof buffer, &found) == 0 && found ? found->pw_gid : static_cast<gid_t>(-1);
    return true;
  }
  if (iText.empty() || getpwnam_r(iText.c_str(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return false;
  oUser = found->pw_uid;
  oGroup = found->pw_gid;
  return true;
}

// The value of a key of the set; false when the key is absent.
bool configValue(IConfig* iConfig, const wchar_t* iKey, std::string& oValue) {
  if (iConfig == nullptr) return false;
  PString value;
  if (iConfig->getString(PLiteral(iKey), value) != 0) return false;
  return PUtils::toUtf8(value, oValue) == 0;
}

// The option's value when it is given, else the key's; false when neither is.
bool optionOrValue(IConfig* iConfig, const wchar_t* iKey, const std::string& iOption, std::string& oValue) {
  const bool inSet = configValue(iConfig, iKey, oValue);
  if (!iOption.empty()) oValue = iOption;
  return inSet || !iOption.empty();
}

// The comma-separated pieces of a key's value, blanks trimmed and empty
// pieces dropped; oPieces is unchanged when the key is absent.
void configList(IConfig* iConfig, const wchar_t* iKey, std::vector<std::string>& oPieces) {
  PString rest;
  if (iConfig == nullptr || iConfig->getString(PLiteral(iKey), rest) != 0) return;
  std::vector<std::string> pieces;
  PString token;
  std::string piece;
  while (PLiteral::getNextToken(rest, token, L',') == 0) {
    if (PUtils::toUtf8(token, piece) != 0) return;
    pieces.push_back(piece);
  }
  oPieces.swap(pieces);
}

// The comma-separated pieces of an option's value, blanks trimmed and empty
// pieces dropped.
std::vector<std::string> splitList(const std::string& iValue) {
  std::vector<std::string> pieces;
  std::string rest = iValue + ",";
  for (size_t comma; (comma = rest.find(',')) != std::string::npos; rest.erase(0, comma + 1)) {
    const std::string entry = rest.substr(0, comma);
    const size_t first = entry.find_first_not_of(" \t"), last = entry.find_last_not_of(" \t");
    if (first != std::string::npos) pieces.push_back(entry.substr(first, last - first + 1));
  }
  return pieces;
}

// role.write or role.read from the set, then the option; oSet tells whether
// either gave it (an empty list names nobody).
bool resolveRole(IConfig* iConfig, const wchar_t* iKey, const char* iName, bool iGiven, const std::string& iOption,
                 std::vector<PRolePattern>& oPatterns, bool& oSet, std::string& oError) {
  std::string ignored;
  std::vector<std::string> entries;
  oSet = configValue(iConfig, iKey, ignored);
  configList(iConfig, iKey, entries);
  if (iGiven) {
    entries = splitList(iOption);
    oSet = true;
  }
  oPatterns.clear();
  for (const std::string& entry : entries) {
    PRolePattern pattern;
    if (!parseRolePattern(entry, pattern, oError)) {
      oError = std::string(iName) + ": " + oError;
      return false;
    }
    oPatterns.push_back(std::move(pattern));
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

bool resolveTlsSettings(IConfig* iConfig, const PHostOptions& iOptions, const std::string& iBaseDir,
                        PTlsSettings& oTls, std::string& oError) {
  PTlsSettings tls;
  struct File {
    const wchar_t* fKey;
    const char* fName;
    const std::string& fGiven;
    std::string& fPath;
  };
  const File files[] = {{L"tls.cert", "tls.cert (--tls-cert)", iOptions.fTlsCert, tls.fCertFile},
                        {L"tls.key", "tls.key (--tls-key)", iOptions.fTlsKey, tls.fKeyFile},
                        {L"tls.ca", "tls.ca (--tls-ca)", iOptions.fTlsCa, tls.fCaFile}};
  std::string missing;
  for (const File& file : files) {
    configValue(iConfig, file.fKey, file.fPath);
    if (!file.fGiven.empty()) file.fPath = file.fGiven;
    file.fPath = absolute(file.fPath, iBaseDir);
    if (file.fPath.empty()) missing += std::string(missing.empty() ? "" : ", ") + file.fName;
  }
  if (!missing.empty() && !(tls.fCertFile.empty() && tls.fKeyFile.empty() && tls.fCaFile.empty())) {
    oError = "tls.cert, tls.key and tls.ca go together; missing: " + missing;
    return false;
  }
  configList(iConfig, L"tls.allow", tls.fAllow);
  if (!iOptions.fTlsAllow.empty()) tls.fAllow = splitList(iOptions.fTlsAllow);
  oTls = tls;
  return true;
}

bool hasTls(const PTlsSettings& iTls) { return !iTls.fCertFile.empty(); }

bool isLoopback(const std::string& iHost) {
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, iHost.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  if (inet_pton(AF_INET6, iHost.c_str(), &v6) != 1) return false;
  return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
}

std::vector<std::string> unknownHostKeys(PConfig* iConfig) {
  static const wchar_t* const kKnown[] = {L"plugins",        L"listen",    L"workers",   L"frame.max",
                                          L"connection.max", L"connection.readahead", L"log.level", L"log.target",
                                          L"symlinks",       L"transfer.isolation",  L"socket.mode", L"socket.group",
                                          L"mounts",         L"user",         L"group",
                                          L"tls.cert",       L"tls.key",   L"tls.ca",    L"tls.allow",
                                          L"tcp.insecure",   L"role.write", L"role.read",
                                          L"connection.per_identity", L"connection.frame_timeout",
                                          L"connection.idle_timeout", L"transfer.max", L"transfer.fd_reserve",
                                          L"memory.max"};
  std::vector<std::string> warnings;
  std::vector<PString> keys;
  if (iConfig == nullptr || iConfig->keys(keys) != 0) return warnings;
  for (const PString& key : keys) {
    bool known = false;
    for (const wchar_t* name : kKnown) known = known || key.cmp(name, PLiteral::kToNul) == 0;
    if (!known) {
      warnings.push_back("unknown key '" + PUtils::toDisplay(key) + "' at " + iConfig->source() + ":" +
                         std::to_string(iConfig->lineOf(key)) + " (ignored)");
    }
  }
  return warnings;
}

int parseLogLevel(const std::string& iText) {
  if (iText == "error" || iText == "1") return LOG_LEVEL_ERROR;
  if (iText == "warning" || iText == "2") return LOG_LEVEL_WARNING;
  if (iText == "info" || iText == "3") return LOG_LEVEL_INFO;
  if (iText == "debug" || iText == "4") return LOG_LEVEL_DEBUG;
  if (iText == "trace" || iText == "5") return LOG_LEVEL_TRACE;
  if (iText == "none" || iText == "0") return LOG_LEVEL_NONE;
  return -1;
}

bool parseHostOptions(int iArgc, char** iArgv, PHostOptions& oOptions, std::string& oError) {
  // Each option with a value sets one field, or adds to one list.
  struct Option {
    const char* fName;
    std::string* fValue;
    std::vector<std::string>* fValues;
  };
  const Option options[] = {
      {"--config-dir", &oOptions.fConfigDir, nullptr},    {"--plugin", nullptr, &oOptions.fPlugins},
      {"--listen", nullptr, &oOptions.fListen},           {"--workers", &oOptions.fWorkers, nullptr},
      {"--frame-max", &oOptions.fFrameMax, nullptr},      {"--connection-max", &oOptions.fConnectionMax, nullptr},
      {"--readahead", &oOptions.fReadAhead, nullptr},     {"--log-level", &oOptions.fLogLevel, nullptr},
      {"--log-target", &oOptions.fLogTarget, nullptr},    {"--symlinks", &oOptions.fSymlinks, nullptr},
      {"--mounts", &oOptions.fMounts, nullptr},           {"--transfer-isolation", &oOptions.fTransferIsolation, nullptr},
      {"--socket-mode", &oOptions.fSocketMode, nullptr},  {"--socket-group", &oOptions.fSocketGroup, nullptr},
      {"--user", &oOptions.fUser, nullptr},               {"--group", &oOptions.fGroup, nullptr},
      {"--tls-cert", &oOptions.fTlsCert, nullptr},        {"--tls-key", &oOptions.fTlsKey, nullptr},
      {"--tls-ca", &oOptions.fTlsCa, nullptr},            {"--tls-allow", &oOptions.fTlsAllow, nullptr},
      {"--tcp-insecure", &oOptions.fTcpInsecure, nullptr},
      {"--role-write", &oOptions.fRoleWrite, nullptr},    {"--role-read", &oOptions.fRoleRead, nullptr},
      {"--per-identity", &oOptions.fPerIdentity, nullptr},  {"--frame-timeout", &oOptions.fFrameTimeout, nullptr},
      {"--idle-timeout", &oOptions.fIdleTimeout, nullptr},  {"--transfer-max", &oOptions.fTransferMax, nullptr},
      {"--transfer-fd-reserve", &oOptions.fFdReserve, nullptr}, {"--memory-max", &oOptions.fMemoryMax, nullptr},
  };
  for (int i = 1; i < iArgc; ++i) {
    const std::string argument = iArgv[i];
    const Option* option = nullptr;
    for (const Option& candidate : options) {
      if (isOption(argument, candidate.fName)) option = &candidate;
    }
    std::string value;
    if (argument == "-h" || argument == "--help") {
      oOptions.fHelp = true;
    } else if (argument == "--version") {
      oOptions.fVersion = true;
    } else if (option == nullptr) {
      oError = "unknown option " + argument;
      return false;
    } else if (!takeValue(iArgc, iArgv, i, option->fName, value, oError)) {
      return false;
    } else if (option->fValues != nullptr) {
      option->fValues->push_back(value);
    } else {
      *option->fValue = value;
      oOptions.fRoleWriteGiven = oOptions.fRoleWriteGiven || option->fValue == &oOptions.fRoleWrite;
      oOptions.fRoleReadGiven = oOptions.fRoleReadGiven || option->fValue == &oOptions.fRoleRead;
    }
  }
  return true;
}

bool resolveHostSettings(IConfig* iConfig, const PHostOptions& iOptions, PHostSettings& oSettings,
                         std::string& oError) {
  struct Number {
    const wchar_t* fKey;
    const char* fOption;
    const std::string& fGiven;
    long fMin, fMax;
    long& fValue;
  };
  long workers = oSettings.fWorkers;
  long perIdentity = -1;  // not given: the default, or connection.max when that is lower
  const Number numbers[] = {
      {L"workers", "--workers", iOptions.fWorkers, 1, 256, workers},
      {L"frame.max", "--frame-max", iOptions.fFrameMax, 64, 64L << 20, oSettings.fFrameMax},
      {L"connection.max", "--connection-max", iOptions.fConnectionMax, 1, 100000, oSettings.fConnectionMax},
      {L"connection.readahead", "--readahead", iOptions.fReadAhead, 4096, 64L << 20, oSettings.fReadAhead},
      {L"connection.per_identity", "--per-identity", iOptions.fPerIdentity, 1, 100000, perIdentity},
      {L"connection.frame_timeout", "--frame-timeout", iOptions.fFrameTimeout, 0, 86400, oSettings.fFrameTimeout},
      {L"connection.idle_timeout", "--idle-timeout", iOptions.fIdleTimeout, 0, 86400, oSettings.fIdleTimeout},
      {L"transfer.max", "--transfer-max", iOptions.fTransferMax, 0, 1000000, oSettings.fTransferMax},
      {L"transfer.fd_reserve", "--transfer-fd-reserve", iOptions.fFdReserve, 0, 1000000, oSettings.fFdReserve},
      {L"memory.max", "--memory-max", iOptions.fMemoryMax, 1L << 20, 0x7FFFFFFFL, oSettings.fMemoryMax},
  };
  for (const Number& number : numbers) {
    std::string text;
    if (configValue(iConfig, number.fKey, text) && !parseNumber(text, number.fMin, number.fMax, number.fValue)) {
      oError = "key '" + PUtils::toDisplay(PLiteral(number.fKey)) + "' of zevohost.conf: \"" + text +
               "\" is not a number from " + std::to_string(number.fMin) + " to " + std::to_string(number.fMax);
      return false;
    }
    if (!number.fGiven.empty() && !parseNumber(number.fGiven, number.fMin, number.fMax, number.fValue)) {
      oError = std::string(number.fOption) + ": \"" + number.fGiven + "\" is not a number from " +
               std::to_string(number.fMin) + " to " + std::to_string(number.fMax);
      return false;
    }
  }
  oSettings.fWorkers = static_cast<int>(workers);
  if (perIdentity > oSettings.fConnectionMax) {
    oError = "connection.per_identity (" + std::to_string(perIdentity) + ") exceeds connection.max (" +
             std::to_string(oSettings.fConnectionMax) + ")";
    return false;
  }
  oSettings.fPerIdentity = perIdentity > 0 ? perIdentity : std::min(oSettings.fPerIdentity, oSettings.fConnectionMax);
  if (oSettings.fMemoryMax < oSettings.fFrameMax) {  // such a frame could never be read
    oError = "memory.max (" + std::to_string(oSettings.fMemoryMax) + ") is below frame.max (" +
             std::to_string(oSettings.fFrameMax) + ")";
    return false;
  }

  configList(iConfig, L"plugins", oSettings.fPlugins);
  if (!iOptions.fPlugins.empty()) oSettings.fPlugins = iOptions.fPlugins;
  configList(iConfig, L"listen", oSettings.fListen);
  if (!iOptions.fListen.empty()) oSettings.fListen = iOptions.fListen;
  if (oSettings.fListen.empty()) oSettings.fListen.push_back("unix:/run/zevo/zevohost.sock");

  std::string text;
  std::string mode;
  if (optionOrValue(iConfig, L"socket.mode", iOptions.fSocketMode, mode) && !parseMode(mode, oSettings.fSocketMode)) {
    oError = "socket.mode \"" + mode + "\" is not an octal mode from 0 to 0777";
    return false;
  }
  std::string group;
  if (optionOrValue(iConfig, L"socket.group", iOptions.fSocketGroup, group) && !parseGroup(group, oSettings.fSocketGroup)) {
    oError = "socket.group \"" + group + "\" is not a known group name or a group number";
    return false;
  }

  std::string user, runGroup;
  const bool userGiven = optionOrValue(iConfig, L"user", iOptions.fUser, user);
  const bool runGroupGiven = optionOrValue(iConfig, L"group", iOptions.fGroup, runGroup);
  if (userGiven && !parseUser(user, oSettings.fUser, oSettings.fGroup)) {
    oError = "user \"" + user + "\" is not a known user name or a user number";
    return false;
  }
  if (runGroupGiven && !userGiven) {
    oError = "group \"" + runGroup + "\" is given without user";
    return false;
  }
  if (runGroupGiven && !parseGroup(runGroup, oSettings.fGroup)) {
    oError = "group \"" + runGroup + "\" is not a known group name or a group number";
    return false;
  }
  if (userGiven && oSettings.fGroup == static_cast<gid_t>(-1)) {
    oError = "user " + user + " is known to the system by number only: give its group as well";
    return false;
  }

  std::string level = "info";
  if (configValue(iConfig, L"log.level", text)) level = text;
  if (!iOptions.fLogLevel.empty()) level = iOptions.fLogLevel;
  oSettings.fLogLevel = parseLogLevel(level);
  if (oSettings.fLogLevel < 0) {
    oError = "log level \"" + level + "\" is not one of none, error, warning, info, debug, trace";
    return false;
  }
  if (configValue(iConfig, L"log.target", text)) oSettings.fLogTarget = text;
  if (!iOptions.fLogTarget.empty()) oSettings.fLogTarget = iOptions.fLogTarget;
  const std::string& target = oSettings.fLogTarget;
  if (target.compare(0, 5, "file:") == 0 && target.size() > 5) {
    oSettings.fLogTarget = "file:" + absolute(target.substr(5));
  } else if (target != "stderr" && target != "syslog" && target != "journal") {
    oError = "log target \"" + target + "\" is not stderr, syslog, journal or file:PATH";
    return false;
  }

  std::string symlinks = PPathPolicy::symlinksName(oSettings.fSymlinks);
  if (configValue(iConfig, L"symlinks", text)) symlinks = text;
  if (!iOptions.fSymlinks.empty()) symlinks = iOptions.fSymlinks;
  if (PPathPolicy::parseSymlinks(symlinks.c_str(), oSettings.fSymlinks) != 0) {
    oError = "symlinks \"" + symlinks + "\" is not follow or refuse";
    return false;
  }
  std::string mounts = PPathPolicy::mountsName(oSettings.fMounts);
  if (configValue(iConfig, L"mounts", text)) mounts = text;
  if (!iOptions.fMounts.empty()) mounts = iOptions.fMounts;
  if (PPathPolicy::parseMounts(mounts.c_str(), oSettings.fMounts) != 0) {
    oError = "mounts \"" + mounts + "\" is not cross or refuse";
    return false;
  }
  // Mount points are judged on the walk that refuses links: alone, the
  // setting would do nothing.
  if (oSettings.fMounts == PPathPolicy::MOUNTS_REFUSE && oSettings.fSymlinks != PPathPolicy::SYMLINKS_REFUSE) {
    oError = "mounts = refuse needs symlinks = refuse";
    return false;
  }

  std::string isolation = oSettings.fTransferIsolation ? "on" : "off";
  if (configValue(iConfig, L"transfer.isolation", text)) isolation = text;
  if (!iOptions.fTransferIsolation.empty()) isolation = iOptions.fTransferIsolation;
  if (isolation != "on" && isolation != "off") {
    oError = "transfer.isolation \"" + isolation + "\" is not on or off";
    return false;
  }
  oSettings.fTransferIsolation = isolation == "on";

  std::string insecure = "off";
  if (configValue(iConfig, L"tcp.insecure", text)) insecure = text;
  if (!iOptions.fTcpInsecure.empty()) insecure = iOptions.fTcpInsecure;
  if (insecure != "on" && insecure != "off") {
    oError = "tcp.insecure \"" + insecure + "\" is not on or off";
    return false;
  }
  oSettings.fTcpInsecure = insecure == "on";
  if (!resolveTlsSettings(iConfig, iOptions, "", oSettings.fTls, oError)) return false;
  bool readSet = false;
  if (!resolveRole(iConfig, L"role.write", "role.write", iOptions.fRoleWriteGiven, iOptions.fRoleWrite, oSettings.fRoleWrite,
                   oSettings.fRoleWriteSet, oError) ||
      !resolveRole(iConfig, L"role.read", "role.read", iOptions.fRoleReadGiven, iOptions.fRoleRead, oSettings.fRoleRead, readSet,
                   oError)) {
    return false;
  }

  for (std::string& plugin : oSettings.fPlugins) plugin = absolute(plugin);
  for (std::string& endpoint : oSettings.fListen) endpoint = endpointAbsolute(endpoint);
  if (oSettings.fPlugins.empty() && !listPlugins(defaultPluginDir(), oSettings.fPlugins, oError)) {
    oError = "no plug-ins to load: " + oError + "; set 'plugins' in zevohost.conf or give --plugin";
    return false;
  }
  return true;
}
