// zevofa's commands on one connection. Each answers the program's exit code
// and has said what failed through its reporter. The commands are in
// PFaCommands.cpp (directories, deletes, renames, modes), PFaQueries.cpp
// (ls, stat, sum, whoami), PFaTransfers.cpp (get, put) and PFaSync.cpp
// (sync). The queries print their answers on standard output themselves;
// a fleet runs them in a child zevofa (PFleet.h).
#pragma once

#include <signal.h>

#include <string>
#include <vector>

#include "PProgressBar.h"
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
  std::shared_ptr<PBrokerShare> fBrokers;  // the broker connections a fleet's sessions share
  long long fChunk = 0;  // --chunk, 0: the default of the transfer
  bool fVerbose = false;
  bool fQuiet = false;
  bool fProgress = false;     // standard error is a terminal and not quiet
  bool fOutTerminal = false;  // standard output is a terminal: names are escaped
  bool fErrTerminal = false;
};

// What a command was given besides the common options.
struct PFaArgs {
  std::vector<std::string> fOperands;
  bool fLong = false;
  bool fRecursive = false;
  bool fPreserve = false;
  bool fContinue = false;
  bool fVerify = false;
  bool fJson = false;
  bool fDelete = false;
  bool fDryRun = false;
  bool fChecksum = false;
  bool fNoClobber = false;
};

// Options of commands, each allowed where zevofa's table of commands says:
// the flag of PFaArgs each sets.
struct PFaOption {
  const char* fLong;
  char fShort;  // 0: none
  bool PFaArgs::*fField;
};
extern const std::vector<PFaOption> kFaOptions;

// Whether zevofa's command iCommand ("get") takes the option iOption
// ("--preserve"), as its row of the table of commands says (zevofa.cpp).
bool commandTakes(const std::string& iCommand, const std::string& iOption);

// A count with an optional K or M suffix; -1 when malformed.
long long parseBytes(const std::string& iText);
// Seconds (fractions allowed) as milliseconds; -1 when malformed or not
// 0.001 to 86400.
int parseSeconds(const std::string& iText);

// A tree on either side: paths relative to its root ("/" between
// components), with attributes, sorted by path (a directory before what it
// holds).
struct PFaTree {
  struct Entry {
    std::string fPath;
    PRemoteStat fStat;
  };
  std::vector<Entry> fEntries;
};

// iDir/iName with one "/" between them; either alone when the other is empty.
inline std::string joinPath(const std::string& iDir, const std::string& iName) {
  if (iName.empty() || iDir.empty()) return iDir + iName;
  return iDir.back() == '/' ? iDir + iName : iDir + "/" + iName;
}

// The last component of a path, trailing slashes ignored; "" for "/".
inline std::string lastComponent(const std::string& iPath) {
  size_t end = iPath.size();
  while (end > 0 && iPath[end - 1] == '/') --end;
  const size_t slash = iPath.rfind('/', end == 0 ? 0 : end - 1);
  const size_t begin = slash == std::string::npos || end == 0 ? 0 : slash + 1;
  return iPath.substr(begin, end - begin);
}

// Prints "zevofa: <text>" on standard error.
void faMessage(const std::string& iText);

// One change sync makes, as its itemised line says it.
struct PFaChange {
  std::string fItem;    // ">f.st..", "*deleting"
  const char* fAction;  // "delete", "mkdir", "copy", "attributes"
  std::string fPath;    // relative to the roots, "." for the roots
  PRemoteKind fKind;    // of the source (of what is deleted)
};

// Where a session's words go: zevofa's standard error, standard output and
// progress bar (PFaConsole), or one device's part of a fleet's report.
// Called by the session's thread only.
class PFaReporter {
 public:
  virtual ~PFaReporter() = default;
  // A line for people: a failure (iFailure), or a warning or what
  // --verbose says.
  virtual void message(const std::string& iText, bool iFailure) = 0;
  virtual void change(const PFaChange& iChange) = 0;
  // A transfer (one file, or a batch) begins, moves (iTotal -1: unknown)
  // and ends.
  virtual void begin(const std::string& iLabel) = 0;
  virtual void progress(long long iDone, long long iTotal) = 0;
  virtual void end() = 0;
};

