// Configuration files: the parser, sets and the manager of a directory.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <gtest/gtest.h>

#include "PTestSupport.h"
#include "zevo/core/PConfigManager.h"
#include "zevo/core/PConfigParser.h"
#include "zevo/portinglayer/PSysCalls.h"

namespace {

int parse(const std::string& iText, std::vector<PConfigEntry>& oEntries, std::string& oError) {
  return PConfigParser::parse(iText.data(), iText.size(), "set.conf", oEntries, oError);
}

// A manager of T/conf; T itself holds what must stay out of reach.
class ConfigManager : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, ::mkdir(fDir.c_str(), 0755) + PConfigManager::create(fDir + "/", fManager)); }
  std::string path(const std::string& iID) const { return fDir + "/" + iID + ".conf"; }
  std::string failure(const PLiteral& iID, int iCode) {
    std::string error;
    EXPECT_EQ(iCode, fManager->load(iID, fConfig, error)) << error;
    EXPECT_EQ(error, fManager->lastError());
    return error;
  }

  PTempDir fRoot;
  std::string fDir = fRoot / "conf";
  PBaseptr<PConfigManager> fManager;
  PBaseptr<PConfig> fConfig;
};

}  // namespace

TEST(ConfigParser, EntriesInFileOrderAndEachErrorWithItsLine) {
  const std::string text =
      "\xEF\xBB\xBF# comment = not an entry\r\n\n   \t\n  fileaccess.read = /data, /logs/ \r\n\t# indented\n"
      "fileaccess.write =\nurl=http://host/a?b=c#frag\ngreeting = Gr\xC3\xBC\xC3\x9F" "e\na_b-c.9 = x = y\r\nlast = no newline\r";
  std::vector<PConfigEntry> entries;
  std::string error = "stale";
  ASSERT_EQ(0, parse(text, entries, error) + error.size()) << error;
  std::string got;
  for (const PConfigEntry& entry : entries) got += entry.fKey + "=" + entry.fValue + "@" + std::to_string(entry.fLine) + "|";
  EXPECT_EQ("fileaccess.read=/data, /logs/@4|fileaccess.write=@6|url=http://host/a?b=c#frag@7|greeting=Gr\xC3\xBC\xC3\x9F" "e@8|"
            "a_b-c.9=x = y@9|last=no newline@10|", got);
  EXPECT_EQ(ERR_INVALID_ARG, PConfigParser::parse(nullptr, 1, "null", entries, error));
  const std::pair<std::string, std::string> errors[] = {
      {"a = 1\r\nb\r\n", "set.conf:2: expected \"key = value\""},
      {"a = 1\n\n = 2\n", "set.conf:3: missing key before \"=\""},
      {"a=1\nb=2\nt\x01\x7F = 3\n", "set.conf:3: invalid key \"t\\x01\\x7f\" (keys use a-z, 0-9, '.', '_', '-')"},
      {"a=1\nb=2\n\n  a = 3\n", "set.conf:4: duplicate key \"a\" (first on line 1)"},
      {"a=1\nb=caf\xE9\n", "set.conf:2: invalid UTF-8 (column 6)"},
      {"a=1\n# \xC0\xAF overlong in a comment\n", "set.conf:2: invalid UTF-8 (column 3)"},
      {std::string("a=1\nb=x\0y\n", 10), "set.conf:2: NUL byte (column 4)"},
      {std::string(PConfigParser::kMaxBytes + 1, '#'), "set.conf: file of 1048577 bytes exceeds the limit of 1048576 bytes"},
  };
  for (const auto& [bad, message] : errors) {
    EXPECT_EQ(ERR_CONFIG_SYNTAX, parse(bad, entries, error)) << message;
    EXPECT_EQ(message, error);
    EXPECT_TRUE(entries.empty());
  }
  std::string atLimit = "k = v\n# ";
  atLimit.resize(PConfigParser::kMaxBytes, 'x');
  EXPECT_EQ(0, parse(atLimit, entries, error));
  for (const char* bad : {"", "A", "a b", "a=b", "\xC3\xA4", "a/b"}) EXPECT_FALSE(PConfigParser::isValidKey(bad)) << bad;
  EXPECT_EQ(std::string(64, 'k') + "...", PConfigParser::display(std::string(70, 'k'), 64));
}

