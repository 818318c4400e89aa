// The host's settings: every kind of value through the resolver, as a set
// read from a file and as options; the checks across settings; the table of
// keys in docs/configuration.md.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "PHostSettings.h"
#include "PTestSupport.h"
#include "zevo/core/PConfigParser.h"

namespace {

const std::string kSource = "/etc/zevo/zevohost.conf";

struct PResult {
  bool fOk = false;
  std::string fError;
  PHostSettings fSettings;
  PHostOptions fOptions;
  PBaseptr<PConfig> fConfig;
};

// The set iLines (from line 2; line 1 names a plug-in unless iLines do)
// and the options iArgs, resolved.
PResult resolve(const std::string& iLines, std::vector<std::string> iArgs = {}) {
  PResult result;
  const std::string text = (iLines.find("plugins") == std::string::npos ? "plugins = /p.so\n" : "#\n") + iLines;
  std::vector<PConfigEntry> entries;
  EXPECT_EQ(0, PConfigParser::parse(text.data(), text.size(), kSource, entries, result.fError)) << result.fError;
  EXPECT_EQ(0, PConfig::create(entries, kSource, result.fConfig));
  iArgs.insert(iArgs.begin(), "zevohost");
  std::vector<char*> argv;
  for (std::string& arg : iArgs) argv.push_back(arg.data());
  result.fOk = parseHostOptions(static_cast<int>(argv.size()), argv.data(), result.fOptions, result.fError) &&
               resolveHostSettings(result.fConfig.get(), result.fOptions, result.fSettings, result.fError);
  return result;
}

std::string here(const std::string& iName) { return std::filesystem::current_path().string() + "/" + iName; }

std::string joined(const std::vector<std::string>& iList) {
  std::string text;
  for (const std::string& entry : iList) text += (text.empty() ? "" : "|") + entry;
  return text;
}

using Field = std::function<std::string(const PHostSettings&)>;
template <class T>
Field field(T PHostSettings::*iField) {
  return [iField](const PHostSettings& iSettings) { return std::to_string(iSettings.*iField); };
}

}  // namespace

TEST(HostSettings, NumbersAreTakenWithinTheirBoundsAndNothingElse) {
  struct Row {
    const char* fKey;
    const char* fOption;
    long long fMin, fMax;
    Field fField;
  };
  const Row rows[] = {
      {"workers", "--workers", 1, 256, field(&PHostSettings::fWorkers)},
      {"frame.max", "--frame-max", 64, 67108864, field(&PHostSettings::fFrameMax)},
      {"connection.max", "--connection-max", 1, 100000, field(&PHostSettings::fConnectionMax)},
      {"connection.readahead", "--readahead", 4096, 67108864, field(&PHostSettings::fReadAhead)},
      {"connection.idle_timeout", "--idle-timeout", 0, 86400, field(&PHostSettings::fIdleTimeout)},
      {"connection.handshake_timeout", "--handshake-timeout", 1, 3600, field(&PHostSettings::fHandshakeTimeout)},
      {"connection.handshake_per_address", "--handshake-per-address", 1, 100000, field(&PHostSettings::fHandshakePerAddress)},
      {"transfer.fd_reserve", "--transfer-fd-reserve", 0, 1000000, field(&PHostSettings::fFdReserve)},
      {"memory.max", "--memory-max", 1048576, 2147483647, field(&PHostSettings::fMemoryMax)},
  };
  for (const Row& row : rows) {
    const std::string key = row.fKey, option = row.fOption;
    const std::string range = " is not a number from " + std::to_string(row.fMin) + " to " + std::to_string(row.fMax);
    for (const long long good : {row.fMin, row.fMax, (row.fMin + row.fMax) / 2}) {
      const PResult byKey = resolve(key + " = " + std::to_string(good) + "\n");
      EXPECT_EQ(std::to_string(good), byKey.fOk ? row.fField(byKey.fSettings) : byKey.fError) << key;
    }
    std::vector<std::string> bad = {"12a", "", "1.5", "0x10", "-1", "+5", "99999999999999999999", std::to_string(row.fMax + 1)};
    if (row.fMin > 0) bad.push_back(std::to_string(row.fMin - 1));
    for (const std::string& text : bad) {
      EXPECT_EQ(kSource + ":2: " + key + ": \"" + text + "\"" + range, resolve(key + " = " + text + "\n").fError);
      EXPECT_EQ(option + ": \"" + text + "\"" + range, resolve("", {option, text}).fError);
      const PResult overridden = resolve(key + " = " + text + "\n", {option + "=" + std::to_string(row.fMax)});
      EXPECT_EQ(std::to_string(row.fMax), overridden.fOk ? row.fField(overridden.fSettings) : overridden.fError);
    }
  }
}