// zevofa's own: messages as "zevofa: TEXT" on standard error (clearing the
// progress bar first), changes on standard output (iJson: one JSON object
// a line), the bar on standard error when iSettings.fProgress.
class PFaConsole final : public PFaReporter {
 public:
  PFaConsole(const PFaSettings& iSettings, bool iJson) : fBar(iSettings.fProgress), fOutTerminal(iSettings.fOutTerminal), fJson(iJson) {}
  void message(const std::string& iText, bool iFailure) override;
  void change(const PFaChange& iChange) override;
  void begin(const std::string& iLabel) override { fBar.start(iLabel); }
  void progress(long long iDone, long long iTotal) override { fBar.update(iDone, iTotal); }
  void end() override { fBar.finish(); }

 private:
  PProgressBar fBar;
  const bool fOutTerminal;
  const bool fJson;
};

class PFaSession {
 public:
  // ioReporter outlives the session.
  PFaSession(const PFaSettings& iSettings, PFaReporter& ioReporter);

  // iTransfers: a command that copies files says once when the host lacks
  // the file-operations module.
  int connect(bool iTransfers);

  int ls(const PFaArgs& iArgs);
  int stat(const PFaArgs& iArgs);
  int sum(const PFaArgs& iArgs);
  int whoami(const PFaArgs& iArgs);
  int mkdir(const PFaArgs& iArgs);
  int rm(const PFaArgs& iArgs);
  int rmdir(const PFaArgs& iArgs);
  int mv(const PFaArgs& iArgs);
  int chmod(const PFaArgs& iArgs);
  int get(const PFaArgs& iArgs);
  int put(const PFaArgs& iArgs);
  int sync(const PFaArgs& iArgs);

 private:
  friend class PFaSyncRun;
  using Tree = PFaTree;
  int report(const PClientError& iError, const std::string& iHint = "");
  int reportLocal(int iErrno, const std::string& iPath, const std::string& iHint = "");
  int interrupted();
  void warn(const std::string& iText);
  void say(const std::string& iText) { fReporter.message(iText, true); }  // a failure
  void note(const std::string& iText) { fReporter.message(iText, false); }
  // Keeps the first failure's exit code in ioStatus.
  static void keepFirst(int& ioStatus, int iResult) {
    if (ioStatus == kExitOk) ioStatus = iResult;
  }
  std::string out(const std::string& iName) const;  // a name for standard output

  // Remote operands: checked absolute, wildcards expanded against listings
  // (oPaths: each match); the exit code of what failed.
  int remoteOperands(const std::vector<std::string>& iOperands, std::vector<std::string>& oPaths);
  int expand(const std::string& iPattern, std::vector<std::string>& oPaths);
  // What iRemote names, as a directory first when iAsDir ("/d/", which the
  // directory itself judges) and then as written, which its parent judges
  // (oUsed: the form that answered).
  int statRemote(const std::string& iRemote, bool iAsDir, PRemoteStat& oStat, std::string& oUsed);
  int listDir(const std::string& iPath, std::vector<PRemoteEntry>& oEntries, std::string& oUsed, PClientError& oError);

  // Transfers (PFaTransfers.cpp).
  int getOne(const std::string& iRemote, const std::string& iLocal, const PFaArgs& iArgs);
  int putOne(const std::string& iLocal, const std::string& iRemote, const PFaArgs& iArgs);
  int getTree(const std::string& iRemote, const std::string& iLocal, const PFaArgs& iArgs);
  int putTree(const std::string& iLocal, const std::string& iRemote, const PFaArgs& iArgs);
  // Many files in flight: downloads (iUp false) or uploads; each failure
  // said as it comes.
  int runBatch(bool iUp, const std::vector<PFileJob>& iJobs, bool iVerify, const std::string& iLabel);
  // What a transfer's progress and cancel go through.
  PTransferControl control();
  // Sets the times (and modes) of directories a tree copy made, deepest
  // first, once their files are in.
  int dirAttributes(bool iUp, const std::vector<PFileJob>& iDirs);
  // The tree below a local directory; iAll: links and special files too
  // (as kLink and kOther), else they are skipped with a warning.
  int localTree(const std::string& iRoot, Tree& oTree, bool iAll);
  int remoteTree(const std::string& iRoot, Tree& oTree);
  int transferResult(int iResult, const std::string& iWhat, bool iLocalSide, const char* iRecursiveHint);

  PFaSettings fSettings;
  PFaReporter& fReporter;
  PClient fClient;
  bool fOps = false;  // the host serves the file-operations module
  int fSkipped = 0;   // exit code owed for entries a tree copy left out
};
