#include "PFaCommands.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "PProgressBar.h"
#include "zevo/PErrors.h"

volatile sig_atomic_t gInterrupted = 0;

namespace {

constexpr int kKindFile = 0;
constexpr int kKindDir = 1;
constexpr int kKindOther = 2;

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

std::string joinRemote(const std::string& iDir, const std::string& iName) {
  return !iDir.empty() && iDir.back() == '/' ? iDir + iName : iDir + "/" + iName;
}

// The last component of a path, trailing slashes ignored; "" for "/".
std::string lastComponent(const std::string& iPath) {
  size_t end = iPath.size();
  while (end > 0 && iPath[end - 1] == '/') --end;
  const size_t slash = iPath.rfind('/', end == 0 ? 0 : end - 1);
  const size_t begin = slash == std::string::npos || end == 0 ? 0 : slash + 1;
  return iPath.substr(begin, end - begin);
}

// A local path's own name, "." and ".." resolved.
std::string localName(const std::string& iPath) {
  std::string name = lastComponent(iPath);
  if (name == "." || name == ".." || name.empty()) {
    char* resolved = ::realpath(iPath.c_str(), nullptr);
    if (resolved != nullptr) {
      name = lastComponent(resolved);
      std::free(resolved);
    }
  }
  return name;
}

// A name from a listing that can be used as one local path component.
bool safeName(const std::string& iName) {
  return !iName.empty() && iName != "." && iName != ".." && iName.find('/') == std::string::npos;
}

// "/d/" for "/d": a directory named as itself; "" when it already is.
std::string asDirectory(const std::string& iPath) {
  return iPath.empty() || iPath.back() == '/' ? "" : iPath + "/";
}

bool isLocalDir(const std::string& iPath) {
  struct stat info;
  return ::stat(iPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

void faMessage(const std::string& iText) {
  std::fprintf(stderr, "zevofa: %s\n", iText.c_str());
  std::fflush(stderr);
}

PFaSession::PFaSession(const PFaSettings& iSettings) : fSettings(iSettings), fClient(iSettings.fOptions) {
  fClient.setTls(iSettings.fTls);
  fClient.setMqtt(iSettings.fMqtt);
}

int PFaSession::report(const PClientError& iError, const std::string& iHint) {
  std::string text = iError.message();
  if (fSettings.fVerbose && !iError.name().empty()) text += " [" + iError.name() + "]";
  faMessage(text + iHint);
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
  faMessage("interrupted");
  return kExitInterrupted;
}

void PFaSession::warn(const std::string& iText) {
  if (!fSettings.fQuiet) faMessage(iText);
}

int PFaSession::connect() {
  if (fClient.connect(fSettings.fEndpoint) != 0) return report(fClient.lastError());
  if (fSettings.fVerbose) faMessage("connected to " + fSettings.fEndpoint);
  return kExitOk;
}

int PFaSession::kindOf(const std::string& iRemote, int& oKind) {
  bool file = false;
  const int result = fClient.isFile(iRemote, file);
  return kindFrom(result, file, fClient.lastError(), oKind);
}

int PFaSession::kindFrom(int iResult, bool iFile, const PClientError& iError, int& oKind) {
  if (iResult == 0) {
    oKind = iFile ? kKindFile : kKindDir;
    return kExitOk;
  }
  if (iResult == ERR_NOT_FILE_OR_DIR) {
    oKind = kKindOther;
    return kExitOk;
  }
  return report(iError);
}

int PFaSession::listDir(const std::string& iPath, std::vector<std::string>& oNames, std::string& oUsed,
                        PClientError& oError) {
  const std::string itself = asDirectory(iPath);
  if (!itself.empty()) {
    const int result = fClient.list(itself, oNames);
    oError = fClient.lastError();
    oError.fWhat = iPath;  // said as the user named it
    if (result == 0) oUsed = itself;
    // Refused: the parent may allow it. Not a directory: the caller asks on.
    if (result != ERR_ACCESS_DENIED || !fClient.isConnected()) return result;
  }
  oUsed = iPath;
  const int result = fClient.list(iPath, oNames);
  oError = fClient.lastError();
  return result;
}

int PFaSession::dirKindOf(const std::string& iRemote, int& oKind, std::string& oUsed) {
  oUsed = iRemote;
  bool file = false;
  const std::string itself = asDirectory(iRemote);
  if (!itself.empty()) {
    if (fClient.isFile(itself, file) == 0 && !file) {
      oUsed = itself;
      oKind = kKindDir;
      return kExitOk;
    }
    if (!fClient.isConnected()) return report(fClient.lastError());
  }
  // A file, nothing, or a directory only its parent lets us see.
  const int result = fClient.isFile(iRemote, file);
  return kindFrom(result, file, fClient.lastError(), oKind);
}

int PFaSession::ls(const std::string& iPath, bool iLong) {
  std::vector<std::string> names;
  std::string listed;
  PClientError listError;
  if (listDir(iPath, names, listed, listError) != 0) {
    bool file = false;
    // Like ls, a file lists as itself.
    if (listError.fCode == ERR_FAILED && fClient.isFile(iPath, file) == 0 && file) {
      long long size = 0;
      if (!iLong) {
        std::printf("%s\n", iPath.c_str());
      } else if (fClient.size(iPath, size) == 0) {
        std::printf("file %12lld  %s\n", size, iPath.c_str());
      } else {
        return report(fClient.lastError());
      }
      return kExitOk;
    }
    if (!fClient.isConnected()) return report(fClient.lastError());
    return report(listError);
  }
  std::sort(names.begin(), names.end());
  int status = kExitOk;
  for (const std::string& name : names) {
    if (gInterrupted) return interrupted();
    if (!iLong) {
      std::printf("%s\n", name.c_str());
      continue;
    }
    const std::string path = joinRemote(listed, name);
    bool file = false;
    const int kind = fClient.isFile(path, file);
    long long size = 0;
    if (kind == 0 && file && fClient.size(path, size) == 0) {
      std::printf("file %12lld  %s\n", size, name.c_str());
    } else if (kind == 0 && !file) {
      std::printf("dir  %12s  %s/\n", "-", name.c_str());
    } else if (kind == ERR_NOT_FILE_OR_DIR) {
      std::printf("other%12s  %s\n", "-", name.c_str());
    } else {
      // Gone since the listing, or refused: said, and the rest still listed.
      std::fflush(stdout);
      const int code = report(fClient.lastError());
      if (!fClient.isConnected()) return code;
      if (status == kExitOk) status = code;
      std::printf("?    %12s  %s\n", "?", name.c_str());
    }
  }
  return status;
}

int PFaSession::stat(const std::string& iPath) {
  bool exists = false;
  if (fClient.exists(iPath, exists) != 0) return report(fClient.lastError());
  std::printf("path: %s\nexists: %s\n", iPath.c_str(), exists ? "yes" : "no");
  if (!exists) return kExitRemote;
  int kind = 0;
  std::fflush(stdout);
  const int result = kindOf(iPath, kind);
  if (result != kExitOk) return result;
  if (kind == kKindDir) {
    std::printf("type: directory\n");
  } else if (kind == kKindOther) {
    std::printf("type: other (neither a regular file nor a directory)\n");
  } else {
    long long size = 0;
    if (fClient.size(iPath, size) != 0) {
      std::fflush(stdout);
      return report(fClient.lastError());
    }
    std::printf("type: file\nsize: %lld\n", size);
  }
  return kExitOk;
}

int PFaSession::makeRemoteDir(const std::string& iRemote) {
  if (fClient.makeDir(iRemote) != 0) return report(fClient.lastError());
  // MakeDir also succeeds when a file is in the way: look, where the
  // policy lets us read (in a tree granted for writing only, it does not).
  bool file = false;
  const int asked = fClient.isFile(iRemote, file);
  if (asked == ERR_ACCESS_DENIED) return kExitOk;
  int kind = 0;
  const int result = kindFrom(asked, file, fClient.lastError(), kind);
  if (result != kExitOk) return result;
  if (kind != kKindDir) {
    PClientError error;
    error.fCode = PERR_EXISTS;
    error.fOrigin = PErrorOrigin::kRemote;
    error.fText = "exists and is not a directory";
    error.fWhat = iRemote;
    return report(error);
  }
  return kExitOk;
}

int PFaSession::mkdir(const std::vector<std::string>& iPaths) {
  int status = kExitOk;
  for (const std::string& path : iPaths) {
    const int result = makeRemoteDir(path);
    if (result != kExitOk && status == kExitOk) status = result;
    if (!fClient.isConnected()) return status;
    if (result == kExitOk && fSettings.fVerbose) faMessage("created " + path);
  }
  return status;
}

int PFaSession::rm(const std::vector<std::string>& iPaths) { return deleteEach(iPaths, false); }

int PFaSession::rmdir(const std::vector<std::string>& iPaths) { return deleteEach(iPaths, true); }

int PFaSession::deleteEach(const std::vector<std::string>& iPaths, bool iDirs) {
  int status = kExitOk;
  for (const std::string& path : iPaths) {
    if ((iDirs ? fClient.deleteDir(path) : fClient.deleteFile(path)) != 0) {
      const PClientError& error = fClient.lastError();
      const int code = report(error, !iDirs && error.fCode == PERR_IS_DIR ? " (use rmdir)" : "");
      if (status == kExitOk) status = code;
      if (!fClient.isConnected()) return status;
    } else if (fSettings.fVerbose) {
      faMessage("deleted " + path);
    }
  }
  return status;
}

// ------------------------------------------------------------- transfers

namespace {

// Progress goes to the bar; an interrupt cancels the transfer.
PTransferControl barControl(PProgressBar& ioBar) {
  PTransferControl control;
  control.fProgress = [&ioBar](long long iDone, long long iTotal) { ioBar.update(iDone, iTotal); };
  control.fContinue = [] { return gInterrupted == 0; };
  return control;
}

}  // namespace

int PFaSession::getFile(const std::string& iRemote, const std::string& iLocal) {
  PProgressBar bar(fSettings.fProgress);
  bar.start(iRemote);
  const PTransferControl control = barControl(bar);
  long long bytes = 0;
  const bool toStdout = iLocal == "-";
  const int result =
      fClient.get(iRemote, toStdout ? PSink::descriptor(STDOUT_FILENO) : PSink::file(iLocal), control, &bytes);
  bar.finish();
  if (result != 0) {
    PClientError error = fClient.lastError();
    if (result == ERR_CLIENT_CANCELLED) return interrupted();
    if (toStdout && error.fOrigin == PErrorOrigin::kLocal) error.fWhat = "standard output";
    return report(error, error.fOrigin == PErrorOrigin::kRemote && result == PERR_IS_DIR ? " (use get -r)" : "");
  }
  if (fSettings.fVerbose) {
    faMessage("got " + iRemote + " -> " + (toStdout ? "standard output" : iLocal) + " (" + std::to_string(bytes) +
              " bytes)");
  }
  return kExitOk;
}

int PFaSession::getTree(const std::string& iRemote, const std::string& iLocal) {
  if (gInterrupted) return interrupted();
  if (::mkdir(iLocal.c_str(), 0777) != 0 && !(errno == EEXIST && isLocalDir(iLocal))) {
    return reportLocal(errno, iLocal);
  }
  // iRemote is asked as it is: the form dirKindOf found readable, or an
  // entry of a listing, which the directory just listed judges.
  std::vector<std::string> names;
  if (fClient.list(iRemote, names) != 0) return report(fClient.lastError());
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (gInterrupted) return interrupted();
    const std::string remote = joinRemote(iRemote, name);
    if (!safeName(name)) {
      warn("skipping " + remote + ": not usable as a local name");
      fSkipped = kExitRemote;
      continue;
    }
    int kind = 0;
    int result = kindOf(remote, kind);
    if (result != kExitOk) return result;
    const std::string local = iLocal + "/" + name;
    if (kind == kKindFile) {
      result = getFile(remote, local);
    } else if (kind == kKindDir) {
      result = getTree(remote, local);
    } else {
      warn("skipping " + remote + ": neither a regular file nor a directory");
      fSkipped = kExitRemote;
    }
    if (result != kExitOk) return result;
  }
  return kExitOk;
}

int PFaSession::get(const std::string& iRemote, const std::string& iLocal, bool iRecursive) {
  std::string local = iLocal.empty() ? "." : iLocal;
  if (local == "-") {
    if (iRecursive) {
      faMessage("get -r cannot write a tree to standard output");
      return kExitUsage;
    }
    return getFile(iRemote, local);
  }
  // Into an existing directory: under the remote's own name.
  if (isLocalDir(local)) {
    const std::string name = lastComponent(iRemote);
    if (!safeName(name)) {
      faMessage("cannot name a local file after '" + iRemote + "'; give LOCAL");
      return kExitUsage;
    }
    local = joinRemote(local, name);
  }
  int kind = kKindFile;
  std::string remote = iRemote;
  if (iRecursive) {
    const int result = dirKindOf(iRemote, kind, remote);
    if (result != kExitOk) return result;
  }
  int result = kExitOk;
  if (kind == kKindDir) {
    result = getTree(remote, local);
  } else if (kind == kKindFile) {
    result = getFile(iRemote, local);
  } else {
    faMessage("remote: neither a regular file nor a directory: " + iRemote);
    return kExitRemote;
  }
  return result != kExitOk ? result : fSkipped;
}

int PFaSession::putFile(const std::string& iLocal, const std::string& iRemote) {
  PProgressBar bar(fSettings.fProgress);
  bar.start(iLocal == "-" ? iRemote : iLocal);
  const PTransferControl control = barControl(bar);
  long long bytes = 0;
  const bool fromStdin = iLocal == "-";
  const int result =
      fClient.put(fromStdin ? PSource::descriptor(STDIN_FILENO) : PSource::file(iLocal), iRemote, control, &bytes);
  bar.finish();
  if (result != 0) {
    PClientError error = fClient.lastError();
    if (result == ERR_CLIENT_CANCELLED) return interrupted();
    if (fromStdin && error.fOrigin == PErrorOrigin::kLocal) error.fWhat = "standard input";
    return report(error, error.fOrigin == PErrorOrigin::kLocal && result == PERR_IS_DIR ? " (use put -r)" : "");
  }
  if (fSettings.fVerbose) {
    faMessage("put " + (fromStdin ? std::string("standard input") : iLocal) + " -> " + iRemote + " (" +
              std::to_string(bytes) + " bytes)");
  }
  return kExitOk;
}

int PFaSession::putTree(const std::string& iLocal, const std::string& iRemote) {
  if (gInterrupted) return interrupted();
  int result = makeRemoteDir(iRemote);
  if (result != kExitOk) return result;
  DIR* dir = ::opendir(iLocal.c_str());
  if (dir == nullptr) return reportLocal(errno, iLocal);
  std::vector<std::string> names;
  errno = 0;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  const int readError = errno;
  ::closedir(dir);
  if (readError != 0) return reportLocal(readError, iLocal);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (gInterrupted) return interrupted();
    const std::string local = iLocal + "/" + name;
    const std::string remote = joinRemote(iRemote, name);
    struct stat info;
    if (::lstat(local.c_str(), &info) != 0) return reportLocal(errno, local);
    if (S_ISLNK(info.st_mode)) {
      // Links to files are followed; links to directories are not, so
      // that no loop can run for ever.
      if (::stat(local.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        warn("skipping " + local + ": a symbolic link to something other than a regular file");
        fSkipped = kExitLocal;
        continue;
      }
    }
    if (S_ISREG(info.st_mode)) {
      result = putFile(local, remote);
    } else if (S_ISDIR(info.st_mode)) {
      result = putTree(local, remote);
    } else {
      warn("skipping " + local + ": neither a regular file nor a directory");
      fSkipped = kExitLocal;
      continue;
    }
    if (result != kExitOk) return result;
  }
  return kExitOk;
}

int PFaSession::put(const std::string& iLocal, const std::string& iRemote, bool iRecursive) {
  struct stat info;
  const bool fromStdin = iLocal == "-";
  if (fromStdin && iRecursive) {
    faMessage("put -r cannot read a tree from standard input");
    return kExitUsage;
  }
  if (!fromStdin && ::stat(iLocal.c_str(), &info) != 0) return reportLocal(errno, iLocal);
  const bool tree = !fromStdin && S_ISDIR(info.st_mode);
  if (tree && !iRecursive) return reportLocal(EISDIR, iLocal, " (use put -r)");
  // Into an existing remote directory: under the local name.
  std::string remote = iRemote;
  bool intoDir = !remote.empty() && remote.back() == '/';
  if (!intoDir) {
    bool file = false;
    const int result = fClient.isFile(remote, file);
    if (result == 0) {
      intoDir = !file;
    } else if (!fClient.isConnected() || (result != ERR_FAILED && result != ERR_ACCESS_DENIED)) {
      // -504 is "nothing there": a new name. A directory that may be written
      // but not read is taken as named. Anything else is said now.
      return report(fClient.lastError());
    }
  }
  if (intoDir) {
    if (fromStdin) {
      faMessage("give a file name for standard input: " + iRemote + " is a directory");
      return kExitUsage;
    }
    remote = joinRemote(remote, localName(iLocal));
  }
  const int result = tree ? putTree(iLocal, remote) : putFile(iLocal, remote);
  return result != kExitOk ? result : fSkipped;
}