TEST(HostSettings, EveryOtherKindTakesItsValuesAndRefusesOthersNamingFileLineAndKey) {
  const passwd* root = getpwuid(0);
  const group* rootGroup = getgrgid(0);
  ASSERT_TRUE(root != nullptr && rootGroup != nullptr);
  const std::string rootName = root->pw_name, rootGroupName = rootGroup->gr_name;
  const auto roles = [](const std::vector<PRolePattern>& iPatterns) { return PRoleMap::describe(iPatterns); };
  struct Case {
    const char* fKey;
    const char* fOption;
    std::string fValue;
    std::string fBecomes;  // the field read back; or, for a bad value, what follows "KEY: "
    Field fField;          // null: the value is bad
  };
  const Field level = field(&PHostSettings::fLogLevel), symlinks = field(&PHostSettings::fSymlinks);
  const Field mode = field(&PHostSettings::fSocketMode), group = field(&PHostSettings::fSocketGroup);
  const Field user = [](const PHostSettings& iSettings) { return std::to_string(iSettings.fUser) + "/" + std::to_string(iSettings.fGroup); };
  const Field listen = [](const PHostSettings& iSettings) { return joined(iSettings.fListen); };
  const Field target = [](const PHostSettings& iSettings) { return iSettings.fLogTarget; };
  const Field allow = [](const PHostSettings& iSettings) { return joined(iSettings.fTls.fAllow); };
  const Field reading = [&](const PHostSettings& iSettings) { return roles(iSettings.fRoleRead); };
  const Field writing = [&](const PHostSettings& iSettings) { return roles(iSettings.fRoleWrite) + (iSettings.fRoleWriteSet ? " set" : ""); };
  const Field insecure = field(&PHostSettings::fTcpInsecure), isolation = field(&PHostSettings::fTransferIsolation);
  const Field device = [](const PHostSettings& iSettings) { return iSettings.fMqtt.fDevice; };
  const Field topics = [](const PHostSettings& iSettings) { return iSettings.fMqtt.fRoot; };
  const std::string levels = "none, error, warning, info, debug or trace, or 0 to 5";
  const Case cases[] = {
      {"log.level", "--log-level", "debug", "4", level},
      {"log.level", "--log-level", "5", "5", level},
      {"log.level", "--log-level", "0", "0", level},
      {"log.level", "--log-level", "Info", "\"Info\" is not " + levels, nullptr},
      {"log.level", "--log-level", "6", "\"6\" is not " + levels, nullptr},
      {"symlinks", "--symlinks", "follow", "0", symlinks},
      {"symlinks", "--symlinks", "Follow", "\"Follow\" is not refuse or follow", nullptr},
      {"tcp.insecure", "--tcp-insecure", "on", "1", insecure},
      {"transfer.isolation", "--transfer-isolation", "off", "0", isolation},
      {"transfer.isolation", "--transfer-isolation", "yes", "\"yes\" is not on or off", nullptr},
      {"socket.mode", "--socket-mode", "640", "416", mode},
      {"socket.mode", "--socket-mode", "0777", "511", mode},
      {"socket.mode", "--socket-mode", "1660", "\"1660\" is not an octal mode from 0 to 0777", nullptr},
      {"socket.mode", "--socket-mode", "0999", "\"0999\" is not an octal mode from 0 to 0777", nullptr},
      {"socket.group", "--socket-group", rootGroupName, "0", group},
      {"socket.group", "--socket-group", "4242424", "4242424", group},  // a number the system need not know
      {"socket.group", "--socket-group", "no-such-group", "\"no-such-group\" is not a known group name or a group number", nullptr},
      {"user", "--user", rootName, "0/" + std::to_string(root->pw_gid), user},
      {"user", "--user", "0", "0/" + std::to_string(root->pw_gid), user},
      {"user", "--user", "no-such-user", "\"no-such-user\" is not a known user name or a user number", nullptr},
      {"listen", "--listen", "unix:rel.sock", "unix:" + here("rel.sock"), listen},
      {"listen", "--listen", "udp:1", "unknown endpoint \"udp:1\"", nullptr},
      {"log.target", "--log-target", "file:x.log", "file:" + here("x.log"), target},
      {"log.target", "--log-target", "syslog", "syslog", target},
      {"log.target", "--log-target", "file:", "\"file:\" is not stderr, syslog, journal or file:PATH", nullptr},
      {"tls.allow", "--tls-allow", " a , ,sha256:AB", "a|sha256:AB", allow},
      {"role.read", "--role-read", "uid:7, *", "uid:7, *", reading},
      {"role.read", "--role-read", "uid:0, frob:1", "\"frob:1\" is not an identity pattern", nullptr},
      {"role.write", "--role-write", "", "nobody set", writing},
      {"role.write", "--role-write", "mqtt:ops, mqtt:*", "mqtt:ops, mqtt:* set", writing},
      {"role.read", "--role-read", "mqtt:a/b", "\"mqtt:a/b\" is not an identity pattern", nullptr},
      {"mqtt.device", "--mqtt-device", "pump-7 \xC3\xBC", "pump-7 \xC3\xBC", device},
      {"mqtt.device", "--mqtt-device", "a+b", "the device ID \"a+b\" holds '+'", nullptr},
      {"mqtt.device", "--mqtt-device", "a#", "the device ID \"a#\" holds '#'", nullptr},
      {"mqtt.device", "--mqtt-device", "..", "the device ID \"..\" names a directory's self or parent", nullptr},
      {"mqtt.device", "--mqtt-device", "site/7", "the device ID \"site/7\" holds '/'", nullptr},
      {"mqtt.device", "--mqtt-device", std::string(129, 'd'), "the device ID must be 1 to 128 bytes, not 129", nullptr},
      {"mqtt.device", "--mqtt-device", "a\tb", "the device ID holds a control character or NUL", nullptr},
      {"mqtt.prefix", "--mqtt-prefix", "acme/zevo", "acme/zevo", topics},
      {"mqtt.prefix", "--mqtt-prefix", "$SYS", "\"$SYS\" begins with '$'", nullptr},
      {"mqtt.prefix", "--mqtt-prefix", "acme//zevo", "a level of the root must be 1 to 128 bytes, not 0", nullptr},
  };
  for (const Case& test : cases) {
    const std::string key = test.fKey, option = test.fOption;
    const PResult byKey = resolve("\n" + key + " = " + test.fValue + "\n");
    const PResult byOption = resolve("", {option, test.fValue});
    if (test.fField == nullptr) {  // the message may go on to say more
      const std::string byKeySays = kSource + ":3: " + key + ": " + test.fBecomes, byOptionSays = option + ": " + test.fBecomes;
      EXPECT_EQ(byKeySays, byKey.fError.substr(0, byKeySays.size()));
      EXPECT_EQ(byOptionSays, byOption.fError.substr(0, byOptionSays.size()));
      continue;
    }
    EXPECT_EQ(test.fBecomes, byKey.fOk ? test.fField(byKey.fSettings) : byKey.fError) << key << " = " << test.fValue;
    EXPECT_EQ(test.fBecomes, byOption.fOk ? test.fField(byOption.fSettings) : byOption.fError) << option << " " << test.fValue;
  }
  // Lists: a key's entries are comma-separated; options name one entry
  // each and replace the key's list; an empty list leaves a default.
  const PResult plugins = resolve("plugins = /a.so, b.so\n", {"--plugin", "c.so", "--plugin=/d,e.so"});
  EXPECT_EQ(here("c.so") + "|/d,e.so", plugins.fOk ? joined(plugins.fSettings.fPlugins) : plugins.fError);
  EXPECT_EQ("/a.so|" + here("b.so"), joined(resolve("plugins = /a.so, b.so\n").fSettings.fPlugins));
  const PResult defaults = resolve("");
  EXPECT_EQ("nobody", roles(defaults.fSettings.fRoleWrite) + (defaults.fSettings.fRoleWriteSet ? " set" : ""));
  EXPECT_EQ("unix:/run/zevo/zevohost.sock", joined(defaults.fSettings.fListen));
  EXPECT_EQ("unix:/run/zevo/zevohost.sock", joined(resolve("listen = ,\n").fSettings.fListen));
  EXPECT_EQ("unix:/r.sock|tcp:[::1]:7", joined(resolve("listen = unix:/r.sock, tcp:[::1]:7\n").fSettings.fListen));
}

