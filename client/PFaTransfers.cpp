// zevofa get and put: one file with its own progress bar (and, for an
// upload, a token kept for --continue), or many files and whole trees in
// flight together on the connection.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "PFaCommands.h"
#include "PFaOutput.h"
#include "PFaResume.h"
#include "zevo/PErrors.h"

namespace {

// Uploads a batch keeps open at once: as many as a host allows by default
// (handle.max), since those committed together are flushed together.
constexpr int kUploadHandles = 256;

// A local path's own name, "." and ".." resolved.
std::string localName(const std::string& iPath) {
  std::string name = lastComponent(iPath);
  if (name == "." || name == ".." || name.empty()) {
    char* resolved = ::realpath(iPath.c_str(), nullptr);
    if (resolved != nullptr) name = lastComponent(resolved);
    std::free(resolved);
  }
  return name;
}

bool isLocalDir(const std::string& iPath) {
  struct stat info;
  return ::stat(iPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

PRemoteStat statOf(const struct stat& iInfo) {
  PRemoteStat stat;
  stat.fKind = S_ISDIR(iInfo.st_mode) ? PRemoteKind::kDir : S_ISREG(iInfo.st_mode) ? PRemoteKind::kFile : PRemoteKind::kOther;
  stat.fSize = iInfo.st_size;
  stat.fMode = static_cast<int>(iInfo.st_mode & 0777);
  stat.fTimeNs = static_cast<long long>(iInfo.st_mtim.tv_sec) * 1000000000 + iInfo.st_mtim.tv_nsec;
  return stat;
}

}  // namespace

PTransferControl PFaSession::control() {
  PTransferControl control;
  control.fProgress = [this](long long iDone, long long iTotal) { fReporter.progress(iDone, iTotal); };
  control.fContinue = [] { return gInterrupted == 0; };
  return control;
}

// --------------------------------------------------------------- trees

int PFaSession::localTree(const std::string& iRoot, Tree& oTree, bool iAll) {
  std::vector<std::string> waiting = {""};
  while (!waiting.empty()) {
    const std::string dir = waiting.back();
    waiting.pop_back();
    DIR* stream = ::opendir(joinPath(iRoot, dir).c_str());
    if (stream == nullptr) return reportLocal(errno, joinPath(iRoot, dir));
    errno = 0;
    while (dirent* entry = ::readdir(stream)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = joinPath(dir, name), full = joinPath(iRoot, path);
      struct stat info;
      if (::lstat(full.c_str(), &info) != 0) continue;  // gone meanwhile
      // Links to files are followed; links to directories are not, so that
      // no loop can run for ever. A destination's tree holds them all.
      if (iAll && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
        PRemoteStat stat;
        stat.fKind = S_ISLNK(info.st_mode) ? PRemoteKind::kLink : PRemoteKind::kOther;
        oTree.fEntries.push_back({path, stat});
        continue;
      }
      if (S_ISLNK(info.st_mode) && (::stat(full.c_str(), &info) != 0 || !S_ISREG(info.st_mode))) {
        warn("skipping " + full + ": a symbolic link to something other than a regular file");
        fSkipped = kExitLocal;
        continue;
      }
      if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
        warn("skipping " + full + ": neither a regular file nor a directory");
        fSkipped = kExitLocal;
        continue;
      }
      if (S_ISDIR(info.st_mode)) waiting.push_back(path);
      oTree.fEntries.push_back({path, statOf(info)});
    }
    const int error = errno;
    ::closedir(stream);
    if (error != 0) return reportLocal(error, joinPath(iRoot, dir));
  }
  std::sort(oTree.fEntries.begin(), oTree.fEntries.end(), [](const auto& a, const auto& b) { return a.fPath < b.fPath; });
  return kExitOk;
}

int PFaSession::remoteTree(const std::string& iRoot, Tree& oTree) {
  std::vector<PTreeEntry> entries;
  if (fClient.listTree(iRoot, entries) != 0) return report(fClient.lastError());
  for (PTreeEntry& entry : entries) oTree.fEntries.push_back({std::move(entry.fPath), std::move(entry.fStat)});
  std::sort(oTree.fEntries.begin(), oTree.fEntries.end(), [](const auto& a, const auto& b) { return a.fPath < b.fPath; });
  return kExitOk;
}

// ----------------------------------------------------------- one file

int PFaSession::transferResult(int iResult, const std::string& iWhat, bool iLocalSide, const char* iRecursiveHint) {
  if (iResult == 0) return kExitOk;
  if (iResult == ERR_CLIENT_CANCELLED) return interrupted();
  PClientError error = fClient.lastError();
  if (iWhat == "-" && error.fOrigin == PErrorOrigin::kLocal) error.fWhat = iLocalSide ? "standard input" : "standard output";
  const bool isDir = iResult == PERR_IS_DIR && (error.fOrigin == PErrorOrigin::kLocal) == iLocalSide;
  return report(error, isDir ? iRecursiveHint : "");
}

int PFaSession::getOne(const std::string& iRemote, const std::string& iLocal, const PFaArgs& iArgs) {
  fReporter.begin(iRemote);
  PTransferOptions options;
  options.fMode = iArgs.fPreserve ? kModeSource : kModeDefault;
  options.fTimeNs = iArgs.fPreserve ? kTimeSource : kTimeNow;
  options.fVerify = iArgs.fVerify;
  options.fContinue = iArgs.fContinue;
  options.fKeepPartial = fOps && iLocal != "-";
  PTransferResult result;
  const bool toStdout = iLocal == "-";
  const int code = fClient.download(iRemote, toStdout ? PSink::descriptor(STDOUT_FILENO) : PSink::file(iLocal), options,
                                    control(), &result);
  fReporter.end();
  if (code == ERR_CLIENT_CANCELLED && options.fKeepPartial) {
    warn("the bytes received are kept: 'zevofa get --continue' goes on from them");
  }
  if (code != 0) return transferResult(code, iLocal, false, " (use get -r)");
  if (fSettings.fVerbose) {
    note("got " + iRemote + " -> " + (toStdout ? "standard output" : iLocal) + " (" + std::to_string(result.fBytes) +
              " bytes" + (result.fStart > 0 ? ", went on at " + std::to_string(result.fStart) : "") +
              (result.fVerified ? ", SHA-256 verified" : "") + ")");
  }
  return kExitOk;
}

int PFaSession::putOne(const std::string& iLocal, const std::string& iRemote, const PFaArgs& iArgs) {
  fReporter.begin(iLocal == "-" ? iRemote : iLocal);
  PTransferOptions options;
  options.fMode = iArgs.fPreserve ? kModeSource : kModeDefault;
  options.fTimeNs = iArgs.fPreserve ? kTimeSource : kTimeNow;
  options.fVerify = iArgs.fVerify;
  // The token is kept before any data goes, whatever cuts the upload then.
  const PFaResume state(fSettings.fEndpoint, iRemote);
  const bool resumable = fOps && iLocal != "-";
  if (resumable) {
    options.fResumable = true;
    options.fToken = state.token();  // without --continue, a kept upload of it is let go first
    options.fContinue = iArgs.fContinue;
    options.fOnToken = [&](const std::string& iToken) { state.keep(iToken, iLocal); };
  }
  if (iArgs.fContinue && options.fToken.empty()) warn("nothing kept to go on with for " + iRemote + ": it is sent whole");
  PTransferResult result;
  const int code = fClient.upload(iLocal == "-" ? PSource::descriptor(STDIN_FILENO) : PSource::file(iLocal), iRemote, options,
                                  control(), &result);
  fReporter.end();
  // Kept by the host only when cut: else there is nothing to go on with.
  const bool cut = code == ERR_CLIENT_CANCELLED || !fClient.isConnected();
  if (resumable && !cut) state.forget();
  if (resumable && cut) warn("the host keeps what it received: 'zevofa put --continue' goes on from there");
  if (code != 0) return transferResult(code, iLocal, true, " (use put -r)");
  if (fSettings.fVerbose) {
    note("put " + (iLocal == "-" ? std::string("standard input") : iLocal) + " -> " + iRemote + " (" +
              std::to_string(result.fBytes) + " bytes sent" +
              (result.fStart > 0 ? ", went on at " + std::to_string(result.fStart) : "") +
              (result.fVerified ? ", SHA-256 verified" : "") + ")");
  }
  return kExitOk;
}

// ---------------------------------------------------------- many files

int PFaSession::runBatch(bool iUp, const std::vector<PFileJob>& iJobs, bool iVerify, const std::string& iLabel) {
  if (iJobs.empty()) return kExitOk;
  fReporter.begin(iLabel);
  int status = kExitOk;
  PBatchControl control;
  control.fVerify = iVerify;
  control.fContinue = [] { return gInterrupted == 0; };
  control.fProgress = [this](long long iDone, long long iTotal) { fReporter.progress(iDone, iTotal); };
  control.fDone = [&](size_t iJob, const PClientError& iError, const PTransferResult& iResult) {
    if (iError.fCode == ERR_CLIENT_CANCELLED || (iError.fCode != 0 && !fClient.isConnected())) return;
    if (iError.fCode != 0) {
      keepFirst(status, report(iError));
    } else if (fSettings.fVerbose) {
      const PFileJob& job = iJobs[iJob];
      note(std::string(iUp ? "put " : "got ") + (iUp ? job.fLocal : job.fRemote) + " -> " + (iUp ? job.fRemote : job.fLocal) +
                " (" + std::to_string(iResult.fBytes) + " bytes" + (iResult.fVerified ? ", SHA-256 verified" : "") + ")");
    }
  };
  std::vector<PClientError> errors;
  // A host that allows fewer refuses one upload, which lowers the count.
  const PClientOptions options = fClient.options();
  PClientOptions uploads = options;
  uploads.fHandles = std::max(options.fHandles, kUploadHandles);
  if (iUp) fClient.setOptions(uploads);
  const int result = iUp ? fClient.uploadFiles(iJobs, control, errors) : fClient.downloadFiles(iJobs, control, errors);
  if (iUp) fClient.setOptions(options);
  fReporter.end();
  if (result == ERR_CLIENT_CANCELLED || gInterrupted) return interrupted();
  if (!fClient.isConnected()) return report(fClient.lastError());
  if (errors.size() != iJobs.size() && result != 0) return report(fClient.lastError());  // refused as a whole
  return status;
}

int PFaSession::dirAttributes(bool iUp, const std::vector<PFileJob>& iDirs) {
  int status = kExitOk;
  std::vector<PAttributes> changes;
  for (auto dir = iDirs.rbegin(); dir != iDirs.rend(); ++dir) {
    if (iUp) {
      changes.push_back({dir->fRemote, dir->fMode, dir->fTimeNs});
      continue;
    }
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(dir->fTimeNs / 1000000000), static_cast<long>(dir->fTimeNs % 1000000000)}};
    if ((dir->fMode >= 0 && ::chmod(dir->fLocal.c_str(), static_cast<mode_t>(dir->fMode)) != 0) ||
        (dir->fTimeNs >= 0 && ::utimensat(AT_FDCWD, dir->fLocal.c_str(), times, 0) != 0)) {
      keepFirst(status, reportLocal(errno, dir->fLocal));
    }
  }
  std::vector<PClientError> errors;
  if (!changes.empty() && fClient.setAttributes(changes, errors) != 0) {
    if (errors.size() != changes.size()) return report(fClient.lastError());
    for (const PClientError& error : errors) {
      if (error.fCode != 0) keepFirst(status, report(error));
    }
  }
  return status;
}

