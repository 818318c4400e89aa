// PConfigParser::parse over any bytes.
//
// A success gives entries that obey the format (valid keys, no duplicates,
// trimmed values, lines in order) and that parse again to themselves when
// written back as "key = value" lines; a failure gives a message with the
// source and no entries. The parser's UTF-8 check must agree with the
// porting layer's, and display() must give printable UTF-8.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "PFuzzCheck.h"
#include "zevo/PErrors.h"
#include "zevo/PUtils.h"
#include "zevo/core/PConfigParser.h"

namespace {

bool isBlank(char iChar) { return iChar == ' ' || iChar == '\t'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  const char* text = reinterpret_cast<const char*>(iData);
  std::vector<PConfigEntry> entries = {PConfigEntry{"stale", "entry", 9}};
  std::string error = "stale";
  const int rc = PConfigParser::parse(text, iSize, "fuzz.conf", entries, error);
  FUZZ_CHECK(rc == 0 || rc == ERR_CONFIG_SYNTAX, "an unexpected code");
  if (rc != 0) {
    FUZZ_CHECK(entries.empty(), "entries after a failure");
    FUZZ_CHECK(error.compare(0, 10, "fuzz.conf:") == 0, "the message names the source");
  } else {
    FUZZ_CHECK(error.empty(), "a message after a success");
    std::set<std::string> keys;
    unsigned int lastLine = 0;
    std::string written;
    for (const PConfigEntry& entry : entries) {
      FUZZ_CHECK(PConfigParser::isValidKey(entry.fKey), "an invalid key");
      FUZZ_CHECK(keys.insert(entry.fKey).second, "a duplicate key");
      FUZZ_CHECK(entry.fLine > lastLine, "lines out of order");
      lastLine = entry.fLine;
      const std::string& value = entry.fValue;
      FUZZ_CHECK(value.empty() || (!isBlank(value.front()) && !isBlank(value.back())), "an untrimmed value");
      FUZZ_CHECK(value.find('\n') == std::string::npos && value.find('\0') == std::string::npos, "a line end or NUL");
      FUZZ_CHECK(PConfigParser::invalidUtf8At(value.data(), value.size()) == value.size(), "a value not UTF-8");
      written += entry.fKey + " = " + value + "\n";
    }
    // Written back, they parse to the same keys and values (a value that
    // ends with CR loses it: the line end takes it).
    std::vector<PConfigEntry> again;
    std::string againError;
    FUZZ_CHECK(PConfigParser::parse(written.data(), written.size(), "again", again, againError) == 0,
               "the entries written back do not parse");
    FUZZ_CHECK(again.size() == entries.size(), "written back, the number of entries changed");
    for (size_t i = 0; i < again.size(); ++i) {
      std::string value = entries[i].fValue;
      if (!value.empty() && value.back() == '\r') value.pop_back();
      while (!value.empty() && isBlank(value.back())) value.pop_back();
      FUZZ_CHECK(again[i].fKey == entries[i].fKey && again[i].fValue == value, "written back, an entry changed");
      FUZZ_CHECK(again[i].fLine == i + 1, "written back, a line number changed");
    }
  }

  // The two UTF-8 checks of the project agree (both take a NUL as valid).
  PString wide;
  const bool layerValid = PUtils::fromUtf8(text, iSize, wide) == 0;
  FUZZ_CHECK(layerValid == (PConfigParser::invalidUtf8At(text, iSize) == iSize), "the UTF-8 checks disagree");

  const std::string shown = PConfigParser::display(std::string(text, iSize), 64);
  FUZZ_CHECK(PConfigParser::invalidUtf8At(shown.data(), shown.size()) == shown.size(), "display() is not UTF-8");
  for (const char c : shown)
    FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "display() shows a control");
  FUZZ_CHECK(shown.size() <= 64 + 4 + 3, "display() is longer than asked");
  return 0;
}
