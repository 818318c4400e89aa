// The comms component: modules bind here, and every peer's session reaches
// them through it, whatever the transport.
//
// Layers (docs/architecture.md): a transport moves bytes between a socket
// and a session (PStreamConnection, over the sockets of PListener, plainly
// or through TLS); the
// session (PSession) cuts frames, keeps its requests in order, slows a peer
// that does not read, ends with a transport error, and hands each request
// to the module bound under its module ID as an ICommsEvent on the module's
// topic, on the worker that serves it. send() writes the reply back to the
// session the request came from. A watcher the host adds for a module
// (zevo/core/PSessionWatcher.h) sees each request and reply of it.
//
// Threading: every operation is thread-safe. Life cycle: create, watch,
// setTls (before listening with TLS), listen, start; setTls again at any
// time; at shut-down stopAccepting, stop the dispatcher's workers, then
// closeAll.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "zevo/IComms.h"
#include "zevo/ILogger.h"
#include "zevo/PExport.h"
#include "zevo/PLogArgs.h"
#include "zevo/PPtr.h"
#include "zevo/PRefCounted.h"
#include "zevo/PStdMutex.h"
#include "zevo/core/PEventDispatcher.h"
#include "zevo/core/PLogThrottle.h"
#include "zevo/core/PSessionGate.h"
#include "zevo/core/PSessionWatcher.h"
#include "zevo/PFd.h"
#include "zevo/protocol/PFrame.h"

struct PCommsSettings {
  uint32_t fFrameMax = kDefaultFrameMax;  // largest frame length accepted
  int fConnectionMax = 64;                // sessions served at once
  size_t fReadAhead = 256 * 1024;         // unsent reply bytes before a session's reading pauses
  // Every Unix socket file that listen() creates gets this mode (0 to
  // 0777, whatever the umask) and group (-1: the process's effective group)
  // before any peer can reach it.
  mode_t fUnixMode = 0660;
  gid_t fUnixGroup = static_cast<gid_t>(-1);
  // A TLS peer whose handshake has not ended by then is disconnected, so
  // that peers without a certificate cannot hold the connections for long.
  int fHandshakeTimeoutMs = 10000;
  // Sessions of one identity (PSessionInfo::fIdentity) served at once; more
  // are refused with ERR_COMMS_BUSY (above fConnectionMax: no more than it).
  int fPerIdentityMax = 16;
  // A frame begun and not complete after fFrameTimeoutMs, and a session that
  // holds nothing of any module (PSessionWatcher::holds) and has neither
  // sent a request nor taken a reply for fIdleTimeoutMs, end with
  // ERR_COMMS_TIMEOUT. 0: no limit.
  int fFrameTimeoutMs = 30000;
  int fIdleTimeoutMs = 300000;
  // Reply and receive buffers of all sessions together. Past it a session
  // holding more than its share (fMemoryMax / fConnectionMax) is not read
  // until its replies drain, a large reply (PSessionWatcher::largeReply)
  // and a frame larger than the receive buffer wait for room.
  size_t fMemoryMax = 64u << 20;
};

// What TLS listeners serve with: PEM files, and the peers allowed.
struct PTlsSettings {
  std::string fCertFile;  // the host's certificate (then any intermediate ones)
  std::string fKeyFile;   // its private key
  std::string fCaFile;    // the CA certificates a peer's certificate must be signed by
  // Allowed peers: subject common names, and "sha256:HEX" fingerprints of
  // whole certificates (colons and upper case allowed). Empty: every
  // certificate the CA signed.
  std::vector<std::string> fAllow;
};

class PCommsEvent;
class PListener;
class PSession;
class PStreamConnection;
class PTlsServer;
struct PExchange;

class ZEVO_EXPORT PComms : public PRefCounted<IComms> {
 public:
  static int create(PEventDispatcher* iDispatcher, const PCommsSettings& iSettings, PBaseptr<PComms>& oComms);