int PFaSession::getTree(const std::string& iRemote, const std::string& iLocal, const PFaArgs& iArgs) {
  Tree tree;
  std::string used = iRemote;
  PRemoteStat root;
  int result = statRemote(iRemote, true, root, used);
  if (result == kExitOk) result = remoteTree(used, tree);
  if (result != kExitOk) return result;
  if (::mkdir(iLocal.c_str(), 0777) != 0 && !(errno == EEXIST && isLocalDir(iLocal))) return reportLocal(errno, iLocal);
  std::vector<PFileJob> files, dirs = {{iLocal, used, root.fMode, root.fTimeNs}};
  for (const Tree::Entry& entry : tree.fEntries) {
    const std::string local = joinPath(iLocal, entry.fPath), remote = joinPath(used, entry.fPath);
    const PFileJob job{local, remote, iArgs.fPreserve ? kModeSource : kModeDefault, iArgs.fPreserve ? kTimeSource : kTimeNow,
                       entry.fStat.fSize};
    if (entry.fStat.fKind == PRemoteKind::kFile) {
      files.push_back(job);
    } else if (entry.fStat.fKind == PRemoteKind::kDir) {
      if (::mkdir(local.c_str(), 0777) != 0 && !(errno == EEXIST && isLocalDir(local))) return reportLocal(errno, local);
      dirs.push_back({local, remote, entry.fStat.fMode, entry.fStat.fTimeNs});
    } else {
      warn("skipping " + remote + ": " + (entry.fStat.fKind == PRemoteKind::kLink ? "a symbolic link" : "neither a regular file nor a directory"));
      fSkipped = kExitRemote;
    }
  }
  int status = runBatch(false, files, iArgs.fVerify, iRemote);
  if (status != kExitInterrupted && fClient.isConnected() && iArgs.fPreserve) keepFirst(status, dirAttributes(false, dirs));
  return status;
}

