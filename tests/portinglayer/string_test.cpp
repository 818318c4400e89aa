// Strings, UTF-8, time and mutexes.
#include <cstring>
#include <thread>
#include <gtest/gtest.h>

#include "PTestSupport.h"
#include "zevo/PFile.h"
#include "zevo/PMutex.h"
#include "zevo/PTime.h"
#include "zevo/PUtils.h"

TEST(PString, TokensComparisonAndEditing) {
  using V = std::vector<std::wstring>;
  for (const auto& [text, expected] : {std::pair{L"/a, /b", V{L"/a", L"/b"}}, {L"\t/a b ,\t,, c,", V{L"/a b", L"c"}}, {L"  , \t ,", V{}}}) {
    PString rest(text), token;
    V got;
    while (PLiteral::getNextToken(rest, token, L',') == 0) got.push_back(token.str());
    EXPECT_EQ(expected, got);
    EXPECT_EQ(0u, rest.len());
  }
  EXPECT_EQ(0, PLiteral(L"abc").cmp(PString(L"abc", 3)));
  EXPECT_LT(PLiteral(L"ab").cmp(L"abc", 3), 0);
  EXPECT_GT(PLiteral(L"b").cmp(PLiteral(L"abc")), 0);
  EXPECT_GT(PLiteral(L"\U0010FFFF").cmp(PLiteral(L"a")), 0);
  const PLiteral upper(L"/Data/x.TXT");
  EXPECT_TRUE(upper.startsWith(L"/data", true) && !upper.startsWith(L"/data", false) && !PLiteral(L"/").startsWith(L"/d", true));
  EXPECT_TRUE(upper.endsWith(L".txt", PLiteral::kToNul, true) && !upper.endsWith(L".txt", 4, false) && !PLiteral(L"t").endsWith(L".txt", 4, true));
  PString s(L"abc");
  s.cat(s).erase(1, 2).erase(10, 1).erase(3, PLiteral::kToNul);
  EXPECT_STREQ(L"aab", PString(std::move(s)).ptr());
}

TEST(PUtils, Utf8SeparatorsAndFileNames) {
  const PString wide(L"a\u00E9\u20AC\U0001F600");
  const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  std::string narrow;
  PString back;
  ASSERT_EQ(0, PUtils::toUtf8(wide, narrow) + PUtils::fromUtf8(utf8.data(), utf8.size(), back));
  EXPECT_EQ(utf8, narrow);
  EXPECT_EQ(wide.str(), back.str());
  for (wchar_t bad : {wchar_t(0xD800), wchar_t(0xDFFF), wchar_t(0x110000)}) {
    const wchar_t text[] = {L'x', bad};
    EXPECT_EQ(PERR_INVALID_ARG, PUtils::toUtf8(PLiteral(text, 2), narrow)) << int(bad);
    EXPECT_TRUE(narrow.empty());
  }
  for (const char* bad : {"\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xE2\x82", "x\x80", "\xFF"}) {
    back = L"junk";
    EXPECT_EQ(PERR_INVALID_ARG, PUtils::fromUtf8(bad, std::strlen(bad), back)) << bad;
    EXPECT_EQ(0u, back.len());
  }
  PString path(L"//a///b\\\\c//");
  PUtils::fixFileSeparator(path);
  EXPECT_EQ(L"/a/b\\\\c/", path.str());
  for (auto [full, last] : {std::pair{L"/x/y.txt", L"y.txt"}, {L"/x/", L""}, {L"plain", L"plain"}}) {
    PString name(full);
    PFile::getFileName(name);
    EXPECT_STREQ(last, name.ptr());
  }
}

TEST(PTime, TicksAreMicroseconds) {
  const unsigned int first = static_cast<unsigned int>(PTime::getTickCount());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const unsigned int elapsed = static_cast<unsigned int>(PTime::getTickCount()) - first;
  EXPECT_TRUE(elapsed >= 20000u && elapsed < 5000000u) << elapsed;
}

// Locks twice and locks mutexes that cannot lock: beyond what the lock
// analysis follows, hence not analysed.
static void checkMutexKinds() ZEVO_NO_THREAD_SAFETY_ANALYSIS {
  PMutex fast, checked;
  EXPECT_EQ(PERR_MUTEX, checked.lock());
  ASSERT_EQ(0, fast.init(false) + checked.init(true));
  EXPECT_EQ(PERR_MUTEX, checked.init(true));
  {
    PMutexLock scope(checked);
    EXPECT_EQ(PERR_MUTEX, checked.lock()) << "never re-entered: relocking answers instead of hanging";
  }
  EXPECT_EQ(0, fast.lock() + fast.unlock() + fast.close());
  EXPECT_EQ(PERR_MUTEX, fast.lock());
}

TEST(PMutex, CheckedAndFastKinds) { checkMutexKinds(); }
