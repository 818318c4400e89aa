#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zevo/PErrors.h"
#include "zevo/core/PConfigParser.h"

namespace {

int parse(const std::string& iText, std::vector<PConfigEntry>& oEntries, std::string& oError) {
  return PConfigParser::parse(iText.data(), iText.size(), "set.conf", oEntries, oError);
}

}  // namespace

TEST(ConfigParser, ValidTextInFileOrder) {
  const std::string text =
      "\xEF\xBB\xBF# comment = not an entry\r\n"
      "\n"
      "   \t\n"
      "  fileaccess.read = /data, /logs/ \r\n"
      "\t# indented comment\n"
      "fileaccess.write =\n"
      "url=http://host/a?b=c#frag\n"
      "greeting = Grüße, 世界\n"
      "a_b-c.9 = x = y\r\n"
      "last = no newline\r";
  std::vector<PConfigEntry> entries;
  std::string error = "stale";
  ASSERT_EQ(parse(text, entries, error), 0) << error;
  EXPECT_EQ(error, "");
  const std::vector<PConfigEntry> expected = {
      {"fileaccess.read", "/data, /logs/", 4}, {"fileaccess.write", "", 6},
      {"url", "http://host/a?b=c#frag", 7},     {"greeting", "Grüße, 世界", 8},
      {"a_b-c.9", "x = y", 9},                  {"last", "no newline", 10}};
  ASSERT_EQ(entries.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(entries[i].fKey, expected[i].fKey);
    EXPECT_EQ(entries[i].fValue, expected[i].fValue) << entries[i].fKey;
    EXPECT_EQ(entries[i].fLine, expected[i].fLine) << entries[i].fKey;
  }
  EXPECT_EQ(PConfigParser::parse(nullptr, 0, "empty", entries, error), 0);
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(PConfigParser::parse(nullptr, 1, "null", entries, error), ERR_INVALID_ARG);
}

TEST(ConfigParser, EachSyntaxErrorNamesItsLine) {
  struct Case {
    std::string fText;
    std::string fMessage;
  };
  const std::vector<Case> cases = {
      {"a = 1\njust words\n", "set.conf:2: expected \"key = value\""},
      {"a = 1\r\nb\r\n", "set.conf:2: expected \"key = value\""},
      {"a = 1\n\n = 2\n", "set.conf:3: missing key before \"=\""},
      {"a=1\nb=2\nKey = 3\n", "set.conf:3: invalid key \"Key\" (keys use a-z, 0-9, '.', '_', '-')"},
      {"two words = 1", "set.conf:1: invalid key \"two words\" (keys use a-z, 0-9, '.', '_', '-')"},
      {"tab\x01 = 1", "set.conf:1: invalid key \"tab\\x01\" (keys use a-z, 0-9, '.', '_', '-')"},
      {"a=1\nb=2\n\n  a = 3\n", "set.conf:4: duplicate key \"a\" (first on line 1)"},
      {"a=1\nb=caf\xE9\n", "set.conf:2: invalid UTF-8 (column 6)"},
      {"a=1\n# \xC0\xAF overlong in a comment\n", "set.conf:2: invalid UTF-8 (column 3)"},
      {"a=\xED\xA0\x80", "set.conf:1: invalid UTF-8 (column 3)"},            // surrogate
      {"a=\xF4\x90\x80\x80", "set.conf:1: invalid UTF-8 (column 3)"},        // above U+10FFFF
      {"a=ok\nb=\xE4\xB8\n", "set.conf:2: invalid UTF-8 (column 3)"},        // cut by the line end
      {std::string("a=1\nb=x\0y\n", 10), "set.conf:2: NUL byte (column 4)"},
  };
  for (const Case& test : cases) {
    std::vector<PConfigEntry> entries;
    std::string error;
    EXPECT_EQ(parse(test.fText, entries, error), ERR_CONFIG_SYNTAX) << test.fMessage;
    EXPECT_EQ(error, test.fMessage);
    EXPECT_TRUE(entries.empty()) << test.fMessage;
  }
}

TEST(ConfigParser, SizeLimit) {
  std::string text = "k = v\n# ";
  text.resize(PConfigParser::kMaxBytes, 'x');
  std::vector<PConfigEntry> entries;
  std::string error;
  ASSERT_EQ(parse(text, entries, error), 0) << error;
  EXPECT_EQ(entries.size(), 1u);
  text += 'x';
  EXPECT_EQ(parse(text, entries, error), ERR_CONFIG_SYNTAX);
  EXPECT_EQ(error, "set.conf: file of 1048577 bytes exceeds the limit of 1048576 bytes");
  EXPECT_TRUE(entries.empty());
}

TEST(ConfigParser, Helpers) {
  EXPECT_TRUE(PConfigParser::isValidKey("fileaccess.read.recursive"));
  EXPECT_TRUE(PConfigParser::isValidKey("a-b_c.0"));
  for (const char* bad : {"", "A", "a b", "a=b", "ä", "a/b"}) EXPECT_FALSE(PConfigParser::isValidKey(bad)) << bad;
  EXPECT_EQ(PConfigParser::invalidUtf8At("ok \xC3\xA9 \xF0\x9F\x98\x80", 10), 10u);
  EXPECT_EQ(PConfigParser::invalidUtf8At("ab\xC3", 3), 2u);
  EXPECT_EQ(PConfigParser::invalidUtf8At("\x80", 1), 0u);
  EXPECT_EQ(PConfigParser::display(std::string(70, 'k'), 64), std::string(64, 'k') + "...");
  EXPECT_EQ(PConfigParser::display("a\nb\x7F"), "a\\x0ab\\x7f");
}