int PFaSession::putTree(const std::string& iLocal, const std::string& iRemote, const PFaArgs& iArgs) {
  Tree tree;
  int result = localTree(iLocal, tree, false);
  if (result != kExitOk) return result;
  struct stat info;
  if (::stat(iLocal.c_str(), &info) != 0) return reportLocal(errno, iLocal);
  // Into a new tree every file is new: its mode is known without asking.
  PRemoteStat there;
  const bool fresh = fClient.stat(iRemote, there) == PERR_NOT_FOUND;
  const unsigned int mask = ::umask(0);
  ::umask(mask);
  std::vector<std::string> made = {iRemote};
  std::vector<PFileJob> files, dirs = {{iLocal, iRemote, statOf(info).fMode, statOf(info).fTimeNs}};
  for (const Tree::Entry& entry : tree.fEntries) {
    const std::string remote = joinPath(iRemote, entry.fPath);
    if (entry.fStat.fKind == PRemoteKind::kDir) {
      made.push_back(remote);
      dirs.push_back({joinPath(iLocal, entry.fPath), remote, entry.fStat.fMode, entry.fStat.fTimeNs});
    } else {
      const int mode = iArgs.fPreserve ? kModeSource : fresh ? entry.fStat.fMode & static_cast<int>(~mask) : kModeDefault;
      files.push_back({joinPath(iLocal, entry.fPath), remote, mode, iArgs.fPreserve ? kTimeSource : kTimeNow, entry.fStat.fSize});
    }
  }
  std::vector<PClientError> errors;
  if (fClient.makeDirs(made, errors) != 0) {
    if (errors.size() != made.size()) return report(fClient.lastError());
    for (const PClientError& error : errors) {
      if (error.fCode != 0) return report(error);
    }
  }
  int status = runBatch(true, files, iArgs.fVerify, iLocal);
  if (status != kExitInterrupted && fClient.isConnected() && iArgs.fPreserve) keepFirst(status, dirAttributes(true, dirs));
  return status;
}

