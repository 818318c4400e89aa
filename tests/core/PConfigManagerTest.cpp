#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "PTestSupport.h"
#include "zevo/PErrors.h"
#include "zevo/core/PConfigManager.h"
#include "zevo/portinglayer/PSysCalls.h"

namespace {

std::atomic<int> gOpens{0}, gOpenFlags{0};
int countingOpen(const char* iPath, int iFlags, mode_t iMode) {
  ++gOpens;
  gOpenFlags = iFlags;
  return PSysCalls::defaults().fOpen(iPath, iFlags, iMode);
}
int deniedOpen(const char*, int, mode_t) { return errno = EACCES, -1; }
ssize_t failingRead(int, void*, size_t) { return errno = EIO, -1; }
int smallFstat(int iFd, struct stat* oStat) {  // a file that grows after fstat
  const int rc = PSysCalls::defaults().fFstat(iFd, oStat);
  if (rc == 0 && S_ISREG(oStat->st_mode)) oStat->st_size = 10;
  return rc;
}

// A manager of <temp>/conf; <temp> itself holds files that must stay out of reach.
class ConfigManager : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(fDir.c_str(), 0755), 0);
    ASSERT_EQ(PConfigManager::create(fDir + "/", fManager), 0);
    ASSERT_EQ(fManager->directory(), fDir);
  }
  std::string path(const std::string& iID) const { return fDir + "/" + iID + ".conf"; }
  // Loads iID expecting iCode; the message of the failure.
  std::string failure(const PLiteral& iID, int iCode) {
    std::string error;
    EXPECT_EQ(fManager->load(iID, fConfig, error), iCode) << error;
    EXPECT_EQ(error, fManager->lastError());
    return error;
  }

  PTempDir fRoot;
  std::string fDir = fRoot / "conf";
  PBaseptr<PConfigManager> fManager;
  PBaseptr<PConfig> fConfig;
};

}  // namespace

TEST_F(ConfigManager, LoadsValuesAndConverts) {
  writeText(path("set"),
            "n.plain = 42\nn.neg = -7\nn.plus = +3\nn.max = 2147483647\nn.min = -2147483648\n"
            "n.over = 2147483648\nn.under = -2147483649\nn.huge = 99999999999999999999\nn.frac = 1.5\n"
            "n.hex = 0x10\nn.sign = -\nn.empty =\nn.inner = 1 2\n"
            "b.t1 = TRUE\nb.t2 = Yes\nb.t3 = on\nb.t4 = 1\nb.f1 = off\nb.f2 = No\nb.f3 = FaLsE\nb.f4 = 0\n"
            "b.bad = yes please\nb.two = 2\ntext = Grüße\n");
  PBaseptr<IConfig> config;
  ASSERT_EQ(fManager->loadByID(L"set", config), 0) << fManager->lastError();
  ASSERT_FALSE(config.isNull());
  const std::vector<std::pair<const wchar_t*, int>> ints = {
      {L"n.plain", 42}, {L"n.neg", -7}, {L"n.plus", 3}, {L"n.max", 2147483647}, {L"n.min", -2147483647 - 1}};
  for (const auto& [key, value] : ints) {
    int got = 0;
    EXPECT_EQ(config->getInt(key, got), 0) << key;
    EXPECT_EQ(got, value);
  }
  for (const wchar_t* key : {L"n.over", L"n.under", L"n.huge", L"n.frac", L"n.hex", L"n.sign", L"n.empty", L"n.inner",
                             L"b.t3"}) {
    int got = 99;
    EXPECT_EQ(config->getInt(key, got), ERR_CONFIG_VALUE) << key;
    EXPECT_EQ(got, 99);
  }
  for (const wchar_t* key : {L"b.t1", L"b.t2", L"b.t3", L"b.t4", L"b.f1", L"b.f2", L"b.f3", L"b.f4"}) {
    bool got = key[2] == L'f';
    EXPECT_EQ(config->getBool(key, got), 0) << key;
    EXPECT_EQ(got, key[2] == L't') << key;
  }
  bool flag = true;
  for (const wchar_t* key : {L"b.bad", L"b.two", L"n.empty"}) EXPECT_EQ(config->getBool(key, flag), ERR_CONFIG_VALUE);
  int number = 0;
  PString text;
  EXPECT_EQ(config->getInt(L"absent", number), ERR_CONFIG_NO_KEY);
  EXPECT_EQ(config->getBool(L"absent", flag), ERR_CONFIG_NO_KEY);
  EXPECT_EQ(config->getString(L"N.PLAIN", text), ERR_CONFIG_NO_KEY);  // keys are case-sensitive
  ASSERT_EQ(config->getString(L"text", text), 0);
  EXPECT_EQ(text.str(), L"Grüße");
  ASSERT_EQ(config->getString(L"n.empty", text), 0);  // present, empty
  EXPECT_EQ(text.len(), 0u);

  PConfig* typed = static_cast<PConfig*>(config.get());
  std::vector<PString> keys;
  ASSERT_EQ(typed->keys(keys), 0);
  ASSERT_EQ(keys.size(), 24u);
  EXPECT_EQ(keys.front().str(), L"n.plain");
  EXPECT_EQ(keys.back().str(), L"text");
  EXPECT_EQ(typed->lineOf(L"b.t1"), 14u);
  EXPECT_EQ(typed->lineOf(L"absent"), 0u);
  EXPECT_EQ(typed->source(), path("set"));
}

