// zevofa sync: makes a destination tree a copy of a source tree, one of
// them on the host (written ":PATH"), moving only the files that differ,
// and says each change in an itemised line as rsync does.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "PFaCommands.h"
#include "PFaOutput.h"
#include "zevo/PErrors.h"

namespace {

std::string parentOf(const std::string& iPath) {
  const size_t slash = iPath.rfind('/');
  return slash == std::string::npos ? "" : iPath.substr(0, slash);
}

bool under(const std::string& iPath, const std::string& iDir) {
  return iPath.size() > iDir.size() && iPath.compare(0, iDir.size(), iDir) == 0 && iPath[iDir.size()] == '/';
}

// Modification times as equal as file systems keep them: the same, or the
// same second where one of them keeps no fraction.
bool sameTime(long long iA, long long iB) {
  return iA == iB || ((iA % 1000000000 == 0 || iB % 1000000000 == 0) && iA / 1000000000 == iB / 1000000000);
}

}  // namespace

// One change: what it does and what its itemised line says.
struct PSyncChange {
  enum Action { kDelete, kMakeDir, kCopy, kAttributes };
  Action fAction;
  std::string fPath;  // relative to the roots ("" the root)
  PRemoteStat fSource;
  bool fNew = false, fContent = false, fSize = false, fTime = false, fMode = false;

  // "<f.st.. ": sent (<) or received (>), created (c), attributes only (.);
  // then c content, s size, t time, p permissions, or "+++++" when new.
  std::string item(bool iUp) const {
    if (fAction == kDelete) return "*deleting";
    std::string text = {fAction == kCopy ? (iUp ? '<' : '>') : fAction == kMakeDir ? 'c' : '.',
                        fSource.fKind == PRemoteKind::kDir ? 'd' : 'f'};
    if (fNew) return text + "+++++";
    return text + (fContent ? 'c' : '.') + (fSize ? 's' : '.') + (fTime ? 't' : '.') + (fMode ? 'p' : '.') + '.';
  }
};

class PFaSyncRun {
 public:
  PFaSyncRun(PFaSession& ioSession, const PFaArgs& iArgs, bool iUp, std::string iLocal, std::string iRemote)
      : fSession(ioSession), fClient(ioSession.fClient), fArgs(iArgs), fUp(iUp), fLocal(std::move(iLocal)), fRemote(std::move(iRemote)) {}

  int run() {
    int status = readTrees();
    if (status == kExitOk) status = compare();
    if (status != kExitOk) return status;
    for (const PSyncChange& change : fChanges) show(change);
    std::fflush(stdout);
    if (fArgs.fDryRun) return fStatus;
    status = fUp ? applyUp() : applyDown();
    return status != kExitOk ? status : fStatus;
  }

 private:
  int readTrees();
  int readRemoteTarget();
  int compare();
  void compareEntry(const PFaTree::Entry& iSource, const PFaTree::Entry* iTarget, std::vector<size_t>& oSameSize);
  int compareContents(const std::vector<size_t>& iCandidates);
  void show(const PSyncChange& iChange) const;
  int applyUp();
  int applyDown();
  // Directories whose times (and modes) are set last, deepest first: the
  // root, those changed, and those whose entries changed.
  std::vector<std::string> touchedDirs() const;
  std::vector<PFileJob> copies() const;
  std::string localPath(const std::string& iPath) const { return joinPath(fLocal, iPath); }
  std::string remotePath(const std::string& iPath) const { return joinPath(fRemote, iPath); }

  PFaSession& fSession;
  PClient& fClient;
  const PFaArgs& fArgs;
  const bool fUp;
  const std::string fLocal;
  std::string fRemote;  // as the host answered for it ("/d/" or "/d")
  PFaTree fSource, fTarget;
  bool fTargetExists = true;
  PRemoteStat fRootStat;    // the source's root
  PRemoteStat fTargetRoot;  // the destination's, when it exists
  std::vector<PSyncChange> fChanges;
  int fStatus = kExitOk;
};

