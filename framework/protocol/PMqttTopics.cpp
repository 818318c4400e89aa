#include "zevo/protocol/PMqttTopics.h"

namespace {

// Well-formed UTF-8 without overlong forms, surrogates or values past U+10FFFF.
bool validUtf8(const std::string& iText) {
  static const unsigned long kLeast[] = {0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < iText.size();) {
    const unsigned char lead = static_cast<unsigned char>(iText[i]);
    const size_t more = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : 4;
    if (more == 4 || iText.size() - i <= more) return false;
    unsigned long value = more == 0 ? lead : lead & (0x3Fu >> more);
    for (size_t k = 1; k <= more; ++k) {
      const unsigned char next = static_cast<unsigned char>(iText[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = value << 6 | (next & 0x3F);
    }
    if (value < kLeast[more] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += more + 1;
  }
  return true;
}

std::string quoted(const std::string& iText) {
  std::string out = "\"";
  for (const char c : iText) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[(c >> 4) & 0xF];
      out += kHex[c & 0xF];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The levels of iTopic after "ROOT/"; false when it does not begin so.
bool levelsAfter(const std::string& iTopic, const std::string& iRoot, std::vector<std::string>& oLevels) {
  if (iTopic.size() <= iRoot.size() + 1 || iTopic.compare(0, iRoot.size(), iRoot) != 0 || iTopic[iRoot.size()] != '/') return false;
  oLevels.clear();
  size_t begin = iRoot.size() + 1;
  for (;;) {
    const size_t slash = iTopic.find('/', begin);
    oLevels.push_back(iTopic.substr(begin, slash == std::string::npos ? std::string::npos : slash - begin));
    if (slash == std::string::npos) return true;
    begin = slash + 1;
  }
}

bool isName(const std::string& iText) {
  std::string ignored;
  return PMqttTopics::checkName(iText, "", ignored);
}

}  // namespace

bool PMqttTopics::checkName(const std::string& iName, const char* iWhat, std::string& oWhy) {
  const std::string what = iWhat;
  if (iName.empty() || iName.size() > kNameMax) {
    oWhy = what + " must be 1 to " + std::to_string(kNameMax) + " bytes, not " + std::to_string(iName.size());
    return false;
  }
  if (iName == "." || iName == "..") {
    // A fleet's client keeps each device's files in a folder of its name.
    oWhy = what + " \"" + iName + "\" names a directory's self or parent";
    return false;
  }
  for (const char c : iName) {
    if (c == '+' || c == '#' || c == '/') {
      oWhy = what + " \"" + iName + "\" holds '" + c + "', which a topic level cannot hold";
      return false;
    }
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      oWhy = what + " holds a control character or NUL";
      return false;
    }
  }
  if (!validUtf8(iName)) {
    oWhy = what + " is not UTF-8";
    return false;
  }
  return true;
}

bool PMqttTopics::checkRoot(const std::string& iRoot, std::string& oWhy) {
  if (!iRoot.empty() && iRoot[0] == '$') {
    oWhy = "\"" + iRoot + "\" begins with '$', which names the broker's own topics";
    return false;
  }
  size_t begin = 0, levels = 0;
  for (;;) {
    const size_t slash = iRoot.find('/', begin);
    const std::string level = iRoot.substr(begin, slash == std::string::npos ? std::string::npos : slash - begin);
    if (++levels > 8 || !checkName(level, "a level of the root", oWhy)) {
      if (levels > 8) oWhy = "\"" + iRoot + "\" has more than 8 levels";
      return false;
    }
    if (slash == std::string::npos) return true;
    begin = slash + 1;
  }
}

std::string PMqttTopics::requests(const std::string& iRoot, const std::string& iDevice) { return iRoot + "/" + iDevice + "/req/+/+"; }

std::string PMqttTopics::request(const std::string& iRoot, const std::string& iDevice, const std::string& iName,
                                 const std::string& iSession) {
  return iRoot + "/" + iDevice + "/req/" + iName + "/" + iSession;
}

std::string PMqttTopics::response(const std::string& iRoot, const std::string& iDevice, const std::string& iName,
                                  const std::string& iSession) {
  return iRoot + "/" + iDevice + "/res/" + iName + "/" + iSession;
}

std::string PMqttTopics::presence(const std::string& iRoot, const std::string& iDevice) { return iRoot + "/" + iDevice + "/presence"; }

std::string PMqttTopics::presences(const std::string& iRoot) { return iRoot + "/+/presence"; }

bool PMqttTopics::parseRequest(const std::string& iTopic, const std::string& iRoot, const std::string& iDevice,
                               std::string& oName, std::string& oSession) {
  std::vector<std::string> levels;
  if (!levelsAfter(iTopic, iRoot, levels) || levels.size() != 4 || levels[0] != iDevice || levels[1] != "req" ||
      !isName(levels[2]) || !isName(levels[3])) {
    return false;
  }
  oName = levels[2];
  oSession = levels[3];
  return true;
}

bool PMqttTopics::parsePresence(const std::string& iTopic, const std::string& iRoot, std::string& oDevice) {
  std::vector<std::string> levels;
  if (!levelsAfter(iTopic, iRoot, levels) || levels.size() != 2 || levels[1] != "presence" || !isName(levels[0])) return false;
  oDevice = levels[0];
  return true;
}

std::string PMqttTopics::presenceOnline(const std::string& iDevice, const std::string& iVersion,
                                        const std::vector<std::string>& iModules, const std::string& iEpoch) {
  std::string modules;
  for (const std::string& module : iModules) modules += (modules.empty() ? "" : ",") + quoted(module);
  return "{\"device\":" + quoted(iDevice) + ",\"state\":\"online\",\"version\":" + quoted(iVersion) + ",\"modules\":[" +
         modules + "],\"epoch\":" + quoted(iEpoch) + "}";
}

std::string PMqttTopics::presenceOffline(const std::string& iDevice, const std::string& iEpoch) {
  return "{\"device\":" + quoted(iDevice) + ",\"state\":\"offline\",\"epoch\":" + quoted(iEpoch) + "}";
}

std::string PMqttTopics::presenceField(const std::string& iPayload, const std::string& iKey) {
  // A key with its quotes, then ":\"", never occurs inside a string value,
  // where every quote is escaped.
  const std::string key = "\"" + iKey + "\":\"";
  const size_t at = iPayload.find(key);
  if (at == std::string::npos) return "";
  const size_t begin = at + key.size(), end = iPayload.find('"', begin);
  return end == std::string::npos ? "" : iPayload.substr(begin, end - begin);
}
