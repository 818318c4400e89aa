#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PTestSupport.h"
#include "zevo/PErrors.h"
#include "zevo/logger/PLogger.h"
#include "zevo/zevoGetInstance.h"

namespace {

using Texts = std::vector<std::string>;

class Logger : public ::testing::Test {
 protected:
  PBaseptr<ILogger> create(int iLevel) {
    PBaseptr<ILogger> logger;
    EXPECT_EQ(PLoggerComponent::create(LOG_TARGET_FILE, iLevel, widen(fDir / "zevo.log").c_str(), logger), 0);
    return logger;
  }
  // Each line checked against "2026-12-06T17:58:28.123456Z LEVEL name: text",
  // split into "LEVEL name" and the text.
  Texts lines(Texts* oTexts = nullptr) {
    const std::vector<unsigned char> bytes = readFile(fDir / "zevo.log");
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    const std::string shape = "dddd-dd-ddTdd:dd:dd.ddddddZ ";
    Texts heads;
    for (std::string line; std::getline(in, line);) {
      bool ok = line.size() > shape.size() && line.find(": ") != std::string::npos;
      for (size_t i = 0; ok && i < shape.size(); ++i) {
        ok = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) : line[i] == shape[i];
      }
      EXPECT_TRUE(ok) << line;
      const size_t colon = line.find(": ");
      heads.push_back(line.substr(shape.size(), colon - shape.size()));
      if (oTexts) oTexts->push_back(line.substr(colon + 2));
    }
    return heads;
  }
  Texts texts() {
    Texts result;
    lines(&result);
    return result;
  }
  PTempDir fDir;
};

}  // namespace

TEST_F(Logger, LevelThreshold) {
  PBaseptr<ILogger> component = create(LOG_LEVEL_WARNING), named;
  ASSERT_EQ(component->getLogger(L"test.named", named), 0);
  // Below the threshold nothing is formatted: this argument would crash it.
  const wchar_t* poison = reinterpret_cast<const wchar_t*>(std::uintptr_t{8});
  component->logInfo(0, L"%ls", "f", poison);
  named->logDebug(0, L"%ls", "f", poison);
  component->logError(0, L"e%d", "f", 1);
  named->logWarning(0, L"w%d", "f", 2);
  EXPECT_EQ(named->setLevel(LOG_LEVEL_DEBUG), 0);  // its own, not the component's
  named->logDebug(0, L"d%d", "f", 3);
  component->logInfo(0, L"%ls", "f", poison);
  EXPECT_EQ(component->setLevel(LOG_LEVEL_NONE), 0);
  component->logError(0, L"%ls", "f", poison);
  EXPECT_EQ(component->setLevel(5) + named->setLevel(-1), 2 * ERR_INVALID_ARG);
  EXPECT_EQ(component->getLevel() * 10 + named->getLevel(), LOG_LEVEL_DEBUG);
  EXPECT_EQ(texts(), (Texts{"e1", "w2", "d3"}));
  EXPECT_EQ(lines(), (Texts{"ERROR zevo", "WARNING test.named", "DEBUG test.named"}));
}

TEST_F(Logger, FormattingEscapingAndText) {
  PBaseptr<ILogger> logger = create(LOG_LEVEL_DEBUG), named;
  errno = EACCES;
  logger->logError(0, L"[%s] open %ls", "notify", L"/a\nb\r\tc\x1b[1m\x7f\x85");
  EXPECT_EQ(errno, EACCES);
  logger->logWarning(0, L"[%s] %ls %d", "f", L"/data/100%done %s %n", -5);
  logger->logInfo(0, L"[%-6s] 0x%08x", "g%d", 0xBEEFu);
  logger->logDebug(0, L"count %d", "unused", 5);  // the first conversion is not %s
  logger->logInfo(0, L"%s: Gr\u00FC\u00DFe %ls %ls", "f\u00FCnf", L"\u65E5\u672C", L"x\xD800y");
  logger->logError(0, L"[%s] bad %", "f");
  ASSERT_EQ(logger->getLogger(L"zevop.fileaccess.log\n", named), 0);
  named->logInfo(0, L"[%.1s] %p", "hx", static_cast<void*>(nullptr));
  EXPECT_EQ(texts(), (Texts{R"([notify] open /a\nb\r\tc\x1b[1m\x7f\x85)", "[f] /data/100%done %s %n -5",
                            "[g%d   ] 0x0000beef", "count 5", "f\xC3\xBCnf: Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC x?y",
                            "<format error: \"[%s] bad %\">", "[h] (nil)"}));
  EXPECT_EQ(lines().back(), R"(INFO zevop.fileaccess.log\n)");
}

TEST_F(Logger, LongTextIsCutOnOneLine) {
  PBaseptr<ILogger> logger = create(LOG_LEVEL_DEBUG);
  const std::wstring medium(10000, L'm'), huge(PLoggerComponent::kMaxTextLength * 2, L'h');
  logger->logInfo(0, L"%ls", "f", medium.c_str());
  logger->logInfo(0, L"%ls\n%ls", "f", huge.c_str(), huge.c_str());
  EXPECT_EQ(texts(), (Texts{std::string(10000, 'm'), std::string(PLoggerComponent::kMaxTextLength, 'h') + " [truncated]"}));
}