int PFaSyncRun::readTrees() {
  struct stat info;
  const bool localThere = ::stat(fLocal.c_str(), &info) == 0;
  if (fUp || localThere) {
    if (!localThere) return fSession.reportLocal(errno, fLocal);
    if (!S_ISDIR(info.st_mode)) return fSession.reportLocal(ENOTDIR, fLocal);
    const int status = fSession.localTree(fLocal, fUp ? fSource : fTarget, !fUp);
    if (status != kExitOk) return status;
  }
  fTargetExists = fUp || localThere;
  if (!fUp && localThere) {
    fTargetRoot.fKind = PRemoteKind::kDir;
    fTargetRoot.fMode = static_cast<int>(info.st_mode & 0777);
    fTargetRoot.fTimeNs = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  }
  if (fUp) {
    fRootStat.fKind = PRemoteKind::kDir;
    fRootStat.fMode = static_cast<int>(info.st_mode & 0777);
    fRootStat.fTimeNs = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return readRemoteTarget();
  }
  std::string used;
  int status = fSession.statRemote(fRemote, true, fRootStat, used);
  if (status == kExitOk && fRootStat.fKind != PRemoteKind::kDir) {
    fSession.say("remote: not a directory: " + fRemote);
    status = kExitRemote;
  }
  if (status == kExitOk) status = fSession.remoteTree(used, fSource);
  fRemote = used;
  // What the source holds besides files and directories is not copied.
  auto& entries = fSource.fEntries;
  entries.erase(std::remove_if(entries.begin(), entries.end(),
                               [&](const PFaTree::Entry& iEntry) {
                                 const bool other = iEntry.fStat.fKind != PRemoteKind::kFile && iEntry.fStat.fKind != PRemoteKind::kDir;
                                 if (other) fSession.warn("skipping " + remotePath(iEntry.fPath) + ": neither a regular file nor a directory");
                                 if (other) fSession.fSkipped = kExitRemote;
                                 return other;
                               }),
                entries.end());
  return status;
}

int PFaSyncRun::readRemoteTarget() {
  PRemoteStat stat;
  if (fRemote.back() != '/' && fClient.stat(fRemote + "/", stat) == 0 && stat.fKind == PRemoteKind::kDir) {
    fRemote += "/";
  } else if (fClient.isConnected() && fClient.stat(fRemote, stat) != 0) {
    if (fClient.lastError().fCode != PERR_NOT_FOUND || !fClient.isConnected()) return fSession.report(fClient.lastError());
    fTargetExists = false;
    return kExitOk;
  }
  if (!fClient.isConnected()) return fSession.report(fClient.lastError());
  if (stat.fKind != PRemoteKind::kDir) {
    fSession.say("remote: not a directory: " + fRemote);
    return kExitRemote;
  }
  fTargetRoot = stat;
  return fSession.remoteTree(fRemote, fTarget);
}

void PFaSyncRun::compareEntry(const PFaTree::Entry& iSource, const PFaTree::Entry* iTarget, std::vector<size_t>& oSameSize) {
  const PRemoteStat& from = iSource.fStat;
  const bool dir = from.fKind == PRemoteKind::kDir;
  PSyncChange change{dir ? PSyncChange::kMakeDir : PSyncChange::kCopy, iSource.fPath, from};
  if (iTarget == nullptr) {
    change.fNew = true;
    fChanges.push_back(change);
    return;
  }
  const PRemoteStat& to = iTarget->fStat;
  change.fSize = !dir && from.fSize != to.fSize;
  change.fTime = !sameTime(from.fTimeNs, to.fTimeNs);
  change.fMode = from.fMode != to.fMode;
  if (!dir && fArgs.fChecksum && !change.fSize) {
    fChanges.push_back(change);  // decided by the contents
    oSameSize.push_back(fChanges.size() - 1);
    return;
  }
  if (dir || !(change.fSize || change.fTime)) change.fAction = PSyncChange::kAttributes;
  if (change.fAction != PSyncChange::kAttributes || change.fTime || change.fMode) fChanges.push_back(change);
}

