// Support for the client's end-to-end tests: a zevohost with a data tree it
// grants and a directory it refuses, the zevofa program run as a child with
// its standard streams captured, and a server that never answers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../e2e/PHostProcess.h"

// Bytes holding every value 0 to 255, in runs and mixed, so that a dropped,
// doubled, reordered or altered byte shows.
std::vector<unsigned char> allByteValues(size_t iCount);

std::string textOf(const std::vector<unsigned char>& iBytes);

// Writes a tree under iRoot: nested directories, empty files, an empty
// directory, binary files; the relative paths of its files.
std::vector<std::string> makeTree(const std::string& iRoot);
// Whether two local trees hold the same directories and the same files byte
// for byte; iWhy says the first difference.
bool sameTree(const std::string& iLeft, const std::string& iRight, std::string& iWhy);

// A host serving data() (read and write) and refusing secret().
class PClientHost : public PHostProcess {
 public:
  PClientHost();
  std::string secret() const { return fDir / "secret"; }
  std::string file(const std::string& iName) const { return data() + "/" + iName; }
};

struct PRun {
  int fExit = -1;  // -1: did not end in time
  std::string fOut;
  std::string fErr;
};

// How zevofa is started: extra environment entries ("NAME=value"), its
// working directory, and a descriptor for its standard error (else a pipe).
struct PZevofaSetup {
  std::vector<std::string> fEnvironment;
  std::string fCwd;
  int fStderrFd = -1;
};

// zevofa as a child process: arguments, its standard input fed from here,
// its output collected; ZEVOFA_ENDPOINT is not inherited.
class PZevofa {
 public:
  explicit PZevofa(const std::vector<std::string>& iArgs, const PZevofaSetup& iSetup = {});
  ~PZevofa();
  PZevofa(const PZevofa&) = delete;
  PZevofa& operator=(const PZevofa&) = delete;

  bool started() const { return fPid > 0; }
  pid_t pid() const { return fPid; }
  // False when the child stopped reading.
  bool write(const std::vector<unsigned char>& iBytes);
  void closeInput();
  void signal(int iSignal);
  // Closes the input and waits for the exit; SIGKILL after iTimeout.
  PRun wait(std::chrono::milliseconds iTimeout = std::chrono::milliseconds(20000));
  std::string output();

 private:
  pid_t fPid = -1;
  int fIn = -1;
  std::thread fOutReader;
  std::thread fErrReader;
  PCollectedText fOut;
  PCollectedText fErr;
};

// Runs zevofa to its end with iInput on its standard input.
PRun runZevofa(const std::vector<std::string>& iArgs, const std::string& iInput = "",
               const PZevofaSetup& iSetup = {});

// A Unix socket that takes connections into its backlog and never answers.
class PSilentServer {
 public:
  PSilentServer();
  ~PSilentServer();
  std::string endpoint() const { return "unix:" + fPath; }

 private:
  PTempDir fDir;
  std::string fPath;
  int fFd = -1;
};