  int unbind(const PLiteral& iModuleID) override;
  int bind(const PLiteral& iModuleID, PString& iTopic) override;
  // The reply to the request being delivered on this thread under iResponseID;
  // ERR_COMMS_NO_EXCHANGE for any other.
  int send(int iResponseID, PCommsMessage& iResponse) override;

  // Where to log (optional); set before start.
  void setLogger(const PBaseptr<ILogger>& iLogger);
  // Adds a watcher of a module, bound or not yet; before start. A module's
  // watchers are asked in the order they were added (zevo/core/PSessionWatcher.h).
  int watch(const PLiteral& iModuleID, std::shared_ptr<PSessionWatcher> iWatcher);
  // Decides each new session's role (zevo/core/PSessionGate.h); before start.
  void setGate(std::shared_ptr<PSessionGate> iGate) { fGate = std::move(iGate); }
  // Loads the TLS material: a peer's handshake from then on uses it, those
  // begun before keep theirs, connected peers stay. A failure (ERR_INVALID_ARG,
  // oError naming the file or entry at fault) changes nothing.
  int setTls(const PTlsSettings& iSettings, std::string& oError) ZEVO_EXCLUDES(fLock);
  // Opens a listening socket (zevo/protocol/PEndpoint.h; port 0 picks a free
  // one); a tls: endpoint needs setTls first. oWhere tells where it listens,
  // oError why it cannot.
  int listen(const std::string& iEndpoint, std::string& oWhere, std::string& oError);
  // Serves a stream socket that already listens (Unix or TCP), such as one a
  // service manager passed; a TCP one with TLS when iTls (setTls first).
  // PComms owns iFd from the call on, whether it succeeds or not; the file
  // of an adopted Unix socket is never removed. ERR_INVALID_ARG with oError
  // when iFd is not a listening stream socket.
  int adopt(int iFd, bool iTls, std::string& oWhere, std::string& oError);
  int start();           // accepts on every listening socket (the dispatcher's workers must run)
  void stopAccepting();  // closes the listening sockets; sessions stay
  void closeAll();       // ends every session; only once the dispatcher's workers have stopped
  size_t sessionCount();
  size_t heldBytes() const { return fHeld.load(std::memory_order_relaxed); }  // the sessions' buffers, as budgeted
  ~PComms() override;  // by the last decRef; ends every session

  // A module bound to a topic, and its watchers in the order added.
  struct Binding {
    PString fModuleID;
    PString fTopic;
    std::string fModuleUtf8;
    std::vector<std::shared_ptr<PSessionWatcher>> fWatchers;
  };

 private:
  friend class PListener;
  friend class PSession;
  friend class PStreamConnection;

  PComms(PEventDispatcher* iDispatcher, const PCommsSettings& iSettings);