TEST_F(ConfigManager, ReadsAgainOnEveryLoadAndSetsOutliveTheManager) {
  writeText(path("set"), "key = first\n");
  PBaseptr<IConfig> first, second;
  ASSERT_EQ(fManager->loadByID(L"set", first), 0);
  writeText(path("set"), "key = second\n");
  ASSERT_EQ(fManager->loadByID(L"set", second), 0);
  fManager = PBaseptr<PConfigManager>();  // the last reference: destroyed now
  PString value;
  ASSERT_EQ(first->getString(L"key", value), 0);  // under ASan, a freed set would show here
  EXPECT_EQ(value.str(), L"first");
  ASSERT_EQ(second->getString(L"key", value), 0);
  EXPECT_EQ(value.str(), L"second");
}

TEST_F(ConfigManager, FailuresGiveTheCodeAndAPreciseMessage) {
  writeText(path("good"), "key = kept\n");
  ASSERT_EQ(failure(L"good", 0), "");
  EXPECT_EQ(failure(L"absent", ERR_CONFIG_NO_SET), path("absent") + ": no configuration set \"absent\" (no such file)");
  writeText(path("bad"), "# header\na = 1\nno equals here\n");
  EXPECT_EQ(failure(L"bad", ERR_CONFIG_SYNTAX), path("bad") + ":3: expected \"key = value\"");
  writeText(path("big"), std::string(PConfigParser::kMaxBytes + 1, '#'));
  EXPECT_EQ(failure(L"big", ERR_CONFIG_SYNTAX), path("big") + ": file of 1048577 bytes exceeds the limit of 1048576 bytes");
  {
    PSysCallsScope restore;
    PSysCalls::table().fFstat = smallFstat;
    EXPECT_EQ(failure(L"big", ERR_CONFIG_SYNTAX), path("big") + ": file exceeds the limit of 1048576 bytes");
  }
  PString value;  // every failure left the handle as it was
  ASSERT_FALSE(fConfig.isNull());
  ASSERT_EQ(fConfig->getString(L"key", value), 0);
  EXPECT_EQ(value.str(), L"kept");
  PBaseptr<IConfig> config(fConfig.get());
  EXPECT_EQ(fManager->loadByID(L"absent", config), ERR_CONFIG_NO_SET);
  std::string error;
  EXPECT_EQ(fManager->load(L"bad", config, error), ERR_CONFIG_SYNTAX);
  EXPECT_EQ(error, path("bad") + ":3: expected \"key = value\"");
  EXPECT_EQ(config.get(), fConfig.get());
  EXPECT_EQ(fManager->lastError(), error);
}

TEST(Config, CreateFromEntriesRefusesWhatAFileCannotHold) {
  PBaseptr<PConfig> config;
  EXPECT_EQ(PConfig::create({{"a", "1", 1}, {"b", "2", 2}, {"a", "3", 3}}, "dup", config), ERR_INVALID_ARG);
  EXPECT_EQ(PConfig::create({{"A", "1", 1}}, "key", config), ERR_INVALID_ARG);
  EXPECT_EQ(PConfig::create({{"a", "\xFF", 1}}, "utf8", config), ERR_INVALID_ARG);
  EXPECT_TRUE(config.isNull());
  ASSERT_EQ(PConfig::create({{"z", "last", 1}, {"a", "first", 2}}, "mem", config), 0);
  PString value;
  ASSERT_EQ(config->getString(L"a", value), 0);  // found although not in key order
  EXPECT_EQ(value.str(), L"first");
  EXPECT_EQ(config->source(), "mem");
}

TEST_F(ConfigManager, RefusesIDsThatLeaveTheDirectory) {
  writeText(fRoot / "secret.conf", "secret = 1\n");  // what "../secret" would reach
  writeText(fRoot / "conf.conf", "secret = 1\n");
  PSysCallsScope restore;
  gOpens = 0;
  PSysCalls::table().fOpen = countingOpen;
  const std::vector<std::pair<std::wstring, std::string>> ids = {
      {L"", "it is empty"},
      {L"../secret", "it holds \"/\""},
      {L"a/b", "it holds \"/\""},
      {fRoot.wide(L"secret"), "it holds \"/\""},
      {L".", "it is \".\" or \"..\""},
      {L"..", "it is \".\" or \"..\""},
      {std::wstring(L"x\0y", 3), "it holds a NUL character"},
      {std::wstring(1, static_cast<wchar_t>(0xD800)), "it is not valid Unicode text"}};
  for (const auto& [id, reason] : ids) {
    const std::string error = failure(PLiteral(id.c_str(), static_cast<unsigned int>(id.size())), ERR_INVALID_ARG);
    EXPECT_EQ(error.substr(0, 30), "invalid configuration set ID \"");
    EXPECT_EQ(error.substr(error.size() - reason.size()), reason) << error;
  }
  EXPECT_EQ(failure(L"x\x01", ERR_CONFIG_NO_SET).find('\x01'), std::string::npos);  // no raw control byte
  EXPECT_EQ(gOpens, 1);  // only the last, valid ID reached the file system
  EXPECT_EQ(gOpenFlags & (O_CLOEXEC | O_NONBLOCK | O_ACCMODE), O_CLOEXEC | O_NONBLOCK | O_RDONLY);
}

