#include "zevo/core/PSettingsTable.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "zevo/PUtils.h"
#include "zevo/protocol/PEndpoint.h"

namespace {

constexpr size_t kHelpColumn = 25;
constexpr size_t kWidth = 79;

PSettingType typeOf(PSettingKind iKind, const char* iArg) {
  PSettingType type;
  type.fKind = iKind;
  type.fArg = iArg;
  return type;
}

PSettingType numberType(PSettingKind iKind, const char* iArg, long iMin, long iMax) {
  PSettingType type = typeOf(iKind, iArg);
  type.fMin = iMin;
  type.fMax = iMax;
  return type;
}

bool isNumber(PSettingKind iKind) {
  return iKind == PSettingKind::kCount || iKind == PSettingKind::kBytes || iKind == PSettingKind::kSeconds;
}

bool isList(PSettingKind iKind) {
  return iKind == PSettingKind::kList || iKind == PSettingKind::kPaths || iKind == PSettingKind::kEndpoints;
}

// Decimal digits alone, from iMin to iMax (both at least 0).
bool parseNumber(const std::string& iText, long iMin, long iMax, long& oValue) {
  if (iText.empty()) return false;
  long value = 0;
  for (const char c : iText) {
    if (c < '0' || c > '9') return false;
    const int digit = c - '0';
    if (digit > iMax || value > (iMax - digit) / 10) return false;  // past iMax, never past LONG_MAX
    value = value * 10 + digit;
  }
  if (value < iMin) return false;
  oValue = value;
  return true;
}

bool allDigits(const std::string& iText) {
  return !iText.empty() && iText.find_first_not_of("0123456789") == std::string::npos;
}

// A group name, or a number (known to the system or not, as systemd's
// SocketGroup= takes one).
bool parseGroup(const std::string& iText, long& oGroup) {
  return allDigits(iText) ? parseNumber(iText, 0, 0x7FFFFFFF, oGroup) : lookUpGroup(iText, oGroup);
}

// A user name, or a number; oGroup: the user's group (-1 for a number the
// system does not know).
bool parseUser(const std::string& iText, long& oUser, long& oGroup) {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[16384];
  if (allDigits(iText)) {
    if (!parseNumber(iText, 0, 0x7FFFFFFF, oUser)) return false;
    const bool known = getpwuid_r(static_cast<uid_t>(oUser), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr;
    oGroup = known ? static_cast<long>(found->pw_gid) : -1;
    return true;
  }
  return lookUpUser(iText, oUser, oGroup);
}

// An octal mode from 0 to 0777 ("0660", "660").
bool parseMode(const std::string& iText, long& oMode) {
  if (iText.empty() || iText.size() > 4 || iText.find_first_not_of("01234567") != std::string::npos) return false;
  const long value = std::strtol(iText.c_str(), nullptr, 8);
  if (value > 0777) return false;
  oMode = value;
  return true;
}

std::vector<std::string> splitList(const std::string& iText) {
  std::vector<std::string> pieces;
  std::string rest = iText + ",";
  for (size_t comma; (comma = rest.find(',')) != std::string::npos; rest.erase(0, comma + 1)) {
    const std::string entry = rest.substr(0, comma);
    const size_t first = entry.find_first_not_of(" \t"), last = entry.find_last_not_of(" \t");
    if (first != std::string::npos) pieces.push_back(entry.substr(first, last - first + 1));
  }
  return pieces;
}

// "a, b or c", each word between iQuote.
std::string joinWords(const std::vector<std::string>& iWords, const char* iQuote) {
  std::string text;
  for (size_t i = 0; i < iWords.size(); ++i) {
    if (i > 0) text += i + 1 == iWords.size() ? " or " : ", ";
    text += iQuote + iWords[i] + iQuote;
  }
  return text;
}

// The values a type takes, for people: "1 to 100000", "on or off"; empty
// when the help says it.
std::string valuesOf(const PSettingType& iType, const char* iQuote) {
  if (isNumber(iType.fKind)) return std::to_string(iType.fMin) + " to " + std::to_string(iType.fMax);
  if (iType.fKind == PSettingKind::kOnOff) return joinWords({"on", "off"}, iQuote);
  if (iType.fKind == PSettingKind::kMode) return "0 to 0777";
  if (iType.fKind != PSettingKind::kWords) return "";
  std::vector<std::string> words;
  long low = LONG_MAX, high = LONG_MIN;
  for (const PSettingWord& word : iType.fWords) {
    words.push_back(word.fWord);
    low = std::min<long>(low, word.fValue);
    high = std::max<long>(high, word.fValue);
  }
  std::string text = joinWords(words, iQuote);
  if (iType.fNumbered) text += ", or " + std::to_string(low) + " to " + std::to_string(high);
  return text;
}

// What a bad value is not, after "\"VALUE\" is not ".
std::string expected(const PSettingType& iType) {
  switch (iType.fKind) {
    case PSettingKind::kUser: return "a known user name or a user number";
    case PSettingKind::kGroup: return "a known group name or a group number";
    case PSettingKind::kMode: return "an octal mode from 0 to 0777";
    default: break;
  }
  return (isNumber(iType.fKind) ? "a number from " : "") + valuesOf(iType, "");
}

bool parseWord(const PSettingType& iType, const std::string& iText, PSettingValue& oValue) {
  for (const PSettingWord& word : iType.fWords) {
    long number = 0;
    if (iText == word.fWord || (iType.fNumbered && parseNumber(iText, word.fValue, word.fValue, number))) {
      oValue.fNumber = word.fValue;
      oValue.fText = word.fWord;
      return true;
    }
  }
  return false;
}

bool parseEndpoints(const std::vector<std::string>& iEntries, const std::string& iBase, PSettingValue& oValue,
                    std::string& oWhy) {
  for (const std::string& entry : iEntries) {
    const std::string text = entry.compare(0, 5, "unix:") == 0 ? "unix:" + PSettingsBase::absolute(entry.substr(5), iBase) : entry;
    PEndpoint endpoint;
    if (PEndpoint::parse(text, endpoint, oWhy) != 0) return false;
    oValue.fList.push_back(text);
  }
  return true;
}

// oValue of iText, or of iEntries for a list given entry by entry (null:
// iText split at commas). False with oWhy.
bool parseValue(const PSettingType& iType, const std::string& iText, const std::vector<std::string>* iEntries,
                const std::string& iBase, PSettingValue& oValue, std::string& oWhy) {
  PSettingValue value;
  bool valid = true;
  const std::vector<std::string> entries = iEntries != nullptr ? *iEntries : splitList(iText);
  switch (iType.fKind) {
    case PSettingKind::kCount:
    case PSettingKind::kBytes:
    case PSettingKind::kSeconds: valid = parseNumber(iText, iType.fMin, iType.fMax, value.fNumber); break;
    case PSettingKind::kWords: valid = parseWord(iType, iText, value); break;
    case PSettingKind::kOnOff:
      valid = iText == "on" || iText == "off";
      value.fNumber = iText == "on" ? 1 : 0;
      break;
    case PSettingKind::kText: value.fText = iText; break;
    case PSettingKind::kPath: value.fText = PSettingsBase::absolute(iText, iBase); break;
    case PSettingKind::kList: value.fList = entries; break;
    case PSettingKind::kPaths:
      for (const std::string& entry : entries) value.fList.push_back(PSettingsBase::absolute(entry, iBase));
      break;
    case PSettingKind::kEndpoints:
      if (!parseEndpoints(entries, iBase, value, oWhy)) return false;
      break;
    case PSettingKind::kUser: valid = parseUser(iText, value.fNumber, value.fGroup); break;
    case PSettingKind::kGroup: valid = parseGroup(iText, value.fNumber); break;
    case PSettingKind::kMode: valid = parseMode(iText, value.fNumber); break;
  }
  if (!valid) {
    oWhy = "\"" + iText + "\" is not " + expected(iType);
    return false;
  }
  oValue = std::move(value);
  return true;
}

// The key's value in iConfig: 1 when present, 0 when absent, -1 when it
// cannot be read as UTF-8.
int keyValue(IConfig* iConfig, const char* iKey, std::string& oText) {
  PString value;
  if (iConfig == nullptr || iConfig->getString(PUtils::wide(iKey), value) != 0) return 0;
  return PUtils::toUtf8(value, oText) == 0 ? 1 : -1;
}

// Whether iHelp explains each word of iType ("refuse: ..., follow: ..."),
// so that listing them again says nothing.
bool explainsWords(const PSettingType& iType, const std::string& iHelp) {
  if (iType.fKind != PSettingKind::kOnOff && iType.fKind != PSettingKind::kWords) return false;
  std::vector<std::string> words = {"on", "off"};
  if (iType.fKind == PSettingKind::kWords) words.clear();
  for (const PSettingWord& word : iType.fWords) words.push_back(word.fWord);
  for (const std::string& word : words) {
    if (iHelp.compare(0, word.size() + 1, word + ":") != 0 && iHelp.find("; " + word + ":") == std::string::npos) return false;
  }
  return true;
}

// The values of a row's type for its usage and docs; empty when the help says them.
std::string valuesOf(const PSettingInfo& iInfo, const char* iQuote) {
  return explainsWords(iInfo.fType, iInfo.fHelp) ? "" : valuesOf(iInfo.fType, iQuote);
}

std::string escapeCell(const std::string& iText) {
  std::string text;
  for (const char c : iText) text += c == '|' ? std::string("\\|") : std::string(1, c);
  return text;
}

// iText wrapped to kWidth, lines after the first indented to kHelpColumn.
std::string wrap(const std::string& iText) {
  std::string text, line;
  size_t start = 0;
  while (start < iText.size()) {
    size_t end = iText.find(' ', start);
    if (end == std::string::npos) end = iText.size();
    const std::string word = iText.substr(start, end - start);
    if (!line.empty() && kHelpColumn + line.size() + 1 + word.size() > kWidth) {
      text += line + "\n" + std::string(kHelpColumn, ' ');
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    start = end + 1;
  }
  return text + line + "\n";
}

}  // namespace

bool lookUpUser(const std::string& iName, long& oUser, long& oGroup) {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[16384];
  if (iName.empty() || getpwnam_r(iName.c_str(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return false;
  oUser = static_cast<long>(found->pw_uid);
  oGroup = static_cast<long>(found->pw_gid);
  return true;
}

bool lookUpGroup(const std::string& iName, long& oGroup) {
  group entry{};
  group* found = nullptr;
  char buffer[16384];
  if (iName.empty() || getgrnam_r(iName.c_str(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return false;
  oGroup = static_cast<long>(found->gr_gid);
  return true;
}

PSettingType PSettingType::count(long iMin, long iMax) { return numberType(PSettingKind::kCount, "N", iMin, iMax); }
PSettingType PSettingType::bytes(long iMin, long iMax) { return numberType(PSettingKind::kBytes, "BYTES", iMin, iMax); }
PSettingType PSettingType::seconds(long iMin, long iMax) { return numberType(PSettingKind::kSeconds, "SECONDS", iMin, iMax); }
PSettingType PSettingType::onOff() { return typeOf(PSettingKind::kOnOff, "on|off"); }
PSettingType PSettingType::text(const char* iArg) { return typeOf(PSettingKind::kText, iArg); }
PSettingType PSettingType::path() { return typeOf(PSettingKind::kPath, "FILE"); }
PSettingType PSettingType::list() { return typeOf(PSettingKind::kList, "LIST"); }
PSettingType PSettingType::user() { return typeOf(PSettingKind::kUser, "USER"); }
PSettingType PSettingType::group() { return typeOf(PSettingKind::kGroup, "GROUP"); }
PSettingType PSettingType::mode() { return typeOf(PSettingKind::kMode, "MODE"); }

PSettingType PSettingType::words(const char* iArg, std::vector<PSettingWord> iWords, bool iNumbered) {
  PSettingType type = typeOf(PSettingKind::kWords, iArg);
  type.fWords = std::move(iWords);
  type.fNumbered = iNumbered;
  return type;
}

PSettingType PSettingType::paths() {
  PSettingType type = typeOf(PSettingKind::kPaths, "PATH");
  type.fRepeatable = true;
  return type;
}

PSettingType PSettingType::endpoints() {
  PSettingType type = typeOf(PSettingKind::kEndpoints, "ENDPOINT");
  type.fRepeatable = true;
  return type;
}

PSettingsBase::Where PSettingsBase::where(const PConfig* iConfig) {
  if (iConfig == nullptr) return nullptr;
  return [iConfig](const std::string& iKey) {
    const unsigned int line = iConfig->lineOf(PUtils::wide(iKey));
    return iConfig->source() + (line > 0 ? ":" + std::to_string(line) : "");
  };
}

std::string PSettingsBase::absolute(const std::string& iPath, const std::string& iBase) {
  // A file a service manager passed (systemd's LoadCredential=).
  const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
  if (iPath.compare(0, 11, "credential:") == 0 && credentials != nullptr && credentials[0] == '/') {
    return std::string(credentials) + "/" + iPath.substr(11);
  }
  if (iPath.empty() || iPath[0] == '/') return iPath;
  if (!iBase.empty()) return iBase + "/" + iPath;
  char here[PATH_MAX];
  if (getcwd(here, sizeof here) == nullptr) return iPath;
  return std::string(here) + "/" + iPath;
}

std::string PSettingsBase::usageLine(const std::string& iOption, const std::string& iHelp) {
  std::string head = "  " + iOption;
  head += head.size() < kHelpColumn ? std::string(kHelpColumn - head.size(), ' ') : "\n" + std::string(kHelpColumn, ' ');
  return head + wrap(iHelp);
}

std::string PSettingsBase::usage() const {
  std::string text;
  for (const PSettingInfo& info : fInfos) {
    if (info.fOption == nullptr) continue;
    std::vector<std::string> notes;
    if (info.fType.fRepeatable) notes.push_back("repeatable");
    const std::string values = valuesOf(info, "");
    if (!values.empty()) notes.push_back(values);
    if (info.fDefaultNote != nullptr) notes.push_back(std::string("default: ") + info.fDefaultNote);
    if (info.fDefaultNote == nullptr && info.fDefault != nullptr) notes.push_back(std::string("default ") + info.fDefault);
    std::string help = info.fHelp;
    for (size_t i = 0; i < notes.size(); ++i) help += (i == 0 ? " (" : "; ") + notes[i] + (i + 1 == notes.size() ? ")" : "");
    text += usageLine(std::string(info.fOption) + " " + info.fType.fArg, help);
  }
  return text;
}

std::string PSettingsBase::docTable() const {
  std::string text = "| Key | Option | Default | Meaning |\n| --- | --- | --- | --- |\n";
  for (const PSettingInfo& info : fInfos) {
    std::string option = info.fOption != nullptr ? "`" + std::string(info.fOption) + " " + info.fType.fArg + "`" : "";
    if (info.fType.fRepeatable) option += " (repeatable)";
    std::string defaultText = "none";
    if (info.fDefaultNote != nullptr) {
      defaultText = info.fDefaultNote;
    } else if (info.fDefault != nullptr) {
      defaultText = isNumber(info.fType.fKind) ? info.fDefault : "`" + std::string(info.fDefault) + "`";
    }
    const std::string values = valuesOf(info, "`");
    const std::string meaning = info.fHelp + (values.empty() ? "" : " (" + values + ")");
    text += "| `" + std::string(info.fKey) + "` | " + escapeCell(option) + " | " + escapeCell(defaultText) + " | " +
            escapeCell(meaning) + " |\n";
  }
  return text;
}

std::vector<std::string> PSettingsBase::unknownKeys(const PConfig* iConfig) const {
  std::vector<std::string> warnings;
  std::vector<PString> keys;
  if (iConfig == nullptr || iConfig->keys(keys) != 0) return warnings;
  for (const PString& key : keys) {
    std::string name;
    PUtils::toUtf8(key, name);  // keys are UTF-8 text: the parser let no other through
    bool known = false;
    for (const PSettingInfo& info : fInfos) known = known || name == info.fKey;
    if (!known) {
      warnings.push_back("unknown key '" + PUtils::toDisplay(key) + "' at " + iConfig->source() + ":" +
                         std::to_string(iConfig->lineOf(key)) + " (ignored)");
    }
  }
  return warnings;
}

int PSettingsBase::takeOption(int iArgc, char** iArgv, int& ioIndex, const std::string& iOption, std::string& oValue,
                              std::string& oError) {
  const std::string argument = iArgv[ioIndex];
  if (argument.compare(0, iOption.size(), iOption) != 0) return 0;
  if (argument.size() > iOption.size()) {
    if (argument[iOption.size()] != '=') return 0;  // another option that begins alike
    oValue = argument.substr(iOption.size() + 1);
    return 1;
  }
  if (ioIndex + 1 >= iArgc) {
    oError = iOption + " needs a value";
    return -1;
  }
  oValue = iArgv[++ioIndex];
  return 1;
}

int PSettingsBase::takeOption(int iArgc, char** iArgv, int& ioIndex, PSettingOptions& ioOptions, std::string& oError) const {
  for (const PSettingInfo& info : fInfos) {
    std::string value;
    const int taken = info.fOption != nullptr ? takeOption(iArgc, iArgv, ioIndex, info.fOption, value, oError) : 0;
    if (taken > 0) ioOptions[info.fOption].push_back(value);
    if (taken != 0) return taken;
  }
  return 0;
}

bool PSettingsBase::resolveValues(IConfig* iConfig, const Where& iWhere, const PSettingOptions& iOptions,
                                  const std::string& iBase, std::vector<Resolved>& oValues, PSettingsGiven& oGiven,
                                  std::string& oError) const {
  oValues.assign(fInfos.size(), Resolved());
  oGiven.clear();
  for (size_t i = 0; i < fInfos.size(); ++i) {
    const PSettingInfo& info = fInfos[i];
    Resolved& resolved = oValues[i];
    const auto given = info.fOption != nullptr ? iOptions.find(info.fOption) : iOptions.end();
    const std::vector<std::string>* entries = nullptr;
    std::string text;
    int present = 0;
    if (given != iOptions.end() && !given->second.empty()) {
      resolved.fWhere = std::string(info.fOption) + ": ";
      oGiven[info.fKey] = info.fOption;
      if (info.fType.fRepeatable) entries = &given->second;
      text = given->second.back();
    } else if ((present = keyValue(iConfig, info.fKey, text)) != 0) {
      const std::string where = iWhere ? iWhere(info.fKey) : "";
      resolved.fWhere = (where.empty() ? "" : where + ": ") + info.fKey + ": ";
      oGiven[info.fKey] = where.empty() ? info.fKey : where;
      if (present == -1) {
        oError = resolved.fWhere + "the value is not UTF-8";
        return false;
      }
    } else if (info.fDefault != nullptr) {
      resolved.fWhere = std::string("the default of ") + info.fKey + ": ";
      text = info.fDefault;
    } else {
      continue;
    }
    std::string why;
    bool valid = parseValue(info.fType, text, entries, iBase, resolved.fValue, why);
    if (valid && isList(info.fType.fKind) && resolved.fValue.fList.empty() && info.fDefault != nullptr) {
      valid = parseValue(info.fType, info.fDefault, nullptr, iBase, resolved.fValue, why);
    }
    if (!valid) {
      oError = resolved.fWhere + why;
      return false;
    }
    resolved.fSet = true;
  }
  return true;
}
