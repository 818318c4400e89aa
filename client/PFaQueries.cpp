// zevofa's queries: ls, stat, sum, whoami; each as lines for people or, with
// --json, one JSON object a line.
#include <algorithm>
#include <cstdio>

#include "PFaCommands.h"
#include "PFaOutput.h"
#include "zevo/PErrors.h"

namespace {

std::string sizeText(const PRemoteStat& iStat) {
  if (iStat.fKind == PRemoteKind::kDir) return "-";
  return iStat.fSize >= 0 ? std::to_string(iStat.fSize) : "?";
}

}  // namespace

int PFaSession::ls(const PFaArgs& iArgs) {
  std::vector<std::string> paths;
  int status = remoteOperands(iArgs.fOperands, paths);
  for (size_t i = 0; i < paths.size(); ++i) {
    if (gInterrupted) return interrupted();
    const std::string& path = paths[i];
    std::vector<PRemoteEntry> entries;
    std::string listed;
    PClientError error;
    if (listDir(path, entries, listed, error) != 0) {
      // Like ls, a file lists as itself.
      PRemoteStat stat;
      if (!fClient.isConnected() || fClient.stat(path, stat) != 0 || stat.fKind == PRemoteKind::kDir) {
        keepFirst(status, report(fClient.isConnected() ? error : fClient.lastError()));
        if (!fClient.isConnected()) return status;
        continue;
      }
      entries = {{path, stat}};
      listed.clear();
    } else if (paths.size() > 1 && !iArgs.fJson) {
      std::printf("%s%s:\n", i > 0 ? "\n" : "", out(path).c_str());
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.fName < b.fName; });
    for (const PRemoteEntry& entry : entries) {
      const bool dir = entry.fStat.fKind == PRemoteKind::kDir;
      if (iArgs.fJson) {
        printJson(statJson(listed.empty() ? entry.fName : joinPath(listed, entry.fName), lastComponent(entry.fName), entry.fStat));
      } else if (iArgs.fLong) {
        std::printf("%s %12s %s  %s%s\n", modeText(entry.fStat.fKind, entry.fStat.fMode).c_str(), sizeText(entry.fStat).c_str(),
                    timeText(entry.fStat.fTimeNs).c_str(), out(entry.fName).c_str(), dir ? "/" : "");
      } else {
        std::printf("%s\n", out(entry.fName).c_str());
      }
    }
  }
  return status;
}

int PFaSession::stat(const PFaArgs& iArgs) {
  std::vector<std::string> paths;
  int status = remoteOperands(iArgs.fOperands, paths);
  for (const std::string& path : paths) {
    PRemoteStat stat;
    const int result = fClient.stat(path, stat);
    if (result != 0 && result != PERR_NOT_FOUND) {
      std::fflush(stdout);
      keepFirst(status, report(fClient.lastError()));
      if (!fClient.isConnected()) return status;
      continue;
    }
    if (result != 0) keepFirst(status, kExitRemote);
    if (iArgs.fJson) {
      printJson(statJson(path, "", stat));
      continue;
    }
    std::printf("path: %s\nexists: %s\n", out(path).c_str(), result == 0 ? "yes" : "no");
    if (result != 0) continue;
    static const char* const kTypes[] = {"none", "file", "directory", "link", "other (neither a regular file nor a directory)"};
    std::printf("type: %s\n", kTypes[static_cast<int>(stat.fKind)]);
    if (stat.fKind == PRemoteKind::kFile) std::printf("size: %lld\n", stat.fSize);
    if (stat.fKind == PRemoteKind::kLink) std::printf("target: %s\n", out(stat.fLinkTarget).c_str());
    if (stat.fMode >= 0) std::printf("mode: %04o\n", stat.fMode);
    if (stat.fTimeNs >= 0) std::printf("modified: %s\n", statJson(path, "", stat)["mtime"].get<std::string>().c_str());
  }
  return status;
}

int PFaSession::sum(const PFaArgs& iArgs) {
  std::vector<std::string> paths;
  int status = remoteOperands(iArgs.fOperands, paths);
  if (paths.empty()) return status;
  std::vector<PDigest> digests;
  std::vector<PClientError> errors;
  PTransferControl control;
  control.fContinue = [] { return gInterrupted == 0; };
  const int result = fClient.checksums(paths, digests, errors, control);
  if (result == ERR_CLIENT_CANCELLED) return interrupted();
  if (errors.size() != paths.size()) return report(fClient.lastError());
  for (size_t i = 0; i < paths.size(); ++i) {
    if (errors[i].fCode != 0) {
      std::fflush(stdout);
      keepFirst(status, report(errors[i]));
    } else if (iArgs.fJson) {
      printJson({{"path", paths[i]}, {"sha256", digestHex(digests[i])}});
    } else {
      std::printf("%s  %s\n", digestHex(digests[i]).c_str(), out(paths[i]).c_str());
    }
  }
  return status;
}

int PFaSession::whoami(const PFaArgs& iArgs) {
  PSessionInfo info;
  if (fClient.sessionInfo(info) != 0) return report(fClient.lastError());
  static const char* const kRoles[] = {"unknown", "read", "write"};
  const char* role = info.fRole >= 0 && info.fRole <= 2 ? kRoles[info.fRole] : "unknown";
  if (iArgs.fJson) {
    printJson({{"identity", info.fIdentity}, {"role", role}, {"read", info.fRead}, {"write", info.fWrite},
               {"read_trees", info.fReadTree}, {"write_trees", info.fWriteTree}, {"chunk", info.fChunk},
               {"frame_max", info.fFrameMax}, {"resume_keep_seconds", info.fKeepSeconds}});
    return kExitOk;
  }
  std::printf("identity: %s\nrole: %s\n", out(info.fIdentity).c_str(), role);
  const std::pair<const char*, const std::vector<std::string>*> grants[] = {
      {"read", &info.fRead}, {"write", &info.fWrite}, {"read tree", &info.fReadTree}, {"write tree", &info.fWriteTree}};
  for (const auto& [label, list] : grants) {
    for (const std::string& path : *list) std::printf("%s: %s\n", label, out(path).c_str());
  }
  std::printf("chunk: %d\nkept uploads: %d s\n", info.fChunk, info.fKeepSeconds);
  return kExitOk;
}