int PFaSyncRun::compare() {
  std::map<std::string, const PFaTree::Entry*> targets;
  for (const PFaTree::Entry& entry : fTarget.fEntries) targets[entry.fPath] = &entry;
  std::vector<std::string> blocked, gone;  // entries not copied; target entries deleted
  std::vector<size_t> sameSize;
  for (const PFaTree::Entry& entry : fSource.fEntries) {
    if (std::any_of(blocked.begin(), blocked.end(), [&](const std::string& iDir) { return under(entry.fPath, iDir); })) continue;
    const auto found = targets.find(entry.fPath);
    const PFaTree::Entry* target = found != targets.end() ? found->second : nullptr;
    if (target != nullptr) targets.erase(found);
    if (target != nullptr && target->fStat.fKind != entry.fStat.fKind) {
      if (!fArgs.fDelete) {
        fSession.say("sync: " + (fUp ? remotePath(entry.fPath) : localPath(entry.fPath)) + " is a " + kindName(target->fStat.fKind) +
                  " where the source has a " + kindName(entry.fStat.fKind) + ": give --delete to replace it");
        fSession.keepFirst(fStatus, kExitRemote);
        blocked.push_back(entry.fPath);
        continue;
      }
      fChanges.push_back({PSyncChange::kDelete, entry.fPath, target->fStat});
      gone.push_back(entry.fPath);
      target = nullptr;
    }
    compareEntry(entry, target, sameSize);
  }
  for (const auto& extra : targets) {
    const std::string& path = extra.first;
    const bool inside = std::any_of(gone.begin(), gone.end(), [&](const std::string& iDir) { return under(path, iDir); });
    if (!fArgs.fDelete || inside) continue;
    fChanges.push_back({PSyncChange::kDelete, path, extra.second->fStat});
    gone.push_back(path);
  }
  if (!fTargetExists) fChanges.insert(fChanges.begin(), {PSyncChange::kMakeDir, "", fRootStat, true});
  const PFaTree::Entry targetRoot{"", fTargetRoot};
  if (fTargetExists) compareEntry({"", fRootStat}, &targetRoot, sameSize);
  const int status = compareContents(sameSize);
  std::stable_sort(fChanges.begin(), fChanges.end(), [](const PSyncChange& a, const PSyncChange& b) { return a.fPath < b.fPath; });
  return status;
}

// --checksum: files of the same size are compared by their SHA-256.
int PFaSyncRun::compareContents(const std::vector<size_t>& iCandidates) {
  if (iCandidates.empty()) return kExitOk;
  std::vector<std::string> paths;
  for (const size_t i : iCandidates) paths.push_back(remotePath(fChanges[i].fPath));
  std::vector<PDigest> remote;
  std::vector<PClientError> errors;
  if (fClient.checksums(paths, remote, errors) != 0 && errors.size() != paths.size()) return fSession.report(fClient.lastError());
  std::vector<size_t> unchanged;
  for (size_t n = 0; n < iCandidates.size(); ++n) {
    PSyncChange& change = fChanges[iCandidates[n]];
    PDigest local{};
    PClientError error;
    if (errors[n].fCode != 0 || localChecksum(localPath(change.fPath), local, error) != 0) {
      fSession.keepFirst(fStatus, fSession.report(errors[n].fCode != 0 ? errors[n] : error));
      unchanged.push_back(iCandidates[n]);  // not copied
      continue;
    }
    change.fContent = local != remote[n];
    if (!change.fContent) change.fAction = PSyncChange::kAttributes;
    if (!change.fContent && !change.fTime && !change.fMode) unchanged.push_back(iCandidates[n]);
  }
  std::sort(unchanged.rbegin(), unchanged.rend());
  for (const size_t i : unchanged) fChanges.erase(fChanges.begin() + static_cast<long>(i));
  return kExitOk;
}

void PFaSyncRun::show(const PSyncChange& iChange) const {
  static const char* const kActions[] = {"delete", "mkdir", "copy", "attributes"};
  fSession.fReporter.change({iChange.item(fUp), kActions[iChange.fAction], iChange.fPath.empty() ? "." : iChange.fPath, iChange.fSource.fKind});
}

std::vector<PFileJob> PFaSyncRun::copies() const {
  std::vector<PFileJob> jobs;
  for (const PSyncChange& change : fChanges) {
    if (change.fAction != PSyncChange::kCopy) continue;
    jobs.push_back({localPath(change.fPath), remotePath(change.fPath), kModeSource, kTimeSource, change.fSource.fSize});
  }
  return jobs;
}

std::vector<std::string> PFaSyncRun::touchedDirs() const {
  std::set<std::string> dirs = {""};
  for (const PSyncChange& change : fChanges) {
    dirs.insert(parentOf(change.fPath));
    if (change.fSource.fKind == PRemoteKind::kDir && change.fAction != PSyncChange::kDelete) dirs.insert(change.fPath);
  }
  return {dirs.rbegin(), dirs.rend()};  // deepest first
}