TEST(HostSettings, SettingsThatMustAgreeAreCheckedAndDefaultsFitConnectionMax) {
  const std::string tls = "tls.cert, tls.key and tls.ca go together; missing: ";
  struct Case {
    std::string fLines;
    std::vector<std::string> fArgs;
    std::string fSays;  // the error, or per-identity/write/local reserve
  };
  const Case cases[] = {
      {"", {}, "16/4/8"},
      {"", {"--connection-max", "8"}, "8/4/7"},
      {"connection.max = 1\n", {}, "1/0/0"},
      {"", {"--connection-max", "8", "--per-identity", "8", "--local-reserve", "7", "--write-reserve", "0"}, "8/0/7"},
      {"", {"--connection-max", "8", "--per-identity", "9"}, "--per-identity: connection.per_identity (9) exceeds connection.max (8)"},
      {"connection.max = 8\nconnection.write_reserve = 8\n", {}, kSource + ":3: connection.write_reserve (8) is not below connection.max (8)"},
      {"connection.local_reserve = 64\n", {}, kSource + ":2: connection.local_reserve (64) is not below connection.max (64)"},
      {"", {"--frame-max", "2000000", "--memory-max", "1048576"}, "--memory-max: memory.max (1048576) is below frame.max (2000000)"},
      {"mounts = refuse\n", {"--symlinks", "follow"}, kSource + ":2: mounts = refuse needs symlinks = refuse"},
      {"mounts = refuse\nsymlinks = refuse\n", {}, "16/4/8"},
      {"group = 0\n", {}, kSource + ":2: group is given without user"},
      {"user = 4242424\n", {}, kSource + ":2: user 4242424 is known to the system by number only: give its group as well"},
      {"user = 4242424\n", {"--group", "0"}, "16/4/8"},
      {"tls.cert = c.pem\n", {}, kSource + ":2: " + tls + "tls.key (--tls-key), tls.ca (--tls-ca)"},
      {"tls.cert = c.pem\ntls.ca = a.pem\n", {"--tls-key", "k.pem"}, "16/4/8"},
      {"listen = mqtt://b\n", {}, kSource + ":2: mqtt://b needs the device ID: mqtt.device (--mqtt-device)"},
      {"listen = mqtts://b\nmqtt.device = d\n", {}, kSource + ":2: mqtts://b needs tls.cert, tls.key and tls.ca"},
      {"mqtt.password_file = p\n", {}, kSource + ":2: mqtt.password_file is given without mqtt.username"},
      {"listen = mqtt://b\n", {"--mqtt-device", "d"}, "16/4/8"},
  };
  for (const Case& test : cases) {
    const PResult result = resolve(test.fLines, test.fArgs);
    const PHostSettings& got = result.fSettings;
    EXPECT_EQ(test.fSays, result.fOk ? std::to_string(got.fPerIdentity) + "/" + std::to_string(got.fWriteReserve) + "/" +
                                           std::to_string(got.fLocalReserve)
                                     : result.fError.substr(0, test.fSays.size()))
        << test.fLines;
  }
  EXPECT_EQ(here("k.pem"), resolve("tls.cert = c.pem\ntls.ca = a.pem\n", {"--tls-key", "k.pem"}).fSettings.fTls.fKeyFile);
}

