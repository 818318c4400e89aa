// The logger component: levels, the line format, named loggers, targets.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "PTestSupport.h"
#include "zevo/PFd.h"
#include "zevo/logger/PLogger.h"
#include "zevo/zevoGetInstance.h"

namespace {

using Texts = std::vector<std::string>;

class Logger : public ::testing::Test {
 protected:
  PBaseptr<ILogger> create(int iLevel, std::vector<std::wstring> iDetailPrefixes = {}) {
    const PLoggerSettings settings{LOG_TARGET_FILE, iLevel, widen(fDir / "zevo.log"), "", std::move(iDetailPrefixes)};
    PBaseptr<ILogger> logger;
    EXPECT_EQ(0, PLoggerComponent::create(settings, logger));
    return logger;
  }
  // Each line is "2026-12-06T17:58:28.123456Z LEVEL name: text": the heads
  // ("LEVEL name") or the texts.
  Texts lines(bool iTexts) {
    static const std::regex kStamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z )");
    const size_t stamp = 28;
    std::istringstream in(readText(fDir / "zevo.log"));
    Texts out;
    for (std::string line; std::getline(in, line);) {
      const size_t colon = line.find(": ");
      const bool ok = colon != std::string::npos && colon > stamp && std::regex_match(line.substr(0, stamp), kStamp);
      EXPECT_TRUE(ok) << line.substr(0, 100);
      out.push_back(!ok ? line : iTexts ? line.substr(colon + 2) : line.substr(stamp, colon - stamp));
    }
    return out;
  }
  PTempDir fDir;
};

}  // namespace

TEST_F(Logger, LevelsFormattingAndEscaping) {
  PBaseptr<ILogger> component = create(LOG_LEVEL_WARNING), named;
  ASSERT_EQ(0, component->getLogger(L"test.named", named));
  const wchar_t* poison = reinterpret_cast<const wchar_t*>(std::uintptr_t{8});  // below the level nothing is formatted
  component->logInfo(0, L"%ls", "f", poison);
  named->logDebug(0, L"%ls", "f", poison);
  component->logError(0, L"[%s] open %ls", "notify", L"/a\nb\r\tc\x1b[1m\x7f\x85");
  named->logWarning(0, L"[%s] %ls %d", "f", L"/data/100%done %s %n", -5);
  EXPECT_EQ(0, named->setLevel(LOG_LEVEL_DEBUG));  // its own, not the component's
  named->logDebug(0, L"[%-6s] 0x%08x", "g%d", 0xBEEFu);
  named->logDebug(0, L"%s: Gr\u00FC\u00DFe %ls", "f\u00FCnf", L"x\xD800y");
  named->logDebug(0, L"[%s] bad %", "f");
  const std::wstring huge(PLoggerComponent::kMaxTextLength * 2, L'h');
  named->logDebug(0, L"%ls\n%ls", "f", huge.c_str(), huge.c_str());
  component->logInfo(0, L"%ls", "f", poison);
  EXPECT_EQ(0, component->setLevel(LOG_LEVEL_NONE));
  component->logError(0, L"%ls", "f", poison);
  EXPECT_EQ(2 * ERR_INVALID_ARG, component->setLevel(5) + named->setLevel(-1));
  EXPECT_EQ(LOG_LEVEL_DEBUG, component->getLevel() * 10 + named->getLevel());
  EXPECT_EQ((Texts{R"([notify] open /a\nb\r\tc\x1b[1m\x7f\x85)", "[f] /data/100%done %s %n -5", "[g%d   ] 0x0000beef",
                   "f\xC3\xBCnf: Gr\xC3\xBC\xC3\x9F" "e x?y", "<format error: \"[%s] bad %\">",
                   std::string(PLoggerComponent::kMaxTextLength, 'h') + " [truncated]"}),
            lines(true));
  EXPECT_EQ((Texts{"ERROR zevo", "WARNING test.named", "DEBUG test.named", "DEBUG test.named", "DEBUG test.named", "DEBUG test.named"}),
            lines(false));
}

TEST_F(Logger, NamedLoggersAreSharedAndMayReplaceTheirCaller) {
  PBaseptr<ILogger> component = create(LOG_LEVEL_INFO), a1, a2, b;
  ASSERT_EQ(0, component->getLogger(L"a", a1) + a1->getLogger(L"a", a2) + component->getLogger(L"b", b));
  EXPECT_TRUE(a1.get() == a2.get() && a1.get() != b.get());
  EXPECT_EQ(ERR_INVALID_ARG, component->getLogger(L"", b));
  // As a plug-in does it: the target is the handle that holds the component.
  ASSERT_EQ(0, zevoRegisterInstance(ZEVO_ID_LOGGER, component.get()));
  component = nullptr;
  IBase* found = nullptr;
  ASSERT_EQ(0, zevoGetInstance(ZEVO_ID_LOGGER, found));
  PBaseptr<ILogger> logger(static_cast<ILogger*>(found));
  ASSERT_EQ(0, logger->getLogger(L"zevop.fileaccess.log", logger));
  logger->logInfo(0, L"one", "f");
  zevoClearInstances();
  logger->logInfo(0, L"two", "f");  // the sink outlives the component
  EXPECT_EQ(ERR_NOT_RUNNING, logger->getLogger(L"c", b));
  EXPECT_EQ((Texts{"INFO zevop.fileaccess.log", "INFO zevop.fileaccess.log"}), lines(false));
}

