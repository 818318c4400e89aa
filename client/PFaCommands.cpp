#include "PFaCommands.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "PFaOutput.h"
#include "zevo/PErrors.h"

volatile sig_atomic_t gInterrupted = 0;

const std::vector<PFaOption> kFaOptions = {
    {"--long", 'l', &PFaArgs::fLong},         {"--recursive", 'r', &PFaArgs::fRecursive}, {"--preserve", 'p', &PFaArgs::fPreserve},
    {"--continue", 0, &PFaArgs::fContinue},   {"--verify", 0, &PFaArgs::fVerify},         {"--json", 0, &PFaArgs::fJson},
    {"--delete", 0, &PFaArgs::fDelete},       {"--dry-run", 'n', &PFaArgs::fDryRun},      {"--checksum", 0, &PFaArgs::fChecksum},
    {"--no-clobber", 0, &PFaArgs::fNoClobber},
};

long long parseBytes(const std::string& iText) {
  if (iText.empty() || iText[0] < '0' || iText[0] > '9') return -1;
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(iText.c_str(), &end, 10);
  if (errno != 0 || value > (1LL << 40)) return -1;
  const std::string suffix = end;
  if (suffix == "K" || suffix == "k" || suffix == "KiB") {
    value *= 1024;
  } else if (suffix == "M" || suffix == "m" || suffix == "MiB") {
    value *= 1024 * 1024;
  } else if (!suffix.empty()) {
    return -1;
  }
  return value;
}

int parseSeconds(const std::string& iText) {
  if (iText.empty()) return -1;
  char* end = nullptr;
  const double seconds = std::strtod(iText.c_str(), &end);
  if (*end != '\0' || !std::isfinite(seconds) || seconds < 0.001 || seconds > 86400) return -1;
  return static_cast<int>(std::lround(seconds * 1000));
}

namespace {

int exitCodeOf(const PClientError& iError) {
  switch (iError.fOrigin) {
    case PErrorOrigin::kRemote: return kExitRemote;
    case PErrorOrigin::kArgument: return kExitUsage;
    case PErrorOrigin::kLocal: return kExitLocal;
    case PErrorOrigin::kHost:
    case PErrorOrigin::kConnection: return kExitConnection;
    case PErrorOrigin::kTransfer: return iError.fCode == ERR_CLIENT_CANCELLED ? kExitInterrupted : kExitCheck;
    case PErrorOrigin::kNone: break;
  }
  return kExitRemote;
}

}  // namespace

void faMessage(const std::string& iText) {
  std::fprintf(stderr, "zevofa: %s\n", iText.c_str());
  std::fflush(stderr);
}

void PFaConsole::message(const std::string& iText, bool) {
  fBar.clear();
  faMessage(iText);
}

void PFaConsole::change(const PFaChange& iChange) {
  const bool dir = iChange.fKind == PRemoteKind::kDir;
  if (fJson) {
    printJson({{"item", iChange.fItem}, {"action", iChange.fAction}, {"path", iChange.fPath}, {"type", kindName(iChange.fKind)}});
  } else {
    std::printf("%-7s %s%s\n", iChange.fItem.c_str(), shownName(iChange.fPath, fOutTerminal).c_str(), dir ? "/" : "");
  }
}

PFaSession::PFaSession(const PFaSettings& iSettings, PFaReporter& ioReporter)
    : fSettings(iSettings), fReporter(ioReporter), fClient(iSettings.fOptions) {
  fClient.setTls(iSettings.fTls);
  fClient.setMqtt(iSettings.fMqtt);
  fClient.setBrokerShare(iSettings.fBrokers);
}

int PFaSession::report(const PClientError& iError, const std::string& iHint) {
  std::string text = iError.message();
  if (fSettings.fVerbose && !iError.name().empty()) text += " [" + iError.name() + "]";
  say(shownName(text + iHint, fSettings.fErrTerminal));
  return exitCodeOf(iError);
}

int PFaSession::reportLocal(int iErrno, const std::string& iPath, const std::string& iHint) {
  PClientError error;
  error.fCode = PErrors::fromErrno(iErrno);
  error.fOrigin = PErrorOrigin::kLocal;
  const char* meaning = clientCodeMeaning(error.fCode);
  error.fText = error.fCode == PERR_FAILED || meaning == nullptr ? std::strerror(iErrno) : meaning;
  error.fWhat = iPath;
  return report(error, iHint);
}

int PFaSession::interrupted() {
  say("interrupted");
  return kExitInterrupted;
}

void PFaSession::warn(const std::string& iText) {
  if (!fSettings.fQuiet) note(shownName(iText, fSettings.fErrTerminal));
}

std::string PFaSession::out(const std::string& iName) const { return shownName(iName, fSettings.fOutTerminal); }