TEST(HostSettings, AReloadReadsTheTlsKeysAloneFromTheStartDirectory) {
  PResult start = resolve("tls.cert = c.pem\ntls.key = /k.pem\ntls.ca = a.pem\ntls.allow = x\nworkers = 0\n");
  ASSERT_EQ(kSource + ":6: workers: \"0\" is not a number from 1 to 256", start.fError);
  PTlsSettings tls;
  std::string error;
  ASSERT_TRUE(resolveTlsSettings(start.fConfig.get(), start.fOptions, "/start", tls, error)) << error;
  EXPECT_EQ("/start/c.pem /k.pem /start/a.pem x", tls.fCertFile + " " + tls.fKeyFile + " " + tls.fCaFile + " " + joined(tls.fAllow));
  ::setenv("CREDENTIALS_DIRECTORY", "/run/credentials/zevohost.service", 1);  // as systemd passes them
  PResult passed = resolve("tls.cert = c.pem\ntls.key = credential:tls_host.key\ntls.ca = a.pem\n");
  ASSERT_TRUE(resolveTlsSettings(passed.fConfig.get(), passed.fOptions, "/start", tls, error)) << error;
  ::unsetenv("CREDENTIALS_DIRECTORY");
  EXPECT_EQ("/run/credentials/zevohost.service/tls_host.key", tls.fKeyFile);
  PResult half = resolve("tls.ca = a.pem\n");
  EXPECT_FALSE(resolveTlsSettings(half.fConfig.get(), half.fOptions, "/start", tls, error));
  EXPECT_EQ(kSource + ":2: tls.cert, tls.key and tls.ca go together; missing: tls.cert (--tls-cert), tls.key (--tls-key)", error);
}