TEST_F(Logger, TargetsAndDescriptors) {
  const int descriptors = descriptorCount();
  PBaseptr<ILogger> logger, named;
  ASSERT_EQ(0, mkfifo((fDir / "fifo").c_str(), 0600));
  const std::pair<std::string, int> files[] = {
      {"", ERR_INVALID_ARG}, {fDir / "no/x", PERR_NOT_FOUND}, {fDir.path(), PERR_IS_DIR}, {fDir / "fifo", PERR_NOT_FILE}};
  for (const auto& [file, code] : files) EXPECT_EQ(code, PLoggerComponent::create(LOG_TARGET_FILE, 1, widen(file).c_str(), logger));
  EXPECT_EQ(ERR_INVALID_ARG, PLoggerComponent::create(LOG_TARGET_FILE, LOG_LEVEL_TRACE + 1, widen(fDir / "x").c_str(), logger));
  EXPECT_EQ(ERR_INVALID_ARG, PLoggerComponent::create(static_cast<PLogTarget>(4), 1, L"", logger));
  EXPECT_EQ(PLoggerComponent::hasJournal() ? 0 : ERR_INVALID_ARG, PLoggerComponent::create(LOG_TARGET_JOURNAL, 5, L"", named));
  EXPECT_FALSE(logger);
  logger = create(LOG_LEVEL_INFO);
  ASSERT_EQ(0, logger->getLogger(L"n", named));
  logger = nullptr;
  named->logInfo(0, L"kept", "f");  // the named logger keeps the sink
  named = nullptr;
  EXPECT_EQ(descriptors, descriptorCount());
  ASSERT_EQ(0, PLoggerComponent::create(LOG_TARGET_SYSLOG, 4, L"", logger));
  logger->logDebug(0, L"[%s] syslog line", "f");
  {
    const PFd saved(dup(STDERR_FILENO)), file(open((fDir / "zevo.log").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    ASSERT_EQ(STDERR_FILENO, dup2(file.get(), STDERR_FILENO));  // standard error, redirected to the file
    ASSERT_EQ(0, PLoggerComponent::create(LOG_TARGET_STDERR, 2, L"", logger));
    logger->logWarning(0, L"to stderr", "f");
    dup2(saved.get(), STDERR_FILENO);
  }
  logger = nullptr;
  EXPECT_EQ((Texts{"kept", "to stderr"}), lines(true));
  EXPECT_EQ(descriptors, descriptorCount());
}

TEST_F(Logger, DetailLoggersWriteALevelLowerAndTraceShowsTheirDebugLines) {
  const std::map<int, std::pair<int, Texts>> expected = {  // the plug-in's getLevel, the lines
      {LOG_LEVEL_INFO, {0, {"WARNING zevohost.log"}}},
      {LOG_LEVEL_DEBUG, {3, {"DEBUG zevop.fileaccess.log", "DEBUG zevohost.log", "WARNING zevohost.log"}}},
      {LOG_LEVEL_TRACE, {4, {"DEBUG zevop.fileaccess.log", "TRACE zevop.fileaccess.log", "DEBUG zevohost.log", "WARNING zevohost.log"}}}};
  for (const auto& [level, outcome] : expected) {
    writeText(fDir / "zevo.log", "");
    PBaseptr<ILogger> component = create(level, {L"zevop."}), plugin, host;
    ASSERT_EQ(0, component->getLogger(L"zevop.fileaccess.log", plugin) + component->getLogger(L"zevohost.log", host));
    plugin->logError(0, L"refused", "f");
    plugin->logDebug(0, L"chunk", "f");
    host->logDebug(0, L"accepted", "f");
    PLoggerComponent::logRecord(host.get(), LOG_LEVEL_WARNING, L"a\nrecord", {{"ZEVO_PATH", "/a"}});
    EXPECT_EQ(std::min(level, static_cast<int>(LOG_LEVEL_DEBUG)), component->getLevel()) << "within ILogger's levels";
    EXPECT_EQ(outcome.first, plugin->getLevel()) << "the highest level whose lines it writes";
    EXPECT_EQ(outcome.second, lines(false)) << level;
    EXPECT_EQ(R"(a\nrecord)", lines(true).back());
  }
}

TEST(Journal, EntriesCarryTheirFields) {
  sockaddr_un journal{AF_UNIX, "/run/systemd/journal/socket"};
  const PFd probe(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!PLoggerComponent::hasJournal() || connect(probe.get(), reinterpret_cast<sockaddr*>(&journal), sizeof journal) != 0 ||
      system("journalctl --version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no journal to read back";
  }
  const PLoggerSettings settings{LOG_TARGET_JOURNAL, LOG_LEVEL_INFO, L"", "zevo-test", {}};
  PBaseptr<ILogger> component, named;
  ASSERT_EQ(0, PLoggerComponent::create(settings, component) + component->getLogger(L"zevohost.audit", named));
  const std::string mark = std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
  PLoggerComponent::logRecord(named.get(), LOG_LEVEL_WARNING, L"refused", {{"ZEVO_PATH", "/d/" + mark}, {"ZEVO_STATUS", "-511"}});
  const std::string command = "journalctl -q -o export SYSLOG_IDENTIFIER=zevo-test ZEVO_PATH=/d/" + mark;
  std::string entry;
  EXPECT_TRUE(eventually([&] {
    FILE* out = popen(command.c_str(), "r");
    char buffer[4096];
    entry.clear();
    for (size_t got; out != nullptr && (got = fread(buffer, 1, sizeof buffer, out)) > 0;) entry.append(buffer, got);
    if (out != nullptr) pclose(out);
    return !entry.empty();
  }, 5));
  for (const char* field : {"\nPRIORITY=4\n", "\nMESSAGE=refused\n", "\nZEVO_LOGGER=zevohost.audit\n", "\nZEVO_STATUS=-511\n"}) {
    EXPECT_NE(std::string::npos, entry.find(field)) << field << entry;
  }
}
