#include "zevo/core/PConfig.h"

#include <algorithm>
#include <climits>
#include <new>

#include "zevo/PErrors.h"
#include "zevo/PUtils.h"

namespace {

// iText equals iWord (lower-case ASCII), ignoring ASCII letter case.
bool equalsFolded(const PLiteral& iText, const char* iWord) {
  unsigned int i = 0;
  for (; iWord[i] != '\0'; ++i) {
    if (i >= iText.len()) return false;
    wchar_t c = iText.ptr()[i];
    if (c >= L'A' && c <= L'Z') c = c - L'A' + L'a';
    if (c != static_cast<wchar_t>(iWord[i])) return false;
  }
  return i == iText.len();
}

}  // namespace

PConfig::PConfig() = default;

PConfig::~PConfig() = default;

int PConfig::create(const std::vector<PConfigEntry>& iEntries, const std::string& iSource,
                    PBaseptr<PConfig>& oConfig) noexcept {
  PConfig* config = new (std::nothrow) PConfig();
  if (!config) return ERR_NO_MEMORY;
  PBaseptr<PConfig> held(config);  // frees the set on every early return
  try {
    config->fSource = iSource;
    config->fItems.reserve(iEntries.size());
    for (const PConfigEntry& entry : iEntries) {
      if (!PConfigParser::isValidKey(entry.fKey)) return ERR_INVALID_ARG;
      PItem item{PString(), PString(), entry.fLine};
      int rc = PUtils::fromUtf8(entry.fKey.data(), entry.fKey.size(), item.fKey);
      if (rc == 0) rc = PUtils::fromUtf8(entry.fValue.data(), entry.fValue.size(), item.fValue);
      if (rc != 0) return rc == PERR_NO_MEMORY ? ERR_NO_MEMORY : ERR_INVALID_ARG;
      config->fItems.push_back(std::move(item));
    }
    std::vector<size_t>& byKey = config->fByKey;
    byKey.resize(config->fItems.size());
    for (size_t i = 0; i < byKey.size(); ++i) byKey[i] = i;
    const std::vector<PItem>& items = config->fItems;
    std::stable_sort(byKey.begin(), byKey.end(),
                     [&items](size_t a, size_t b) { return items[a].fKey.cmp(items[b].fKey) < 0; });
    for (size_t i = 1; i < byKey.size(); ++i) {
      if (items[byKey[i - 1]].fKey.cmp(items[byKey[i]].fKey) == 0) return ERR_INVALID_ARG;  // duplicate
    }
  } catch (...) {  // std::bad_alloc
    return ERR_NO_MEMORY;
  }
  oConfig = held;
  return 0;
}

const PConfig::PItem* PConfig::find(const PLiteral& iKey) const noexcept {
  const auto it = std::lower_bound(fByKey.begin(), fByKey.end(), iKey,
                                   [this](size_t a, const PLiteral& key) { return fItems[a].fKey.cmp(key) < 0; });
  if (it == fByKey.end() || fItems[*it].fKey.cmp(iKey) != 0) return nullptr;
  return &fItems[*it];
}

int PConfig::getString(const PLiteral& iKey, PString& oValue) {
  const PItem* item = find(iKey);
  if (!item) return ERR_CONFIG_NO_KEY;
  try {
    oValue = item->fValue;
  } catch (...) {
    return ERR_NO_MEMORY;
  }
  return 0;
}

int PConfig::getInt(const PLiteral& iKey, int& oValue) {
  const PItem* item = find(iKey);
  if (!item) return ERR_CONFIG_NO_KEY;
  const wchar_t* text = item->fValue.ptr();
  const unsigned int length = item->fValue.len();
  unsigned int i = 0;
  const bool negative = length > 0 && text[0] == L'-';
  if (length > 0 && (text[0] == L'-' || text[0] == L'+')) ++i;
  if (i == length) return ERR_CONFIG_VALUE;
  // Accumulated as a magnitude up to |INT_MIN|, which fits in long long.
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  long long magnitude = 0;
  for (; i < length; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return ERR_CONFIG_VALUE;
    magnitude = magnitude * 10 + (text[i] - L'0');
    if (magnitude > limit) return ERR_CONFIG_VALUE;
  }
  oValue = static_cast<int>(negative ? -magnitude : magnitude);
  return 0;
}

int PConfig::getBool(const PLiteral& iKey, bool& oValue) {
  const PItem* item = find(iKey);
  if (!item) return ERR_CONFIG_NO_KEY;
  static const char* const kTrue[] = {"true", "yes", "on", "1"};
  static const char* const kFalse[] = {"false", "no", "off", "0"};
  for (const char* word : kTrue) {
    if (equalsFolded(item->fValue, word)) return oValue = true, 0;
  }
  for (const char* word : kFalse) {
    if (equalsFolded(item->fValue, word)) return oValue = false, 0;
  }
  return ERR_CONFIG_VALUE;
}

int PConfig::keys(std::vector<PString>& oKeys) const noexcept {
  try {
    std::vector<PString> keys;
    keys.reserve(fItems.size());
    for (const PItem& item : fItems) keys.push_back(item.fKey);
    oKeys.swap(keys);
  } catch (...) {
    return ERR_NO_MEMORY;
  }
  return 0;
}

unsigned int PConfig::lineOf(const PLiteral& iKey) const noexcept {
  const PItem* item = find(iKey);
  return item ? item->fLine : 0;
}