TEST_F(ConfigManager, NonRegularAndUnreadableFilesLeaveNoDescriptor) {
  writeText(path("good"), "k = v\n");
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(path("dir").c_str(), 0755), 0);
  const int descriptors = openDescriptorCount();
  EXPECT_EQ(failure(L"fifo", ERR_CONFIG_READ), path("fifo") + ": not a regular file");  // returns: no hang
  EXPECT_EQ(failure(L"dir", ERR_CONFIG_READ), path("dir") + ": is a directory, not a configuration file");
  {
    PSysCallsScope restore;
    PSysCalls::table().fOpen = deniedOpen;
    EXPECT_EQ(failure(L"good", ERR_CONFIG_READ), path("good") + ": cannot open: the system denied permission");
    PSysCalls::restore();
    PSysCalls::table().fRead = failingRead;
    EXPECT_EQ(failure(L"good", ERR_CONFIG_READ), path("good") + ": cannot read: input/output error of the device");
  }
  if (geteuid() != 0) {  // root reads anything
    ASSERT_EQ(chmod(path("good").c_str(), 0), 0);
    EXPECT_EQ(failure(L"good", ERR_CONFIG_READ), path("good") + ": cannot open: the system denied permission");
  }
  EXPECT_EQ(openDescriptorCount(), descriptors);
}

TEST_F(ConfigManager, ListsTheSetsInTheDirectory) {
  for (const char* name : {"zeta.conf", "alpha.conf", "b.x.conf", "notes.txt", "x.conf.bak", ".conf", "..conf", "Up.CONF"}) {
    writeText(fDir + "/" + name, "k = v\n");
  }
  ASSERT_EQ(mkdir(path("subdir").c_str(), 0755), 0);
  ASSERT_EQ(symlink((fDir + "/alpha.conf").c_str(), path("linked").c_str()), 0);
  std::vector<PString> ids;
  ASSERT_EQ(fManager->listIDs(ids), 0) << fManager->lastError();
  std::vector<std::wstring> names;
  for (const PString& id : ids) names.push_back(id.str());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"alpha", L"b.x", L"linked", L"zeta"}));

  PBaseptr<PConfigManager> missing;
  ASSERT_EQ(PConfigManager::create(fRoot / "none", missing), 0);
  std::string error;
  EXPECT_EQ(missing->listIDs(ids, error), ERR_CONFIG_READ);
  EXPECT_EQ(error, fRoot / "none" + ": cannot list the configuration directory: no such file or directory");
  EXPECT_EQ(ids.size(), 4u);  // unchanged
}

TEST_F(ConfigManager, CreateRefusesBadDirectories) {
  PBaseptr<IConfigManager> manager;
  EXPECT_EQ(PConfigManager::create("", manager), ERR_INVALID_ARG);
  EXPECT_EQ(PConfigManager::create(fRoot / "conf/../conf", manager), ERR_INVALID_ARG);
  EXPECT_EQ(PConfigManager::create(std::string("/etc\0x", 6), manager), ERR_INVALID_ARG);
  std::string error;
  PBaseptr<PConfigManager> typed;
  EXPECT_EQ(PConfigManager::create("/etc/\xFF", typed, &error), ERR_INVALID_ARG);
  EXPECT_EQ(error, "invalid configuration directory \"/etc/\\xff\": the path is not UTF-8");
  EXPECT_TRUE(manager.isNull() && typed.isNull());
  ASSERT_EQ(PConfigManager::create("/", typed), 0);
  EXPECT_EQ(typed->directory(), "/");
}

TEST_F(ConfigManager, ConcurrentLoads) {
  writeText(path("good"), "k = 7\n");
  writeText(path("bad"), "k 7\n");
  failure(L"bad", ERR_CONFIG_SYNTAX);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        PBaseptr<IConfig> config;
        int value = 0;
        const bool good = (i + t) % 2 == 0;
        const int rc = fManager->loadByID(good ? L"good" : L"bad", config);
        if (good ? rc != 0 || config->getInt(L"k", value) != 0 || value != 7 : rc != ERR_CONFIG_SYNTAX) ++wrong;
        if (fManager->lastError().find(":1: expected") == std::string::npos) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
}