int PFaSession::connect(bool iTransfers) {
  if (fClient.connect(fSettings.fEndpoint) != 0) return report(fClient.lastError());
  if (fSettings.fVerbose) note("connected to " + fSettings.fEndpoint);
  fOps = fClient.hasFileOps();
  if (!fClient.isConnected()) return report(fClient.lastError());
  if (!fOps && iTransfers) {
    warn("warning: the host has no file-operations module: uploads are not atomic, nothing can be verified or "
         "resumed, and modes and times are not kept");
  }
  // The chunk asked for, within what the host takes.
  PClientOptions options = fSettings.fOptions;
  if (fSettings.fChunk > 0) {
    PSessionInfo info;
    const long long most = fOps && fClient.sessionInfo(info) == 0 ? info.fChunk : kMaxWriteChunk;
    options.fRangeChunk = static_cast<int>(std::min(fSettings.fChunk, most));
    options.fReadChunk = static_cast<int>(std::min<long long>(fSettings.fChunk, kMaxReadChunk));
    options.fWriteChunk = static_cast<int>(std::min<long long>(fSettings.fChunk, kMaxWriteChunk));
  }
  return fClient.setOptions(options) == 0 ? kExitOk : report(fClient.lastError());
}

// ------------------------------------------------------------- operands

int PFaSession::remoteOperands(const std::vector<std::string>& iOperands, std::vector<std::string>& oPaths) {
  for (const std::string& operand : iOperands) {
    if (operand.empty() || operand[0] != '/') {
      say("remote paths are absolute (the host has no current directory): '" + shownName(operand, fSettings.fErrTerminal) +
                "'" + (operand.empty() ? "" : "; did you mean '/" + shownName(operand, fSettings.fErrTerminal) + "'?"));
      return kExitUsage;
    }
  }
  int status = kExitOk;
  for (const std::string& operand : iOperands) {
    if (!hasWildcard(operand)) {
      oPaths.push_back(operand);
      continue;
    }
    const size_t before = oPaths.size();
    const int result = expand(operand, oPaths);
    if (result != kExitOk) return result;
    if (oPaths.size() == before) {
      say("remote: no match: " + shownName(operand, fSettings.fErrTerminal));
      keepFirst(status, kExitRemote);
    }
  }
  return status;
}

// Component by component: each with a wildcard is matched against the
// listing of the directories found so far.
int PFaSession::expand(const std::string& iPattern, std::vector<std::string>& oPaths) {
  std::vector<std::string> found = {"/"};
  size_t at = 1;
  while (at <= iPattern.size() && !found.empty()) {
    const size_t slash = std::min(iPattern.find('/', at), iPattern.size());
    const std::string part = iPattern.substr(at, slash - at);
    const bool last = slash >= iPattern.size() - (iPattern.back() == '/' ? 1 : 0);
    std::vector<std::string> next;
    for (const std::string& dir : found) {
      if (part.empty()) continue;
      if (!hasWildcard(part)) {
        next.push_back(joinPath(dir, part));
        continue;
      }
      std::vector<PRemoteEntry> entries;
      std::string used;
      PClientError error;
      if (listDir(dir, entries, used, error) != 0) {
        // Not a directory, or nothing there: nothing matches; a refusal is said.
        const bool none = error.fCode == PERR_NOT_DIR || error.fCode == PERR_NOT_FOUND || error.fCode == ERR_FAILED;
        if (!none) report(error);
        if (!fClient.isConnected()) return kExitConnection;
        continue;
      }
      std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.fName < b.fName; });
      for (const PRemoteEntry& entry : entries) {
        if (matchesPattern(part, entry.fName) && (last || entry.fStat.fKind == PRemoteKind::kDir)) next.push_back(joinPath(dir, entry.fName));
      }
    }
    found.swap(next);
    at = slash + 1;
  }
  const bool dirs = iPattern.back() == '/';
  for (const std::string& path : found) oPaths.push_back(dirs ? path + "/" : path);
  return kExitOk;
}

int PFaSession::statRemote(const std::string& iRemote, bool iAsDir, PRemoteStat& oStat, std::string& oUsed) {
  oUsed = iRemote;
  if (iAsDir && iRemote.back() != '/') {
    if (fClient.stat(iRemote + "/", oStat) == 0 && oStat.fKind == PRemoteKind::kDir) {
      oUsed = iRemote + "/";
      return kExitOk;
    }
    if (!fClient.isConnected()) return report(fClient.lastError());
  }
  // A file, nothing, or a directory only its parent lets us see.
  return fClient.stat(iRemote, oStat) == 0 ? kExitOk : report(fClient.lastError());
}