  std::shared_ptr<const Binding> findBinding(const std::string& iModuleUtf8) ZEVO_EXCLUDES(fLock);
  unsigned int bindingsVersion() const { return fBindingsVersion.load(std::memory_order_acquire); }
  // A new peer from a listener (iTls: a TLS one): a connection for it, or a
  // refusal when the limit is reached.
  void accepted(int iFd, PSessionInfo iInfo, bool iTls) ZEVO_EXCLUDES(fLock);
  void forget(PStreamConnection* iConnection) ZEVO_EXCLUDES(fLock);
  // A listener joins those start() serves.
  int keep(std::unique_ptr<PListener> iListener, std::string& oWhere) ZEVO_EXCLUDES(fLock);
  // Tells a peer that will not be served why (iCode: ERR_COMMS_BUSY,
  // ERR_COMMS_REFUSED), and closes it; a TLS peer (iTls) is closed without a
  // word, as it has no channel yet.
  void refuse(PFd& ioFd, int iCode, const std::string& iWhy, const std::string& iWho, bool iTls);
  void logRefusal(const std::string& iWho, const std::string& iWhy);  // a warning, throttled
  // Gives ioInfo its role from the gate (write without one); false when it
  // has none, with oWhy for the peer.
  bool admit(PSessionInfo& ioInfo, std::string& oWhy);
  // Disconnects the peers whose TLS handshake has taken too long.
  void expireHandshakes() ZEVO_EXCLUDES(fLock);
  // A session begins (false: refused, its identity has its fill) and ends.
  bool enter(PSession* iSession) ZEVO_EXCLUDES(fLock);
  void leave(PSession* iSession) ZEVO_EXCLUDES(fLock);
  // Ends the sessions past a time-out; resumes those waiting for memory.
  void sweep() ZEVO_EXCLUDES(fLock);
  void resumeWaiting() ZEVO_EXCLUDES(fLock);
  // Budgeted bytes changed by iDelta; a large release is given back to the system.
  void account(ptrdiff_t iDelta);
  void trim();  // freed memory back to the system
  bool hasTls() ZEVO_EXCLUDES(fLock);
  // Delivers one request to its module (or its watcher) on this thread; the
  // reply reaches ioExchange's session through send().
  void deliver(const Binding& iBinding, PExchange& ioExchange, PCommsEvent& ioEvent);
  // " (N like lines suppressed)", or nothing: for the next line fPeerLines lets through.
  static std::wstring suppressed(unsigned long iCount);
  template <class... Args>
  void log(int iLevel, const wchar_t* iFormat, const char* iFunction, const Args&... iArgs) {
    if (fLogger.isNull()) return;
    if (iLevel == LOG_LEVEL_ERROR) fLogger->logError(0, iFormat, iFunction, zevoLogArg(iArgs)...);
    if (iLevel == LOG_LEVEL_WARNING) fLogger->logWarning(0, iFormat, iFunction, zevoLogArg(iArgs)...);
    if (iLevel == LOG_LEVEL_INFO) fLogger->logInfo(0, iFormat, iFunction, zevoLogArg(iArgs)...);
    if (iLevel == LOG_LEVEL_DEBUG) fLogger->logDebug(0, iFormat, iFunction, zevoLogArg(iArgs)...);
  }

  PBaseptr<PEventDispatcher> fDispatcher;
  const PCommsSettings fSettings;
  std::atomic<int> fNextResponseID{1};
  std::atomic<uint64_t> fNextSession{1};
  std::atomic<unsigned int> fBindingsVersion{1};  // changes with every bind and unbind
  PBaseptr<ILogger> fLogger;                      // set before start, read-only afterwards
  std::shared_ptr<PSessionGate> fGate;            // likewise
  // Lines a peer can cause at will (refused connections, transport errors):
  // 20 a second, 100 at once, the rest counted.
  PLogThrottle fPeerLines{20, 100};

  PStdMutex fLock;
  std::map<std::string, std::shared_ptr<const Binding>, std::less<>> fBindings ZEVO_GUARDED_BY(fLock);
  std::map<std::string, std::vector<std::shared_ptr<PSessionWatcher>>> fWatchers ZEVO_GUARDED_BY(fLock);
  std::vector<std::unique_ptr<PListener>> fListeners ZEVO_GUARDED_BY(fLock);
  std::set<PStreamConnection*> fConnections ZEVO_GUARDED_BY(fLock);
  std::shared_ptr<const PTlsServer> fTls ZEVO_GUARDED_BY(fLock);  // null until setTls
  std::set<PSession*> fSessions ZEVO_GUARDED_BY(fLock);
  std::map<std::string, int> fIdentities ZEVO_GUARDED_BY(fLock);  // sessions served per identity
  std::atomic<size_t> fHeld{0};
  std::atomic<bool> fTrimWanted{false};  // a large reply was built since the last trim
  class Sweeper;
  std::unique_ptr<Sweeper> fTimer;  // set by start, gone at closeAll
};
