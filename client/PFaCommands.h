// zevofa's commands on one connection. Each answers the program's exit code
// and has printed what failed.
#pragma once

#include <signal.h>

#include <string>
#include <vector>

#include "zevo/client/PClient.h"

// Exit codes (docs/client.md).
constexpr int kExitOk = 0;
constexpr int kExitRemote = 1;
constexpr int kExitUsage = 2;
constexpr int kExitLocal = 3;
constexpr int kExitConnection = 4;
constexpr int kExitCheck = 5;
constexpr int kExitInterrupted = 130;

// Set by SIGINT and SIGTERM: the transfer in progress is cancelled cleanly.
extern volatile sig_atomic_t gInterrupted;

struct PFaSettings {
  std::string fEndpoint;
  PClientOptions fOptions;
  PClientTls fTls;
  PClientMqtt fMqtt;
  bool fVerbose = false;
  bool fQuiet = false;
  bool fProgress = false;  // standard error is a terminal and not quiet
};

// Prints "zevofa: <text>" on standard error.
void faMessage(const std::string& iText);

class PFaSession {
 public:
  explicit PFaSession(const PFaSettings& iSettings);

  int connect();
  int ls(const std::string& iPath, bool iLong);
  int stat(const std::string& iPath);
  int mkdir(const std::vector<std::string>& iPaths);
  int rm(const std::vector<std::string>& iPaths);
  int rmdir(const std::vector<std::string>& iPaths);
  // iLocal empty: named after the remote, in the current directory.
  int get(const std::string& iRemote, const std::string& iLocal, bool iRecursive);
  int put(const std::string& iLocal, const std::string& iRemote, bool iRecursive);

 private:
  int report(const PClientError& iError, const std::string& iHint = "");
  int reportLocal(int iErrno, const std::string& iPath, const std::string& iHint = "");
  int interrupted();
  // oKind 0 file, 1 directory, 2 neither; or the exit code of a failure
  // (said).
  int kindOf(const std::string& iRemote, int& oKind);
  // The same from an IsFile answer (iError: what to say if it failed).
  int kindFrom(int iResult, bool iFile, const PClientError& iError, int& oKind);
  // The host judges "/d" by "/", "/d/" by itself. A directory is asked about
  // as itself first ("/d/"), so that a peer allowed into a directory but not
  // into its parent is not refused on the way (every refusal is a warning in
  // the host's log); only when that is refused, or "/d/" is no directory,
  // is "/d" asked, which the parent judges (oUsed: the path answered).
  // A path known to be readable as it is (an entry of a listing) is listed
  // as it is.
  int listDir(const std::string& iPath, std::vector<std::string>& oNames, std::string& oUsed, PClientError& oError);
  int dirKindOf(const std::string& iRemote, int& oKind, std::string& oUsed);
  int getFile(const std::string& iRemote, const std::string& iLocal);
  int getTree(const std::string& iRemote, const std::string& iLocal);
  int putFile(const std::string& iLocal, const std::string& iRemote);
  int putTree(const std::string& iLocal, const std::string& iRemote);
  // rm, or rmdir with iDirs: each path in turn while connected; the first
  // failure's exit code.
  int deleteEach(const std::vector<std::string>& iPaths, bool iDirs);
  // MakeDir, then checks that a directory is there.
  int makeRemoteDir(const std::string& iRemote);
  void warn(const std::string& iText);

  PFaSettings fSettings;
  PClient fClient;
  int fSkipped = 0;  // exit code owed for entries a tree copy left out
};
