#include "zevo/core/PConfigParser.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "zevo/PErrors.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool isBlank(char iChar) { return iChar == ' ' || iChar == '\t'; }

std::string_view trim(std::string_view iText) {
  while (!iText.empty() && isBlank(iText.front())) iText.remove_prefix(1);
  while (!iText.empty() && isBlank(iText.back())) iText.remove_suffix(1);
  return iText;
}

// Length of the UTF-8 sequence led by iLead and the smallest value it may
// encode; 0 for a byte that cannot lead.
size_t sequenceLength(unsigned char iLead, unsigned long& oMinimum) {
  if (iLead < 0x80) return oMinimum = 0, 1;
  if ((iLead & 0xE0) == 0xC0) return oMinimum = 0x80, 2;
  if ((iLead & 0xF0) == 0xE0) return oMinimum = 0x800, 3;
  if ((iLead & 0xF8) == 0xF0) return oMinimum = 0x10000, 4;
  return 0;
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
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(iData);
  size_t i = 0;
  while (i < iSize) {
    unsigned long minimum = 0;
    const size_t length = sequenceLength(bytes[i], minimum);
    if (length == 0 || iSize - i < length) return i;
    unsigned long code = length == 1 ? bytes[i] : bytes[i] & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return i;
      code = (code << 6) | (bytes[i + k] & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return i;
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
    unsigned long minimum = 0;
    size_t length = sequenceLength(c, minimum);
    if (length > 1 && invalidUtf8At(iText.data() + i, std::min(length, iText.size() - i)) != length) length = 0;
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