TEST_F(ConfigManager, LoadsValuesAndConvertsThem) {
  writeText(path("set"),
            "n.plain = 42\nn.neg = -7\nn.plus = +3\nn.max = 2147483647\nn.min = -2147483648\nn.over = 2147483648\n"
            "n.under = -2147483649\nn.frac = 1.5\nn.sign = -\nn.empty =\n"
            "b.t1 = TRUE\nb.t2 = Yes\nb.t3 = on\nb.t4 = 1\nb.f1 = off\nb.f2 = No\nb.f3 = FaLsE\nb.f4 = 0\nb.bad = yes please\n"
            "b.two = 2\ntext = Gr\xC3\xBC\xC3\x9F" "e\n");
  PBaseptr<IConfig> config;
  ASSERT_EQ(0, fManager->loadByID(L"set", config)) << fManager->lastError();
  const int V = ERR_CONFIG_VALUE, N = ERR_CONFIG_NO_KEY;
  for (const auto& [key, rc, value] : {std::tuple{L"n.plain", 0, 42}, {L"n.neg", 0, -7}, {L"n.plus", 0, 3}, {L"n.max", 0, INT_MAX},
                                       {L"n.min", 0, INT_MIN}, {L"n.over", V, 99}, {L"n.under", V, 99}, {L"n.frac", V, 99},
                                       {L"n.sign", V, 99}, {L"n.empty", V, 99}, {L"absent", N, 99}}) {
    int got = 99;
    EXPECT_EQ(rc, config->getInt(key, got)) << key;
    EXPECT_EQ(value, got) << key;
  }
  for (const auto& [key, rc, value] : {std::tuple{L"b.t1", 0, true}, {L"b.t2", 0, true}, {L"b.t3", 0, true}, {L"b.t4", 0, true},
                                       {L"b.f1", 0, false}, {L"b.f2", 0, false}, {L"b.f3", 0, false}, {L"b.f4", 0, false},
                                       {L"b.bad", V, false}, {L"b.two", V, true}, {L"n.empty", V, false}, {L"absent", N, true}}) {
    bool got = !value;
    EXPECT_EQ(rc, config->getBool(key, got)) << key;
    EXPECT_EQ(rc == 0 ? value : !value, got) << key;
  }
  PString text;
  EXPECT_EQ(ERR_CONFIG_NO_KEY, config->getString(L"N.PLAIN", text)) << "keys are case-sensitive";
  ASSERT_EQ(0, config->getString(L"text", text));
  EXPECT_EQ(L"Gr\u00FC\u00DFe", text.str());
  std::vector<PString> keys;  // in file order, with their lines
  ASSERT_EQ(0, static_cast<PConfig*>(config.get())->keys(keys));
  EXPECT_TRUE(keys.size() == 21 && keys[10].str() == L"b.t1" && static_cast<PConfig*>(config.get())->lineOf(L"b.t1") == 11);
  // Every load reads the file again; a set outlives its manager.
  writeText(path("set"), "key = second\n");
  PBaseptr<IConfig> second;
  ASSERT_EQ(0, fManager->loadByID(L"set", second));
  fManager = PBaseptr<PConfigManager>();
  ASSERT_EQ(0, config->getString(L"text", text) + second->getString(L"key", text));
  EXPECT_EQ(L"second", text.str());
}

TEST_F(ConfigManager, FailuresNameTheFileAndLeaveTheHandleAsItWas) {
  writeText(path("good"), "key = kept\n");
  writeText(path("bad"), "# header\na = 1\nno equals here\n");
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644) + mkdir(path("dir").c_str(), 0755), 0);
  ASSERT_EQ("", failure(L"good", 0));
  EXPECT_EQ(path("absent") + ": no configuration set \"absent\" (no such file)", failure(L"absent", ERR_CONFIG_NO_SET));
  EXPECT_EQ(path("bad") + ":3: expected \"key = value\"", failure(L"bad", ERR_CONFIG_SYNTAX));
  EXPECT_EQ(path("fifo") + ": not a regular file", failure(L"fifo", ERR_CONFIG_READ));  // no hang
  EXPECT_EQ(path("dir") + ": is a directory, not a configuration file", failure(L"dir", ERR_CONFIG_READ));
  {
    PSysCallsScope restore;
    PSysCalls::table().fRead = [](int, void*, size_t) -> ssize_t { return errno = EIO, -1; };
    EXPECT_EQ(path("good") + ": cannot read: input/output error of the device", failure(L"good", ERR_CONFIG_READ));
    PSysCalls::restore();
    PSysCalls::table().fFstat = [](int iFd, struct stat* oStat) {  // a file that grows after fstat
      const int rc = PSysCalls::defaults().fFstat(iFd, oStat);
      if (rc == 0 && S_ISREG(oStat->st_mode)) oStat->st_size = 10;
      return rc;
    };
    writeText(path("big"), std::string(PConfigParser::kMaxBytes + 1, '#'));
    EXPECT_EQ(path("big") + ": file exceeds the limit of 1048576 bytes", failure(L"big", ERR_CONFIG_SYNTAX));
  }
  PString value;
  ASSERT_EQ(0, fConfig->getString(L"key", value));
  EXPECT_EQ(L"kept", value.str());
}

TEST_F(ConfigManager, RefusesIDsThatLeaveTheDirectory) {
  writeText(fRoot / "secret.conf", "secret = 1\n");  // what "../secret" would reach
  const std::pair<std::wstring, std::string> ids[] = {
      {L"", "it is empty"},  {L"../secret", "it holds \"/\""}, {L"a/b", "it holds \"/\""}, {L"..", "it is \".\" or \"..\""},
      {std::wstring(L"x\0y", 3), "it holds a NUL character"}, {std::wstring(1, static_cast<wchar_t>(0xD800)), "it is not valid Unicode text"}};
  for (const auto& [id, reason] : ids) {
    const std::string error = failure(PLiteral(id.c_str(), static_cast<unsigned int>(id.size())), ERR_INVALID_ARG);
    EXPECT_EQ(reason, error.substr(error.size() - std::min(error.size(), reason.size()))) << error;
  }
  for (const char* name : {"zeta.conf", "alpha.conf", "b.x.conf", "notes.txt", "x.conf.bak", ".conf", "Up.CONF"}) writeText(fDir + "/" + name, "");
  ASSERT_EQ(0, ::mkdir(path("subdir").c_str(), 0755));
  std::vector<PString> listed;
  ASSERT_EQ(0, fManager->listIDs(listed));
  std::wstring names;
  for (const PString& id : listed) names += id.str() + L" ";
  EXPECT_EQ(L"alpha b.x zeta ", names);
  PBaseptr<IConfigManager> manager;
  for (const std::string& bad : {std::string(), fRoot / "conf/../conf", std::string("/etc\0x", 6), std::string("/etc/\xFF")}) {
    EXPECT_EQ(ERR_INVALID_ARG, PConfigManager::create(bad, manager));
  }
}
