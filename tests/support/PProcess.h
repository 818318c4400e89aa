// Programs of the build as child processes: a zevohost on a configuration
// in a temporary directory, zevofa with its streams captured, and a client
// that speaks raw frames.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "PByteChannel.h"
#include "PTestSupport.h"
#include "zevo/PFd.h"
#include "zevo/protocol/PFrame.h"

using std::chrono::milliseconds;

// Variables set over this process's environment ("NAME=value"), the working
// directory (empty: this one), and a listening socket passed as descriptor 3
// the way systemd passes one (LISTEN_FDS=1, LISTEN_PID the child's).
struct PSpawn {
  std::vector<std::string> fEnvironment;
  std::string fCwd;
  int fListenFd = -1;
  int fFileLimit = 0;  // descriptors the child may hold (0: as this process)
  bool fNative = false;  // a program of the build machine: never through the emulator
};

// A program of the build started through the emulator if there is one: its
// standard output and error collected, its input a pipe fed from here.
class PChild {
 public:
  explicit PChild(std::vector<std::string> iArgs, const PSpawn& iSpawn = {});
  ~PChild() { wait(milliseconds(5000)); }

  pid_t pid() const { return fPid; }
  bool running();  // false once it has exited (its status kept for wait)
  bool write(const std::vector<unsigned char>& iBytes);  // false once the child stopped reading
  // Closes the input and waits for the exit (SIGKILL after iTimeout): the
  // exit status, 128 + signal, or -1 when it had to be killed.
  int wait(milliseconds iTimeout = milliseconds(30000));
  std::string out() { return text(0); }  // what it wrote so far
  std::string err() { return text(1); }

 private:
  std::string text(int iWhich);
  pid_t fPid = -1;
  int fStatus = -1;
  PFd fIn;
  PFd fText[2];  // memory files its standard output and error go to
};

// A zevohost serving data() (read and write) on its own configuration.
class PHostProcess {
 public:
  PHostProcess();
  ~PHostProcess() { stop(); }
  void setConfig(const std::string& iSet, const std::string& iText) { writeText(fDir / ("etc/" + iSet + ".conf"), iText); }
  // A host set (debug log, a Unix socket, iExtraHostLines) and a policy
  // granting data/, and drop/ for writing only.
  void useDefaultConfig(const std::string& iExtraHostLines = "");
  // Starts it in iCwd (empty: this directory), with iListenFd passed as
  // systemd would (PSpawn); true once it listens.
  bool start(const std::vector<std::string>& iExtraArgs = {}, const std::string& iCwd = "", int iListenFd = -1);
  int stop();  // SIGTERM, then its exit status (-1: not running)
  std::string endpoint() const { return fEndpoints.empty() ? "" : fEndpoints[0]; }
  std::vector<std::string> endpoints() const { return fEndpoints; }
  std::string data(const std::string& iName = "") const { return fDir / ("data/" + iName); }
  std::string configDir() const { return fDir / "etc"; }
  pid_t pid() const { return fChild ? fChild->pid() : -1; }
  std::string output() { return fChild ? fChild->err() : ""; }
  int descriptorsOn(const std::string& iPath) const { return pid() > 0 ? ::descriptorsOn(iPath, pid()) : 0; }

  PTempDir fDir;
  int fFileLimit = 0;      // the host's descriptor limit (0: this process's)
  bool fFileOps = false;   // useDefaultConfig loads the file-operations plug-in too

 private:
  std::unique_ptr<PChild> fChild;
  std::vector<std::string> fEndpoints;
};

// A stream socket bound to iPath (empty: TCP on 127.0.0.1, any port),
// listening or not.
PFd streamSocket(const std::string& iPath, bool iListening);

struct PWireFrame {
  uint8_t fKind = 0;
  uint32_t fExchange = 0;
  int32_t fWord = 0;
  std::string fModule;
  std::vector<unsigned char> fPayload;
};

// The test certificates (cmake/ZevoTestCerts.cmake): "ca.pem", "client.key"...
inline std::string certificate(const std::string& iName) { return ZEVO_TEST_CERTS "/" + iName; }
// Host settings lines that serve TLS with them.
inline std::string tlsLines() {
  return "tls.cert = " + certificate("server.pem") + "\ntls.key = " + certificate("server.key") + "\ntls.ca = " +
         certificate("ca.pem") + "\n";
}

// What a TLS client shows and checks: PEM files of test certificates by name
// ("client": client.pem and client.key; empty: none), and an old client
// that speaks TLS 1.2 at most.
struct PTlsFiles {
  std::string fCa = "ca";
  std::string fCert = "client";
  bool fOld = false;
};

// A connection speaking frames, plainly or through TLS.
class PWireClient {
 public:
  PWireClient() = default;
  explicit PWireClient(const std::string& iEndpoint, const PTlsFiles& iTls = {}) { connect(iEndpoint, iTls); }
  ~PWireClient() { close(); }
  PWireClient(const PWireClient&) = delete;
  PWireClient& operator=(const PWireClient&) = delete;

  // A tls: endpoint: true once the host has accepted the handshake; an
  // mqtt: one (mqtt://BROKER:PORT/DEVICE), once its session can begin.
  bool connect(const std::string& iEndpoint, const PTlsFiles& iTls = {});
  void close();
  bool sendRaw(const std::vector<unsigned char>& iBytes);
  // What the connection takes of iBytes now, without waiting: the count taken.
  size_t offer(const std::vector<unsigned char>& iBytes);
  bool send(uint32_t iExchange, uint32_t iAction, const std::vector<unsigned char>& iPayload);
  // The next frame; false at the end of the connection or after iTimeout.
  bool receive(PWireFrame& oFrame, milliseconds iTimeout = milliseconds(10000));
  // Sends nothing more: the socket's sending side shut down, or a broker
  // session's close message.
  void endSending();
  PWireFrame call(uint32_t iAction, const std::vector<unsigned char>& iPayload);  // a reply expected
  // The host closed the connection (end of stream or reset) within iTimeout.
  bool closedByPeer(milliseconds iTimeout = milliseconds(10000));
  int fd() const { return fFd.get(); }

 private:
  bool await(bool iWrite, milliseconds iTimeout);  // the socket as the channel's last call needs it
  PFd fFd;
  std::unique_ptr<PByteChannel> fChannel;
  uint32_t fNextExchange = 1;
};