// ------------------------------------------------------------ commands

int PFaSession::get(const PFaArgs& iArgs) {
  const std::vector<std::string>& operands = iArgs.fOperands;
  std::string local = operands.size() > 1 ? operands.back() : ".";
  std::vector<std::string> remotes;
  int status = remoteOperands(operands.size() > 1 ? std::vector<std::string>(operands.begin(), operands.end() - 1) : operands, remotes);
  if (status == kExitUsage || !fClient.isConnected()) return status;
  const bool several = remotes.size() > 1 || hasWildcard(operands[0]);
  if (local == "-" && several) return report(PClientError{ERR_INVALID_ARG, PErrorOrigin::kArgument, "several files match", operands[0]});
  const bool intoDir = local != "-" && isLocalDir(local);
  if (several && !intoDir) return reportLocal(ENOTDIR, local, " (several files go into an existing directory)");
  std::vector<PFileJob> files;
  for (const std::string& remote : remotes) {
    const std::string name = lastComponent(remote);
    if (intoDir && (name.empty() || name == "." || name == "..")) {
      say("cannot name a local file after '" + remote + "'; give LOCAL");
      keepFirst(status, kExitUsage);
      continue;
    }
    const std::string target = intoDir ? joinPath(local, name) : local;
    PRemoteStat stat;
    std::string used = remote;
    if (iArgs.fRecursive && statRemote(remote, true, stat, used) != kExitOk) {
      keepFirst(status, kExitRemote);
      if (!fClient.isConnected()) return status;
      continue;
    }
    if (iArgs.fRecursive && stat.fKind == PRemoteKind::kDir) {
      keepFirst(status, getTree(remote, target, iArgs));
    } else if (iArgs.fRecursive && stat.fKind != PRemoteKind::kFile) {
      say("remote: neither a regular file nor a directory: " + remote);
      keepFirst(status, kExitRemote);
    } else if (several && !iArgs.fContinue) {
      files.push_back({target, remote, iArgs.fPreserve ? kModeSource : kModeDefault, iArgs.fPreserve ? kTimeSource : kTimeNow});
    } else {
      keepFirst(status, getOne(remote, target, iArgs));
    }
    if (status == kExitInterrupted || !fClient.isConnected()) return status;
  }
  keepFirst(status, runBatch(false, files, iArgs.fVerify, local));
  return status != kExitOk ? status : fSkipped;
}

