// Strings, UTF-8, error table, time, mutex and byte order.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "PlTestSupport.h"
#include "zevo/PEndian.h"
#include "zevo/PErrors.h"
#include "zevo/PFile.h"
#include "zevo/PMutex.h"
#include "zevo/PTime.h"
#include "zevo/PUtils.h"

namespace {

std::vector<std::wstring> tokens(const wchar_t* iText, wchar_t iSeparator) {
  PString rest(iText);
  PString token;
  std::vector<std::wstring> out;
  while (PLiteral::getNextToken(rest, token, iSeparator) == 0) out.push_back(token.str());
  EXPECT_EQ(0u, rest.len());
  return out;
}

}  // namespace

TEST(PString, TokensLengthsAndComparison) {
  using V = std::vector<std::wstring>;
  EXPECT_EQ((V{L"/a", L"/b"}), tokens(L"/a, /b", L','));
  EXPECT_EQ((V{L"/a", L"/b"}), tokens(L"/a,,/b", L','));
  EXPECT_EQ((V{L"/a b", L"c"}), tokens(L"\t/a b ,\t, c,", L','));
  EXPECT_TRUE(tokens(L"  , \t ,", L',').empty());
  EXPECT_TRUE(tokens(L"", L',').empty());

  EXPECT_EQ(3u, PLiteral(L"abc", PLiteral::kToNul).len());
  EXPECT_EQ(L"ab", PString(L"abc", 2).str());
  EXPECT_TRUE(PLiteral(nullptr).isNull());
  EXPECT_STREQ(L"", static_cast<const wchar_t*>(PLiteral(nullptr)));

  EXPECT_EQ(0, PLiteral(L"abc").cmp(PString(L"abc")));
  EXPECT_EQ(0, PLiteral(L"abc").cmp(L"abc", PLiteral::kToNul));
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
  PString moved(std::move(s));
  EXPECT_STREQ(L"aab", moved.ptr());
  EXPECT_EQ(0u, s.len());
}

TEST(PUtils, Utf8SeparatorsAndFileNames) {
  const PString wide(L"a\u00E9\u20AC\U0001F600");
  const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  std::string narrow = "junk";
  ASSERT_EQ(0, PUtils::toUtf8(wide, narrow));
  EXPECT_EQ(utf8, narrow);
  PString back(L"junk");
  ASSERT_EQ(0, PUtils::fromUtf8(utf8.data(), utf8.size(), back));
  EXPECT_EQ(wide.str(), back.str());

  for (wchar_t bad : {wchar_t(0xD800), wchar_t(0xDFFF), wchar_t(0x110000)}) {
    const wchar_t text[] = {L'x', bad};
    narrow = "junk";
    EXPECT_EQ(PERR_INVALID_ARG, PUtils::toUtf8(PLiteral(text, 2), narrow)) << int(bad);
    EXPECT_TRUE(narrow.empty());
  }
  for (const char* bad : {"\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xE2\x82", "x\x80", "\xFF",
                          "\xF0\x9F\x98"}) {
    back = L"junk";
    EXPECT_EQ(PERR_INVALID_ARG, PUtils::fromUtf8(bad, std::strlen(bad), back)) << bad;
    EXPECT_EQ(0u, back.len());
  }
  EXPECT_EQ(PERR_INVALID_ARG, PUtils::fromUtf8(nullptr, 3, back));
  EXPECT_EQ("a?b", PUtils::toDisplay(PString(L"a\xD800" L"b")));

  PString path(L"//a///b\\\\c//");
  PUtils::fixFileSeparator(path);
  EXPECT_EQ(L"/a/b\\\\c/", path.str());

  for (auto [full, last] : {std::pair{L"/x/y.txt", L"y.txt"}, {L"/x/", L""}, {L"plain", L"plain"}}) {
    PString name(full);
    PFile::getFileName(name);
    EXPECT_STREQ(last, name.ptr());
  }
}

