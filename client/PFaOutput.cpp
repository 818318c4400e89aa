#include "PFaOutput.h"

#include <fnmatch.h>

#include <cstdio>
#include <ctime>

std::string shownName(const std::string& iName, bool iTerminal) {
  if (!iTerminal) return iName;
  std::string shown;
  for (size_t i = 0; i < iName.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(iName[i]);
    // C1 controls are two bytes in UTF-8 (C2 80 to C2 9F).
    const bool c1 = c == 0xC2 && i + 1 < iName.size() && static_cast<unsigned char>(iName[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(iName[i + 1]) <= 0x9F;
    if (c >= 0x20 && c != 0x7F && c != '\\' && !c1) {
      shown += static_cast<char>(c);
      continue;
    }
    static const char kLetters[] = "abtnvfr";
    if (c == '\\') {
      shown += "\\\\";
    } else if (c >= 7 && c <= 13) {
      shown += '\\';
      shown += kLetters[c - 7];
    } else {
      for (size_t n = 0; n < (c1 ? 2u : 1u); ++n) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(iName[i + n]));
        shown += octal;
      }
      i += c1 ? 1 : 0;
    }
  }
  return shown;
}

std::string modeText(PRemoteKind iKind, int iMode) {
  std::string text(10, '?');
  text[0] = iKind == PRemoteKind::kDir ? 'd' : iKind == PRemoteKind::kLink ? 'l' : iKind == PRemoteKind::kFile ? '-' : '?';
  if (iMode < 0) return text;
  static const char kBits[] = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text[static_cast<size_t>(bit) + 1] = (iMode & (0400 >> bit)) != 0 ? kBits[bit] : '-';
  return text;
}

std::string timeText(long long iTimeNs) {
  if (iTimeNs < 0) return "-";
  const time_t seconds = static_cast<time_t>(iTimeNs / 1000000000);
  tm local{};
  char text[32];
  localtime_r(&seconds, &local);
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

const char* kindName(PRemoteKind iKind) {
  switch (iKind) {
    case PRemoteKind::kFile: return "file";
    case PRemoteKind::kDir: return "dir";
    case PRemoteKind::kLink: return "link";
    case PRemoteKind::kOther: return "other";
    case PRemoteKind::kNone: break;
  }
  return "none";
}

nlohmann::json statJson(const std::string& iPath, const std::string& iName, const PRemoteStat& iStat) {
  nlohmann::json object;
  object["path"] = iPath;
  if (!iName.empty()) object["name"] = iName;
  object["type"] = kindName(iStat.fKind);
  if (iStat.fSize >= 0 && iStat.fKind != PRemoteKind::kDir) object["size"] = iStat.fSize;
  if (iStat.fMode >= 0) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(iStat.fMode) & 07777u);
    object["mode"] = mode;
  }
  if (iStat.fTimeNs >= 0) {
    const time_t seconds = static_cast<time_t>(iStat.fTimeNs / 1000000000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[48];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%09lldZ", iStat.fTimeNs % 1000000000);
    object["mtime"] = text;
    object["mtime_ns"] = iStat.fTimeNs;
  }
  if (iStat.fKind == PRemoteKind::kLink && !iStat.fLinkTarget.empty()) object["target"] = iStat.fLinkTarget;
  return object;
}

void printJson(const nlohmann::json& iObject) {
  const std::string line = iObject.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::printf("%s\n", line.c_str());
}

bool hasWildcard(const std::string& iText) { return iText.find_first_of("*?[") != std::string::npos; }

bool matchesPattern(const std::string& iPattern, const std::string& iName) {
  return ::fnmatch(iPattern.c_str(), iName.c_str(), FNM_PERIOD) == 0;
}