int PFaSyncRun::applyUp() {
  int status = kExitOk;
  std::vector<std::string> made;
  for (const PSyncChange& change : fChanges) {
    if (change.fAction == PSyncChange::kDelete && fClient.removeTree(remotePath(change.fPath)) != 0) {
      fSession.keepFirst(status, fSession.report(fClient.lastError()));
    }
    if (change.fAction == PSyncChange::kMakeDir) made.push_back(remotePath(change.fPath));
  }
  std::vector<PClientError> errors;
  if (!made.empty() && fClient.makeDirs(made, errors) != 0) fSession.keepFirst(status, fSession.report(fClient.lastError()));
  if (!fClient.isConnected()) return status;
  fSession.keepFirst(status, fSession.runBatch(true, copies(), fArgs.fVerify, fLocal));
  if (status == kExitInterrupted || !fClient.isConnected()) return status;
  // Files first, then directories deepest first, in flight together.
  std::map<std::string, PRemoteStat> sources = {{"", fRootStat}};
  for (const PFaTree::Entry& entry : fSource.fEntries) sources[entry.fPath] = entry.fStat;
  std::vector<PAttributes> attributes;
  for (const PSyncChange& change : fChanges) {
    if (change.fAction != PSyncChange::kAttributes || change.fSource.fKind == PRemoteKind::kDir) continue;
    attributes.push_back({remotePath(change.fPath), change.fSource.fMode, change.fSource.fTimeNs});
  }
  for (const std::string& dir : touchedDirs()) {
    const PRemoteStat& stat = sources[dir];
    if (stat.fKind == PRemoteKind::kDir) attributes.push_back({remotePath(dir), stat.fMode, stat.fTimeNs});
  }
  if (fClient.setAttributes(attributes, errors) != 0) {
    if (errors.size() != attributes.size()) return fSession.report(fClient.lastError());
    for (const PClientError& error : errors) {
      if (error.fCode != 0) fSession.keepFirst(status, fSession.report(error));
    }
  }
  return status;
}

int PFaSyncRun::applyDown() {
  int status = kExitOk;
  for (const PSyncChange& change : fChanges) {
    std::error_code error;
    if (change.fAction == PSyncChange::kDelete && std::filesystem::remove_all(localPath(change.fPath), error) == static_cast<std::uintmax_t>(-1)) {
      fSession.keepFirst(status, fSession.reportLocal(error.value(), localPath(change.fPath)));
    }
    if (change.fAction == PSyncChange::kMakeDir && ::mkdir(localPath(change.fPath).c_str(), 0700) != 0 && errno != EEXIST) {
      fSession.keepFirst(status, fSession.reportLocal(errno, localPath(change.fPath)));
    }
  }
  fSession.keepFirst(status, fSession.runBatch(false, copies(), fArgs.fVerify, fRemote));
  if (status == kExitInterrupted || !fClient.isConnected()) return status;
  std::map<std::string, PRemoteStat> sources = {{"", fRootStat}};
  for (const PFaTree::Entry& entry : fSource.fEntries) sources[entry.fPath] = entry.fStat;
  std::vector<std::string> attributes;
  for (const PSyncChange& change : fChanges) {
    if (change.fAction == PSyncChange::kAttributes && change.fSource.fKind != PRemoteKind::kDir) attributes.push_back(change.fPath);
  }
  for (const std::string& dir : touchedDirs()) attributes.push_back(dir);
  for (const std::string& path : attributes) {
    const PRemoteStat& stat = sources[path];
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(stat.fTimeNs / 1000000000), static_cast<long>(stat.fTimeNs % 1000000000)}};
    if (stat.fMode >= 0 && (::chmod(localPath(path).c_str(), static_cast<mode_t>(stat.fMode)) != 0 ||
                            ::utimensat(AT_FDCWD, localPath(path).c_str(), times, 0) != 0)) {
      fSession.keepFirst(status, fSession.reportLocal(errno, localPath(path)));
    }
  }
  return status;
}

int PFaSession::sync(const PFaArgs& iArgs) {
  const std::string& first = iArgs.fOperands[0];
  const std::string& second = iArgs.fOperands[1];
  const bool up = second[0] == ':';
  std::vector<std::string> remotes;
  const int status = remoteOperands({(up ? second : first).substr(1)}, remotes);
  if (status != kExitOk || remotes.size() != 1) return status != kExitOk ? status : kExitUsage;
  if (!fOps) {
    say("remote: the host has no file-operations module, which sync needs (modes and times) (" +
              std::to_string(ERR_CLIENT_NO_FILEOPS) + "): " + fSettings.fEndpoint);
    return kExitRemote;
  }
  const int result = PFaSyncRun(*this, iArgs, up, up ? first : second, remotes[0]).run();
  return result != kExitOk ? result : fSkipped;
}