TEST_F(Logger, GetLoggerSharesByNameAndMayReplaceItsCaller) {
  PBaseptr<ILogger> component = create(LOG_LEVEL_INFO), a1, a2, b;
  ASSERT_EQ(component->getLogger(L"a", a1) + a1->getLogger(L"a", a2) + component->getLogger(L"b", b), 0);
  EXPECT_EQ(a1.get(), a2.get());
  EXPECT_NE(a1.get(), b.get());
  EXPECT_EQ(component->getLogger(L"", b), ERR_INVALID_ARG);
  EXPECT_TRUE(b);

  // As a plug-in does it: the target is the handle that holds the component.
  ASSERT_EQ(zevoRegisterInstance(ZEVO_ID_LOGGER, component.get()), 0);
  component = nullptr;
  IBase* found = nullptr;
  ASSERT_EQ(zevoGetInstance(ZEVO_ID_LOGGER, found), 0);
  PBaseptr<ILogger> logger(static_cast<ILogger*>(found));
  ASSERT_EQ(logger->getLogger(L"zevop.fileaccess.log", logger), 0);
  logger->logInfo(0, L"one", "f");
  static_cast<ILogger*>(found)->logInfo(0, L"two", "f");  // alive: the registry holds it
  zevoClearInstances();
  logger->logInfo(0, L"three", "f");  // the sink outlives the component
  EXPECT_EQ(logger->getLogger(L"c", b), ERR_NOT_RUNNING);

  PBaseptr<ILogger> only = create(LOG_LEVEL_INFO);  // the handle holds the only reference
  ASSERT_EQ(only->getLogger(L"last", only), 0);
  only->logInfo(0, L"four", "f");
  EXPECT_EQ(lines(), (Texts{"INFO zevop.fileaccess.log", "INFO zevo", "INFO zevop.fileaccess.log", "INFO last"}));
  EXPECT_EQ(texts(), (Texts{"one", "two", "three", "four"}));
}

TEST_F(Logger, ConcurrentLinesStayWhole) {
  PBaseptr<ILogger> component = create(LOG_LEVEL_DEBUG);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &component] {
      PBaseptr<ILogger> logger;  // one handle per thread: handles are not thread-safe
      EXPECT_EQ(component->getLogger(L"worker", logger), 0);
      const std::wstring padding(500, static_cast<wchar_t>(L'a' + t));
      for (int i = 0; i < 300; ++i) logger->logDebug(0, L"%d %d %ls", "f", t, i, padding.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::pair<int, int>> seen;
  for (const auto& text : texts()) {
    int t = -1, i = -1;
    std::string padding, rest;
    std::istringstream(text) >> t >> i >> padding >> rest;
    ASSERT_TRUE(t >= 0 && t < 4 && padding == std::string(500, static_cast<char>('a' + t)) && rest.empty()) << text;
    seen.insert({t, i});
  }
  EXPECT_EQ(seen.size(), 1200u);
  const Texts heads = lines();
  EXPECT_EQ(std::set<std::string>(heads.begin(), heads.end()), std::set<std::string>{"DEBUG worker"});
}

TEST_F(Logger, TargetsAndDescriptors) {
  const int descriptors = openDescriptorCount();
  PBaseptr<ILogger> logger, named;
  EXPECT_EQ(PLoggerComponent::create(LOG_TARGET_FILE, 5, widen(fDir / "x").c_str(), logger), ERR_INVALID_ARG);
  EXPECT_EQ(PLoggerComponent::create(static_cast<PLogTarget>(3), 1, L"", logger), ERR_INVALID_ARG);
  EXPECT_EQ(PLoggerComponent::create(LOG_TARGET_FILE, 1, L"", logger), ERR_INVALID_ARG);
  EXPECT_EQ(PLoggerComponent::create(LOG_TARGET_FILE, 1, widen(fDir / "no/x").c_str(), logger), PERR_NOT_FOUND);
  EXPECT_EQ(PLoggerComponent::create(LOG_TARGET_FILE, 1, widen(fDir.path()).c_str(), logger), PERR_IS_DIR);
  ASSERT_EQ(mkfifo((fDir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(PLoggerComponent::create(LOG_TARGET_FILE, 1, widen(fDir / "fifo").c_str(), logger), PERR_NOT_FILE);  // no hang
  EXPECT_FALSE(logger);
  EXPECT_EQ(openDescriptorCount(), descriptors);

  logger = create(LOG_LEVEL_INFO);
  ASSERT_EQ(logger->getLogger(L"n", named), 0);
  logger = nullptr;
  EXPECT_EQ(openDescriptorCount(), descriptors + 1);  // the named logger keeps the sink
  named->logInfo(0, L"kept", "f");
  named = nullptr;
  EXPECT_EQ(openDescriptorCount(), descriptors);

  ASSERT_EQ(PLoggerComponent::create(LOG_TARGET_SYSLOG, 4, L"", logger), 0);
  logger->logDebug(0, L"[%s] syslog line", "f");
  const int saved = dup(STDERR_FILENO);  // standard error, redirected to the file
  const int file = open((fDir / "zevo.log").c_str(), O_WRONLY | O_APPEND);
  ASSERT_TRUE(saved >= 0 && file >= 0 && dup2(file, STDERR_FILENO) == STDERR_FILENO);
  ASSERT_EQ(PLoggerComponent::create(LOG_TARGET_STDERR, 2, L"", logger), 0);
  logger->logWarning(0, L"to stderr", "f");
  logger = nullptr;
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(file);
  EXPECT_EQ(texts(), (Texts{"kept", "to stderr"}));
  EXPECT_EQ(openDescriptorCount(), descriptors);
}