int PFaSession::listDir(const std::string& iPath, std::vector<PRemoteEntry>& oEntries, std::string& oUsed, PClientError& oError) {
  // The host judges "/d" by "/", "/d/" by itself: a directory is listed as
  // itself first, so that a peer allowed into it but not into its parent is
  // not refused on the way; "/d" only when that is refused.
  if (iPath.back() != '/') {
    const int result = fClient.listEntries(iPath + "/", oEntries);
    oError = fClient.lastError();
    oError.fWhat = iPath;  // said as the user named it
    if (result == 0) oUsed = iPath + "/";
    if (result != ERR_ACCESS_DENIED || !fClient.isConnected()) return result;
  }
  oUsed = iPath;
  const int result = fClient.listEntries(iPath, oEntries);
  oError = fClient.lastError();
  return result;
}

// ------------------------------------------------------------- changes

int PFaSession::mkdir(const PFaArgs& iArgs) {
  std::vector<std::string> paths;
  int status = remoteOperands(iArgs.fOperands, paths);
  if (status != kExitOk) return status;
  for (const std::string& path : paths) {
    int result = fClient.makeDir(path) == 0 ? kExitOk : report(fClient.lastError());
    // MakeDir also succeeds when a file is in the way: look, where the
    // policy lets us read (in a tree granted for writing only, it does not).
    PRemoteStat stat;
    std::string used;
    if (result == kExitOk && fClient.stat(path, stat) == 0 && stat.fKind != PRemoteKind::kDir) {
      say("remote: exists and is not a directory (" + std::to_string(PERR_EXISTS) + "): " + shownName(path, fSettings.fErrTerminal));
      result = kExitRemote;
    }
    keepFirst(status, result);
    if (!fClient.isConnected()) return report(fClient.lastError());
    if (result == kExitOk && fSettings.fVerbose) note("created " + path);
  }
  return status;
}

int PFaSession::rm(const PFaArgs& iArgs) {
  std::vector<std::string> paths;
  int status = remoteOperands(iArgs.fOperands, paths);
  for (const std::string& path : paths) {
    if ((iArgs.fRecursive ? fClient.removeTree(path) : fClient.deleteFile(path)) != 0) {
      const PClientError& error = fClient.lastError();
      keepFirst(status, report(error, !iArgs.fRecursive && error.fCode == PERR_IS_DIR ? " (use rm -r, or rmdir)" : ""));
      if (!fClient.isConnected()) return status;
    } else if (fSettings.fVerbose) {
      note("deleted " + path);
    }
  }
  return status;
}

int PFaSession::rmdir(const PFaArgs& iArgs) {
  std::vector<std::string> paths;
  int status = remoteOperands(iArgs.fOperands, paths);
  for (const std::string& path : paths) {
    if (fClient.deleteDir(path) != 0) {
      keepFirst(status, report(fClient.lastError()));
      if (!fClient.isConnected()) return status;
    } else if (fSettings.fVerbose) {
      note("deleted " + path);
    }
  }
  return status;
}

int PFaSession::mv(const PFaArgs& iArgs) {
  std::vector<std::string> paths;
  int status = remoteOperands(iArgs.fOperands, paths);
  if (status != kExitOk || paths.size() < 2) return status != kExitOk ? status : kExitRemote;
  std::string target = paths.back();
  paths.pop_back();
  PRemoteStat stat;
  std::string used;
  const bool intoDir = paths.size() > 1 || target.back() == '/' ||
                       (fClient.stat(target, stat) == 0 && stat.fKind == PRemoteKind::kDir);
  if (!fClient.isConnected()) return report(fClient.lastError());
  for (const std::string& from : paths) {
    const std::string to = intoDir ? joinPath(target, lastComponent(from)) : target;
    if (fClient.rename(from, to, !iArgs.fNoClobber) != 0) {
      keepFirst(status, report(fClient.lastError()));
      if (!fClient.isConnected()) return status;
    } else if (fSettings.fVerbose) {
      note("moved " + from + " -> " + to);
    }
  }
  return status;
}

int PFaSession::chmod(const PFaArgs& iArgs) {
  const std::string& text = iArgs.fOperands[0];
  char* end = nullptr;
  const long mode = std::strtol(text.c_str(), &end, 8);
  if (text.empty() || *end != '\0' || mode < 0 || mode > 0777) {
    say("chmod takes octal permission bits, 0 to 777 (no set-user-ID, set-group-ID or sticky bit): not '" + text + "'");
    return kExitUsage;
  }
  std::vector<std::string> paths;
  int status = remoteOperands({iArgs.fOperands.begin() + 1, iArgs.fOperands.end()}, paths);
  for (const std::string& path : paths) {
    if (fClient.setAttributes(path, static_cast<int>(mode), -1) != 0) {
      keepFirst(status, report(fClient.lastError()));
      if (!fClient.isConnected()) return status;
    }
  }
  return status;
}
