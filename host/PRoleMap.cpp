#include "PRoleMap.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "zevo/core/PSettingsTable.h"
#include "zevo/protocol/PMqttTopics.h"

namespace {

// An address as the system writes it ("::1", "10.0.0.5"; an IPv4-mapped
// IPv6 address as its IPv4 one); empty when iText is none.
std::string canonicalAddress(std::string iText) {
  if (iText.size() > 2 && iText.front() == '[' && iText.back() == ']') iText = iText.substr(1, iText.size() - 2);
  unsigned char bytes[sizeof(in6_addr)];
  char text[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET, iText.c_str(), bytes) == 1) return inet_ntop(AF_INET, bytes, text, sizeof text);
  if (inet_pton(AF_INET6, iText.c_str(), bytes) != 1) return std::string();
  const auto* v6 = reinterpret_cast<const in6_addr*>(bytes);
  if (IN6_IS_ADDR_V4MAPPED(v6)) return inet_ntop(AF_INET, bytes + 12, text, sizeof text);
  return inet_ntop(AF_INET6, bytes, text, sizeof text);
}

bool parseId(const std::string& iText, unsigned long& oId) {
  if (iText.empty() || iText.size() > 10 || iText.find_first_not_of("0123456789") != std::string::npos) return false;
  oId = std::strtoul(iText.c_str(), nullptr, 10);
  return oId <= 0x7FFFFFFF;
}

}  // namespace

bool parseRolePattern(const std::string& iText, PRolePattern& oPattern, std::string& oError) {
  PRolePattern pattern;
  pattern.fGiven = iText;
  const size_t colon = iText.find(':');
  const std::string kind = colon == std::string::npos ? iText : iText.substr(0, colon);
  const std::string value = colon == std::string::npos ? std::string() : iText.substr(colon + 1);
  bool good = true;
  if (iText == "*") {
    pattern.fKind = PRolePattern::kAny;
  } else if (kind == "uid" || kind == "gid") {
    pattern.fKind = kind == "uid" ? PRolePattern::kUid : PRolePattern::kGid;
    good = parseId(value, pattern.fId);
  } else if (kind == "user" || kind == "group") {
    long id = 0, ignored = 0;
    if (kind == "user" ? !lookUpUser(value, id, ignored) : !lookUpGroup(value, id)) {
      oError = "\"" + iText + "\": no " + kind + " " + value + " is known to the system";
      return false;
    }
    pattern.fKind = kind == "user" ? PRolePattern::kUid : PRolePattern::kGid;
    pattern.fId = static_cast<unsigned long>(id);
  } else if (kind == "cert") {
    pattern.fKind = PRolePattern::kCert;
    pattern.fText = value;
    good = !value.empty();
  } else if (kind == "sha256") {
    pattern.fKind = PRolePattern::kFingerprint;
    std::string hex;  // "AB:CD:..." as openssl x509 -fingerprint prints it, or plain
    for (const char c : value) {
      if (c != ':') hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    good = hex.size() == 64 && hex.find_first_not_of("0123456789abcdef") == std::string::npos;
    pattern.fText = "sha256:" + hex;
  } else if (kind == "tcp") {
    pattern.fKind = PRolePattern::kTcp;
    pattern.fText = canonicalAddress(value);
    good = !pattern.fText.empty();
  } else if (kind == "mqtt") {
    pattern.fKind = PRolePattern::kMqtt;
    std::string ignored;
    pattern.fText = value == "*" ? "" : value;
    good = value == "*" || PMqttTopics::checkName(value, "", ignored);
  } else {
    good = false;
  }
  if (!good) {
    oError = "\"" + iText + "\" is not an identity pattern (uid:N, user:NAME, gid:N, group:NAME, cert:NAME, "
             "sha256:HEX with 64 hex digits, tcp:ADDRESS, mqtt:NAME, mqtt:* or *)";
    return false;
  }
  oPattern = std::move(pattern);
  return true;
}

bool PRoleMap::matches(const PRolePattern& iPattern, const PSessionInfo& iSession) {
  const std::string& identity = iSession.fIdentity;
  switch (iPattern.fKind) {
    case PRolePattern::kAny:
      return true;
    case PRolePattern::kUid:
      return identity == "uid:" + std::to_string(iPattern.fId);
    case PRolePattern::kGid:
      return identity.compare(0, 4, "uid:") == 0 &&
             std::find(iSession.fGroups.begin(), iSession.fGroups.end(), static_cast<gid_t>(iPattern.fId)) != iSession.fGroups.end();
    case PRolePattern::kCert:
      return identity.compare(0, 5, "cert:") == 0 && identity.compare(5, std::string::npos, iPattern.fText) == 0;
    case PRolePattern::kFingerprint:
      return identity.compare(0, 5, "cert:") == 0 && iSession.fFingerprint == iPattern.fText;
    case PRolePattern::kTcp:
      return identity.compare(0, 4, "tcp:") == 0 && canonicalAddress(identity.substr(4)) == iPattern.fText;
    case PRolePattern::kMqtt:
      return identity.compare(0, 5, "mqtt:") == 0 && (iPattern.fText.empty() || identity.compare(5, std::string::npos, iPattern.fText) == 0);
  }
  return false;
}

int PRoleMap::admit(const PSessionInfo& iSession, int& oRole) {
  const auto any = [&](const std::vector<PRolePattern>& iPatterns) {
    return std::any_of(iPatterns.begin(), iPatterns.end(), [&](const PRolePattern& iPattern) { return matches(iPattern, iSession); });
  };
  oRole = any(fWrite) ? SESSION_ROLE_WRITE : any(fRead) ? SESSION_ROLE_READ : SESSION_ROLE_NONE;
  return 0;
}

std::string PRoleMap::describe(const std::vector<PRolePattern>& iPatterns) {
  std::string text;
  for (const PRolePattern& pattern : iPatterns) text += (text.empty() ? "" : ", ") + pattern.fGiven;
  return text.empty() ? "nobody" : text;
}
