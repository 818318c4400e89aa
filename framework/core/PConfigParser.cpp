#include "zevo/core/PConfigParser.h"

#include <cstring>
#include <string_view>
#include <unordered_map>

#include "zevo/PErrors.h"
#include "zevo/PUtils.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool isBlank(char iChar) { return iChar == ' ' || iChar == '\t'; }

std::string_view trim(std::string_view iText) {
  while (!iText.empty() && isBlank(iText.front())) iText.remove_prefix(1);
  while (!iText.empty() && isBlank(iText.back())) iText.remove_suffix(1);
  return iText;
}

// Checks one line; a message without the "<source>:<line>: " prefix.
std::string lineProblem(std::string_view iLine) {
  if (const void* nul = std::memchr(iLine.data(), '\0', iLine.size())) {
    const size_t column = static_cast<const char*>(nul) - iLine.data() + 1;
    return "NUL byte (column " + std::to_string(column) + ")";
  }
  const size_t bad = PConfigParser::invalidUtf8At(iLine.data(), iLine.size());
  if (bad < iLine.size()) return "invalid UTF-8 (column " + std::to_string(bad + 1) + ")";
  return std::string();
}

}  // namespace

size_t PConfigParser::invalidUtf8At(const char* iData, size_t iSize) noexcept {
  size_t i = 0;
  while (i < iSize) {
    const size_t length = PUtils::utf8SequenceLength(iData + i, iSize - i);
    if (length == 0) return i;
    i += length;
  }
  return iSize;
}

bool PConfigParser::isValidKey(const std::string& iKey) noexcept {
  if (iKey.empty()) return false;
  for (const char c : iKey) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string PConfigParser::display(const std::string& iText, size_t iMax) noexcept try {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  size_t i = 0;
  while (i < iText.size() && out.size() < iMax) {
    const unsigned char c = static_cast<unsigned char>(iText[i]);
    const size_t length = PUtils::utf8SequenceLength(iText.data() + i, iText.size() - i);
    if (length == 0 || c < 0x20 || c == 0x7F) {  // escaped
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
      ++i;
    } else {
      out.append(iText, i, length);
      i += length;
    }
  }
  if (i < iText.size()) out += "...";
  return out;
} catch (...) {
  return std::string();
}

int PConfigParser::parse(const char* iData, size_t iSize, const std::string& iSource,
                         std::vector<PConfigEntry>& oEntries, std::string& oError) noexcept {
  oEntries.clear();
  oError.clear();
  if (!iData && iSize > 0) return ERR_INVALID_ARG;
  try {
    if (iSize > kMaxBytes) {
      oError = iSource + ": file of " + std::to_string(iSize) + " bytes exceeds the limit of " +
               std::to_string(kMaxBytes) + " bytes";
      return ERR_CONFIG_SYNTAX;
    }
    std::string_view rest(iData ? iData : "", iSize);
    if (rest.substr(0, kByteOrderMark.size()) == kByteOrderMark) rest.remove_prefix(kByteOrderMark.size());

    std::vector<PConfigEntry> entries;
    std::unordered_map<std::string, unsigned int> firstLine;  // key -> line
    for (unsigned int line = 1; !rest.empty(); ++line) {
      const size_t end = rest.find('\n');
      std::string_view text = rest.substr(0, end);
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
      if (!text.empty() && text.back() == '\r') text.remove_suffix(1);

      std::string problem = lineProblem(text);
      text = trim(text);
      if (problem.empty() && !text.empty() && text.front() != '#') {
        const size_t equals = text.find('=');
        if (equals == std::string_view::npos) {
          problem = "expected \"key = value\"";
        } else {
          std::string key(trim(text.substr(0, equals)));
          if (key.empty()) {
            problem = "missing key before \"=\"";
          } else if (!isValidKey(key)) {
            problem = "invalid key \"" + display(key) + "\" (keys use a-z, 0-9, '.', '_', '-')";
          } else if (const auto seen = firstLine.find(key); seen != firstLine.end()) {
            problem = "duplicate key \"" + key + "\" (first on line " + std::to_string(seen->second) + ")";
          } else {
            firstLine.emplace(key, line);
            entries.push_back(PConfigEntry{std::move(key), std::string(trim(text.substr(equals + 1))), line});
          }
        }
      }
      if (!problem.empty()) {
        oError = iSource + ":" + std::to_string(line) + ": " + problem;
        return ERR_CONFIG_SYNTAX;
      }
    }
    oEntries.swap(entries);
    return 0;
  } catch (...) {  // std::bad_alloc
    oEntries.clear();
    try {
      oError = "out of memory";
    } catch (...) {
      oError.clear();
    }
    return ERR_NO_MEMORY;
  }
}
