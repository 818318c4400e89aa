// Strings, UTF-8, the error table, time, mutexes and byte order.
#include <cerrno>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "PTestSupport.h"
#include "zevo/PFile.h"
#include "zevo/PMutex.h"
#include "zevo/PTime.h"
#include "zevo/PUtils.h"

namespace {

std::vector<std::wstring> tokens(const wchar_t* iText) {
  PString rest(iText), token;
  std::vector<std::wstring> out;
  while (PLiteral::getNextToken(rest, token, L',') == 0) out.push_back(token.str());
  EXPECT_EQ(0u, rest.len());
  return out;
}

}  // namespace

TEST(PString, TokensComparisonAndEditing) {
  using V = std::vector<std::wstring>;
  EXPECT_EQ((V{L"/a", L"/b"}), tokens(L"/a, /b"));
  EXPECT_EQ((V{L"/a b", L"c"}), tokens(L"\t/a b ,\t,, c,"));
  EXPECT_TRUE(tokens(L"  , \t ,").empty());

  EXPECT_EQ(L"ab", PString(L"abc", 2).str());
  EXPECT_EQ(0, PLiteral(L"abc").cmp(PString(L"abc")));
  EXPECT_LT(PLiteral(L"ab").cmp(L"abc", 3), 0);
  EXPECT_GT(PLiteral(L"b").cmp(PLiteral(L"abc")), 0);
  EXPECT_GT(PLiteral(L"\U0010FFFF").cmp(PLiteral(L"a")), 0);
  EXPECT_NE(0, PLiteral(L"/Data/x").startsWith(PLiteral(L"/data"), true));
  EXPECT_EQ(0, PLiteral(L"/Data/x").startsWith(PLiteral(L"/data"), false));
  EXPECT_NE(0, PLiteral(L"a.TXT").endsWith(L".txt", PLiteral::kToNul, true));
  EXPECT_EQ(0, PLiteral(L"a.TXT").endsWith(L".txt", PLiteral::kToNul, false));
  EXPECT_EQ(0, PLiteral(L"t").endsWith(L".txt", 4, true));
  PString s(L"abc");
  s.cat(s).erase(1, 2).erase(10, 1).erase(3, PLiteral::kToNul);
  EXPECT_STREQ(L"aab", PString(std::move(s)).ptr());
}

TEST(PUtils, Utf8SeparatorsAndFileNames) {
  const PString wide(L"a\u00E9\u20AC\U0001F600");
  const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  std::string narrow;
  ASSERT_EQ(0, PUtils::toUtf8(wide, narrow));
  EXPECT_EQ(utf8, narrow);
  PString back;
  ASSERT_EQ(0, PUtils::fromUtf8(utf8.data(), utf8.size(), back));
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

TEST(PErrors, NamesAndErrnoMapping) {
  EXPECT_STREQ("ERR_ACCESS_DENIED", PErrors::name(ERR_ACCESS_DENIED));
  EXPECT_EQ(nullptr, PErrors::name(-1));
  const std::pair<int, int> errnos[] = {
      {ENOENT, PERR_NOT_FOUND},  {EACCES, PERR_ACCESS},     {EPERM, PERR_ACCESS},         {EEXIST, PERR_EXISTS},
      {ENOTDIR, PERR_NOT_DIR},   {EISDIR, PERR_IS_DIR},     {ENOTEMPTY, PERR_NOT_EMPTY},  {ENOSPC, PERR_NO_SPACE},
      {EDQUOT, PERR_NO_SPACE},   {EROFS, PERR_READ_ONLY},   {EBUSY, PERR_BUSY},           {ETXTBSY, PERR_BUSY},
      {EMFILE, PERR_TOO_MANY_FILES}, {ENFILE, PERR_TOO_MANY_FILES}, {ENAMETOOLONG, PERR_NAME_TOO_LONG},
      {EIO, PERR_IO},            {ELOOP, PERR_LOOP},        {EINVAL, PERR_INVALID_ARG},   {EFBIG, PERR_TOO_LARGE},
      {EOVERFLOW, PERR_TOO_LARGE}, {ENOMEM, PERR_NO_MEMORY}, {EXDEV, PERR_CROSS_DEVICE},   {EINTR, PERR_INTERRUPTED},
      {EAGAIN, PERR_FAILED},     {0, PERR_FAILED}};
  for (const auto& [error, code] : errnos) EXPECT_EQ(code, PErrors::fromErrno(error)) << "errno " << error;
}

TEST(PTime, TicksAreMicrosecondsAndNeverZero) {
  // Transfer IDs are ticks: 0 would mean "no transfer".
  const unsigned int first = static_cast<unsigned int>(PTime::getTickCount());
  for (int i = 0; i < 1000; ++i) ASSERT_NE(0, PTime::getTickCount());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const unsigned int elapsed = static_cast<unsigned int>(PTime::getTickCount()) - first;
  EXPECT_TRUE(elapsed >= 20000u && elapsed < 5000000u) << elapsed;
}

// Locks twice and locks mutexes that cannot lock: beyond what the lock
// analysis follows, hence not analysed.
static void checkMutexKinds() ZEVO_NO_THREAD_SAFETY_ANALYSIS {
  PMutex recursive;
  EXPECT_EQ(PERR_MUTEX, recursive.lock());
  ASSERT_EQ(0, recursive.init(true));
  EXPECT_EQ(PERR_MUTEX, recursive.init(true));
  EXPECT_EQ(0, recursive.lock() + recursive.lock() + recursive.unlock() + recursive.unlock());
  EXPECT_EQ(0, recursive.close());
  EXPECT_EQ(PERR_MUTEX, recursive.lock());
  PMutex checked;
  ASSERT_EQ(0, checked.init(false));
  {
    PMutexLock scope(checked);
    EXPECT_EQ(PERR_MUTEX, checked.lock());  // relocking would deadlock
  }
  EXPECT_EQ(0, checked.lock() + checked.unlock());
}

TEST(PMutex, RecursiveAndErrorCheckingKinds) { checkMutexKinds(); }
