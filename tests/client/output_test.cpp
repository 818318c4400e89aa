// How zevofa shows names and matches remote wildcards (client/PFaOutput.h).
#include <gtest/gtest.h>

#include "PFaOutput.h"

TEST(ZevofaOutput, ControlCharactersAreEscapedOnATerminalOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain.txt", "plain.txt"},         {"a\nb", "a\\nb"},        {"tab\there", "tab\\there"},
      {"\x1b[31mred", "\\033[31mred"},    {"back\\slash", "back\\\\slash"}, {"del\x7f", "del\\177"},
      {"c1 \xC2\x9B" "2J", "c1 \\302\\2332J"}, {"Gr\xC3\xBC\xC3\x9F" "e", "Gr\xC3\xBC\xC3\x9F" "e"},
  };
  for (const auto& [name, shown] : cases) {
    EXPECT_EQ(shown, shownName(name, true)) << name;
    EXPECT_EQ(name, shownName(name, false));
  }
}

TEST(ZevofaOutput, WildcardsMatchAsTheShellsDo) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"*.log", "a.log", true},  {"*.log", ".hidden.log", false}, {".*", ".hidden", true}, {"?", "ab", false},
      {"data-[0-9]", "data-7", true}, {"data-[!0-9]", "data-7", false}, {"[", "[", true},
  };
  for (const auto& [pattern, name, matches] : cases) EXPECT_EQ(matches, matchesPattern(pattern, name)) << pattern << " " << name;
}