int PFaSession::put(const PFaArgs& iArgs) {
  const std::vector<std::string> sources(iArgs.fOperands.begin(), iArgs.fOperands.end() - 1);
  std::vector<std::string> targets;
  int status = remoteOperands({iArgs.fOperands.back()}, targets);
  if (status != kExitOk || targets.size() != 1) return status != kExitOk ? status : kExitUsage;
  const std::string& remote = targets[0];
  const bool fromStdin = sources.size() == 1 && sources[0] == "-";
  PRemoteStat stat;
  const int asked = fClient.stat(remote, stat);
  // Nothing there: a new name. A directory that may be written but not
  // read is taken as named. Anything else is said now.
  if (asked != 0 && (!fClient.isConnected() || (asked != PERR_NOT_FOUND && asked != ERR_FAILED && asked != ERR_ACCESS_DENIED))) {
    return report(fClient.lastError());
  }
  const bool intoDir = remote.back() == '/' || (asked == 0 && stat.fKind == PRemoteKind::kDir);
  if (fromStdin && intoDir) {
    say("give a file name for standard input: " + remote + " is a directory");
    return kExitUsage;
  }
  if (sources.size() > 1 && !intoDir) {
    say("remote: not a directory (several files go into an existing directory): " + remote);
    return kExitRemote;
  }
  std::vector<PFileJob> files;
  for (const std::string& source : sources) {
    struct stat info;
    if (source != "-" && ::stat(source.c_str(), &info) != 0) {
      keepFirst(status, reportLocal(errno, source));
      continue;
    }
    const bool tree = source != "-" && S_ISDIR(info.st_mode);
    const std::string target = intoDir ? joinPath(remote, localName(source)) : remote;
    if (tree && !iArgs.fRecursive) {
      keepFirst(status, reportLocal(EISDIR, source, " (use put -r)"));
    } else if (tree) {
      keepFirst(status, putTree(source, target, iArgs));
    } else if (sources.size() > 1 && !iArgs.fContinue) {
      files.push_back({source, target, iArgs.fPreserve ? kModeSource : kModeDefault, iArgs.fPreserve ? kTimeSource : kTimeNow,
                       static_cast<long long>(info.st_size)});
    } else {
      keepFirst(status, putOne(source, target, iArgs));
    }
    if (status == kExitInterrupted || !fClient.isConnected()) return status;
  }
  keepFirst(status, runBatch(true, files, iArgs.fVerify, remote));
  return status != kExitOk ? status : fSkipped;
}