TEST(HostSettings, OptionsAndKeysTheHostDoesNotKnow) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--frobnicate"}, "unknown option --frobnicate"},
      {{"--transfer-max-x=1"}, "unknown option --transfer-max-x=1"},
      {{"--workers"}, "--workers needs a value"},
      {{"--config-dir"}, "--config-dir needs a value"},
  };
  for (const auto& [args, says] : cases) EXPECT_EQ(says, resolve("", args).fError);
  const PResult known = resolve("colour = blue\nworkers = 3\nlog.levle = info\n", {"--config-dir=etc", "--workers", "2", "--workers=5", "-h"});
  EXPECT_EQ("etc 5 1", known.fOptions.fConfigDir + " " + std::to_string(known.fSettings.fWorkers) + " " + std::to_string(known.fOptions.fHelp));
  const std::vector<std::string> unknown = {"unknown key 'colour' at " + kSource + ":2 (ignored)",
                                            "unknown key 'log.levle' at " + kSource + ":4 (ignored)"};
  EXPECT_EQ(unknown, unknownHostKeys(known.fConfig.get()));
}

TEST(HostSettings, TheUsageAndTheDocumentedTableOfKeysComeFromTheRows) {
  const std::string usage = hostUsage();
  std::istringstream lines(usage), rows(hostSettingsTable());
  for (std::string line; std::getline(lines, line);) EXPECT_GE(79u, line.size()) << line;
  EXPECT_EQ(std::count(usage.begin(), usage.end(), '('), std::count(usage.begin(), usage.end(), ')'));
  for (std::string row; std::getline(rows, row);) {  // each row's option has its line
    const size_t option = row.find("`--");
    if (option == std::string::npos) continue;
    const std::string name = row.substr(option + 1, row.find(' ', option) - option - 1);
    EXPECT_NE(std::string::npos, usage.find("\n  " + name + " ")) << name;
  }

  const std::string doc = readText(ZEVO_SOURCE_DIR "/docs/configuration.md");
  const std::string marker = "<!-- zevohost --settings-table -->\n";
  const size_t at = doc.find(marker);
  ASSERT_NE(std::string::npos, at) << "docs/configuration.md lost its marker";
  const std::string table = hostSettingsTable();
  EXPECT_EQ(table, doc.substr(at + marker.size(), table.size())) << "write `zevohost --settings-table` into the docs";
  const size_t end = at + marker.size() + table.size();
  EXPECT_TRUE(end >= doc.size() || doc[end] != '|') << "the docs' table has rows the host does not";
}
