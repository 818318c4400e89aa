// End-to-end test support: a real zevohost process on a configuration in a
// temporary directory, and a client that speaks raw frames to it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "PTestSupport.h"
#include "zevo/PStdMutex.h"
#include "zevo/core/PFrame.h"

// Starts a program of the build (through the emulator in a cross build)
// with iFds as its standard input, output and error (-1: this process's),
// iEnvironment (null: this process's) and working directory iCwd (empty:
// this one); its pid, or -1.
pid_t spawnProgram(std::vector<std::string> iArgs, const int (&iFds)[3], char* const* iEnvironment = nullptr,
                   const std::string& iCwd = "");
// Waits for iPid to exit, killing it after iTimeout: its exit status, 128 +
// the signal that ended it, or -1 when it had to be killed.
int waitExit(pid_t iPid, std::chrono::milliseconds iTimeout);
// Text that one thread appends to while others read it.
class PCollectedText {
 public:
  void append(const char* iData, size_t iSize);
  std::string text();
  void clear();

 private:
  PStdMutex fLock;
  std::string fText ZEVO_GUARDED_BY(fLock);
};
// Appends what iFd delivers to ioText until its end; closes it.
void collectOutput(int iFd, PCollectedText& ioText);

// A zevohost started on its own configuration directory, serving a data
// tree under the same temporary directory; stopped with SIGTERM.
class PHostProcess {
 public:
  PHostProcess();
  ~PHostProcess();

  // The files written before start (set names without ".conf").
  void setConfig(const std::string& iSet, const std::string& iText);
  // A host set and a file-access set granting read and write on data/.
  void useDefaultConfig(const std::string& iExtraHostLines = "");

  // Starts the host; waits until it listens (true) or exits (false).
  bool start(const std::vector<std::string>& iExtraArgs = {});
  // SIGTERM, then waits; the exit status (-1 when it had to be killed).
  int stop();
  // Runs the host to its exit (for start-up failures): the exit status.
  int runToExit(const std::vector<std::string>& iArgs, std::string& oStderr, int iTimeoutSeconds = 20);

  std::string endpoint() const { return fEndpoint; }  // unix:... or tcp:...
  std::string data() const { return fDir / "data"; }
  std::string configDir() const { return fDir / "etc"; }
  pid_t pid() const { return fPid; }
  std::string output();  // what the host wrote to stderr so far
  // Whether the host writes iText to stderr within iTimeout.
  bool waitForOutput(const std::string& iText, std::chrono::milliseconds iTimeout = std::chrono::milliseconds(10000));
  // Descriptors of the host that refer to iPath.
  int descriptorsOn(const std::string& iPath) const;
  long residentKiB() const;

  PTempDir fDir;

 private:
  pid_t fPid = -1;
  std::thread fReader;  // keeps the pipe drained so that logging never blocks the host
  PCollectedText fOutput;
  std::string fEndpoint;
};

struct PWireFrame {
  uint8_t fKind = 0;
  uint32_t fExchange = 0;
  int32_t fWord = 0;
  std::string fModule;
  std::vector<unsigned char> fPayload;
};

// A blocking client connection speaking frames.
class PWireClient {
 public:
  PWireClient() = default;
  ~PWireClient();
  PWireClient(const PWireClient&) = delete;
  PWireClient& operator=(const PWireClient&) = delete;

  bool connect(const std::string& iEndpoint);
  void close();
  bool sendRaw(const std::vector<unsigned char>& iBytes);
  bool sendRequest(uint32_t iExchange, uint32_t iAction, const std::vector<unsigned char>& iPayload,
                   const std::string& iModule = "com.quorbex.zevo.fileaccess");
  // The next frame; false on end of connection or after iTimeout.
  bool receive(PWireFrame& oFrame, std::chrono::milliseconds iTimeout = std::chrono::milliseconds(10000));
  // Sends one request and returns its reply (kind 2 expected).
  PWireFrame call(uint32_t iAction, const std::vector<unsigned char>& iPayload);
  // True when the host has closed the connection (EOF within iTimeout).
  bool closedByPeer(std::chrono::milliseconds iTimeout = std::chrono::milliseconds(10000));
  int fd() const { return fFd; }

 private:
  bool readExactly(unsigned char* oBytes, size_t iCount, std::chrono::steady_clock::time_point iDeadline);
  int fFd = -1;
  uint32_t fNextExchange = 1;
};