TEST(PErrors, EveryCodeHasUniqueNameAndMeaningAndErrnoMaps) {
#define CODE(c) {c, #c}
  const std::pair<int, const char*> codes[] = {
      CODE(ERR_OK), CODE(ERR_NO_MEMORY), CODE(ERR_FAILED), CODE(ERR_NOT_FILE_OR_DIR), CODE(ERR_END_OF_FILE),
      CODE(ERR_ACCESS_DENIED), CODE(ERR_NO_INSTANCE), CODE(ERR_PACKET_SIZE), CODE(ERR_DATA_SHORT),
      CODE(ERR_DATA_TYPE), CODE(ERR_DATA_ENCODING), CODE(PERR_FAILED), CODE(PERR_NOT_FOUND), CODE(PERR_ACCESS),
      CODE(PERR_EXISTS), CODE(PERR_NOT_DIR), CODE(PERR_IS_DIR), CODE(PERR_NOT_EMPTY), CODE(PERR_NO_SPACE),
      CODE(PERR_READ_ONLY), CODE(PERR_BUSY), CODE(PERR_TOO_MANY_FILES), CODE(PERR_NAME_TOO_LONG), CODE(PERR_IO),
      CODE(PERR_NOT_OPEN), CODE(PERR_FILE_EOF), CODE(PERR_ALREADY_OPEN), CODE(PERR_INVALID_PATH),
      CODE(PERR_NOT_FILE), CODE(PERR_LOOP), CODE(PERR_SYMLINK), CODE(PERR_INVALID_ARG), CODE(PERR_TOO_LARGE),
      CODE(PERR_NO_MEMORY), CODE(PERR_CROSS_DEVICE), CODE(PERR_INTERRUPTED), CODE(PERR_MUTEX),
      CODE(ERR_PLUGIN_OPEN), CODE(ERR_PLUGIN_ENTRY), CODE(ERR_INVALID_ARG), CODE(ERR_ALREADY),
      CODE(ERR_NOT_RUNNING), CODE(ERR_CONFIG_NO_SET), CODE(ERR_CONFIG_NO_KEY), CODE(ERR_CONFIG_SYNTAX),
      CODE(ERR_CONFIG_VALUE), CODE(ERR_CONFIG_READ), CODE(ERR_COMMS_NO_MODULE), CODE(ERR_COMMS_NO_EXCHANGE),
      CODE(ERR_COMMS_FRAME_SIZE), CODE(ERR_COMMS_FRAME), CODE(ERR_COMMS_CLOSED), CODE(ERR_COMMS_BUSY),
      CODE(ERR_COMMS_TIMEOUT)};
#undef CODE
  std::set<std::string> names;
  std::set<int> values;
  for (const auto& code : codes) {
    ASSERT_NE(nullptr, PErrors::name(code.first)) << code.second;
    EXPECT_STREQ(code.second, PErrors::name(code.first));
    ASSERT_NE(nullptr, PErrors::meaning(code.first)) << code.second;
    EXPECT_GT(std::strlen(PErrors::meaning(code.first)), 5u) << code.second;
    EXPECT_TRUE(names.insert(PErrors::name(code.first)).second) << code.second;
    EXPECT_TRUE(values.insert(code.first).second) << code.second << " shares its value";
  }
  EXPECT_EQ(nullptr, PErrors::name(-1));
  EXPECT_EQ(nullptr, PErrors::meaning(-599));

  const std::pair<int, int> errnos[] = {
      {ENOENT, PERR_NOT_FOUND},    {EACCES, PERR_ACCESS},       {EPERM, PERR_ACCESS},       {EEXIST, PERR_EXISTS},
      {ENOTDIR, PERR_NOT_DIR},     {EISDIR, PERR_IS_DIR},       {ENOTEMPTY, PERR_NOT_EMPTY}, {ENOSPC, PERR_NO_SPACE},
      {EDQUOT, PERR_NO_SPACE},     {EROFS, PERR_READ_ONLY},     {EBUSY, PERR_BUSY},         {ETXTBSY, PERR_BUSY},
      {EMFILE, PERR_TOO_MANY_FILES}, {ENFILE, PERR_TOO_MANY_FILES}, {ENAMETOOLONG, PERR_NAME_TOO_LONG},
      {EIO, PERR_IO},              {ELOOP, PERR_LOOP},          {EINVAL, PERR_INVALID_ARG}, {EFBIG, PERR_TOO_LARGE},
      {EOVERFLOW, PERR_TOO_LARGE}, {ENOMEM, PERR_NO_MEMORY},    {EXDEV, PERR_CROSS_DEVICE}, {EINTR, PERR_INTERRUPTED},
      {EAGAIN, PERR_FAILED},       {0, PERR_FAILED}};
  for (const auto& e : errnos) EXPECT_EQ(e.second, PErrors::fromErrno(e.first)) << "errno " << e.first;
}

TEST(PTime, TicksAreMicrosecondsNonZeroAndRising) {
  const int first = PTime::getTickCount();
  int last = first;
  for (int i = 0; i < 1000; ++i) {
    const int now = PTime::getTickCount();
    ASSERT_NE(0, now);
    const int step = static_cast<int>(static_cast<unsigned int>(now) - static_cast<unsigned int>(last));
    ASSERT_GE(step, 0) << "went backwards";
    last = now;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const unsigned int elapsed = static_cast<unsigned int>(PTime::getTickCount()) - static_cast<unsigned int>(first);
  EXPECT_GE(elapsed, 20000u);
  EXPECT_LT(elapsed, 5000000u);
}

namespace {

// Locks twice and locks mutexes that fail to lock: beyond what the
// thread-safety analysis follows, hence not analysed.
void checkMutexKinds() ZEVO_NO_THREAD_SAFETY_ANALYSIS {
  PMutex recursive;
  EXPECT_EQ(PERR_MUTEX, recursive.lock());
  ASSERT_EQ(0, recursive.init(true));
  EXPECT_EQ(PERR_MUTEX, recursive.init(true));
  EXPECT_EQ(0, recursive.lock());
  EXPECT_EQ(0, recursive.lock());
  EXPECT_EQ(0, recursive.unlock());
  EXPECT_EQ(0, recursive.unlock());
  EXPECT_EQ(0, recursive.close());
  EXPECT_EQ(PERR_MUTEX, recursive.lock());

  PMutex checked;
  ASSERT_EQ(0, checked.init(false));
  {
    PMutexLock scope(checked);
    EXPECT_EQ(PERR_MUTEX, checked.lock());  // relocking would deadlock
  }
  EXPECT_EQ(0, checked.lock());
  EXPECT_EQ(0, checked.unlock());
}  // destructor closes `checked`

}  // namespace

TEST(PMutex, RecursiveAndErrorCheckingKinds) { checkMutexKinds(); }

TEST(PEndian, HostAnswerAndOverride) {
  const int host = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 1 : 0;
  EXPECT_EQ(host, getEndianness());
  zevoSetEndiannessOverride(1);
  EXPECT_EQ(1, getEndianness());
  zevoSetEndiannessOverride(0);
  EXPECT_EQ(0, getEndianness());
  zevoSetEndiannessOverride(-1);
  EXPECT_EQ(host, getEndianness());
}
