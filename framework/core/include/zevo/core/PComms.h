// The comms component: modules bind here, and every peer's session reaches
// them through it, whatever the transport.
//
// Layers (docs/architecture.md): a transport (zevo/core/PTransport.h),
// registered under its scheme, moves bytes between its peers and their
// sessions; the session (zevo/core/PSession.h) cuts frames, keeps its
// requests in order, slows a peer that does not read, ends with a transport
// error, and hands each request to the module bound under its module ID as
// an ICommsEvent on the module's topic, on the worker that serves it. send()
// writes the reply back to the session the request came from. A watcher the
// host adds for a module (zevo/core/PSessionWatcher.h) sees each request and
// reply of it. PComms keeps the bindings and the sessions' limits: per
// identity, per transport, the reserves, the handshake budget, the memory
// budget, the time-outs (a sweep once a second at most).
//
// Threading: every operation is thread-safe. Life cycle: create, watch,
// setGate, addTransport, listen/adopt, start; at shut-down stopAccepting,
// stop the dispatcher's workers, then closeAll.
#pragma once

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
#include "zevo/core/PCommsSettings.h"
#include "zevo/core/PEventDispatcher.h"
#include "zevo/core/PLogThrottle.h"
#include "zevo/core/PSessionGate.h"
#include "zevo/core/PSessionWatcher.h"
#include "zevo/core/PTransport.h"

class PReactor;
class PSession;
struct PExchange;
class PCommsEvent;

class ZEVO_EXPORT PComms : public PRefCounted<IComms> {
 public:
  static int create(PEventDispatcher* iDispatcher, const PCommsSettings& iSettings, PBaseptr<PComms>& oComms);

  int unbind(const PLiteral& iModuleID) override;
  int bind(const PLiteral& iModuleID, PString& iTopic) override;
  // The reply to the request being delivered on this thread under iResponseID;
  // ERR_COMMS_NO_EXCHANGE for any other.
  int send(int iResponseID, PCommsMessage& iResponse) override;
  // The same with a file's bytes after the payload, for a session whose
  // transport carries them (PTransportLink::carriesFiles).
  int sendFile(int iResponseID, PCommsMessage& iResponse, const PFileSpan& iSpan) override;

  // Where to log (optional); set before start.
  void setLogger(const PBaseptr<ILogger>& iLogger);
  // Adds a watcher of a module, bound or not yet; before start. A module's
  // watchers are asked in the order they were added (zevo/core/PSessionWatcher.h).
  int watch(const PLiteral& iModuleID, std::shared_ptr<PSessionWatcher> iWatcher);
  // Decides each new session's role (zevo/core/PSessionGate.h); before start.
  void setGate(std::shared_ptr<PSessionGate> iGate) { fGate = std::move(iGate); }
  // Registers a transport under its scheme; before listening. ERR_ALREADY
  // when the scheme has one.
  int addTransport(std::shared_ptr<PTransport> iTransport);
  // Opens a listener through the transport of the endpoint's scheme (port 0
  // picks a free one), not yet taking peers: oWhere tells where it listens,
  // oError why it cannot (an unknown scheme: ERR_INVALID_ARG).
  int listen(const std::string& iEndpoint, std::string& oWhere, std::string& oError);
  // Serves a socket that already listens, such as one a service manager
  // passed, through the transport of iScheme. PComms owns iFd from the call
  // on, whether it succeeds or not.
  int adopt(const std::string& iScheme, int iFd, std::string& oWhere, std::string& oError);
  // Every listener takes peers from now on (the dispatcher's workers must
  // run, and the host must have given up privileges it will not keep).
  int start();
  void stopAccepting();  // listeners take no more peers; sessions stay
  void closeAll();       // ends every session and connection; only once the dispatcher's workers have stopped
  size_t sessionCount();     // sessions holding a place
  size_t connectionCount() const { return fLinkCount.load(std::memory_order_relaxed); }  // sessions and handshakes alike
  size_t heldBytes() const { return fHeld.load(std::memory_order_relaxed); }  // the sessions' buffers, as budgeted
  std::vector<std::string> modules() ZEVO_EXCLUDES(fLock);  // the module IDs bound now (UTF-8), in order
  ~PComms() override;  // by the last decRef; ends every session

  // A module bound to a topic, and its watchers in the order added.
  struct Binding {
    PString fModuleID;
    PString fTopic;
    std::string fModuleUtf8;
    std::vector<std::shared_ptr<PSessionWatcher>> fWatchers;
  };

  // ---- For transports (zevo/core/PTransport.h); thread-safe ----
  const PCommsSettings& settings() const { return fSettings; }
  PReactor& reactor();
  uint64_t nextNumber() { return fNextSession.fetch_add(1, std::memory_order_relaxed); }  // for a new PSessionInfo
  // Every connection, from when it is made until it ends: closeAll ends
  // those left. The link must stay valid until detach.
  void attach(PTransportLink* iLink) ZEVO_EXCLUDES(fLock);
  void detach(PTransportLink* iLink) ZEVO_EXCLUDES(fLock);
  // A connection that shakes hands before its session begins counts against
  // the handshake budget from beginHandshake until endHandshake (call both
  // after attach, before detach). When iAddress has its fill of handshakes,
  // the one of it waiting longest is dropped (its link interrupted hard);
  // when the budget is full, the one waiting longest of all; and one past
  // its time (the sweep). So a peer whose handshake ends at once gets
  // through silent ones from its own address too. droppedWhy: why a link
  // was dropped, or null.
  void beginHandshake(PTransportLink* iLink, const std::string& iAddress) ZEVO_EXCLUDES(fLock);
  void endHandshake(PTransportLink* iLink) ZEVO_EXCLUDES(fLock);
  const char* droppedWhy(PTransportLink* iLink) ZEVO_EXCLUDES(fLock);
  // Gives ioInfo its role from the gate (write without one); false when it
  // has none, with oWhy for the peer.
  bool admit(PSessionInfo& ioInfo, std::string& oWhy);
  // A warning a peer can cause at will (a refusal, a failed handshake): at
  // most 20 a second and 100 at once; the next line let through says how
  // many were dropped.
  void logPeer(const std::string& iText);
  template <class... Args>
  void log(int iLevel, const wchar_t* iFormat, const char* iFunction, const Args&... iArgs) {
    if (fLogger.isNull()) return;
    if (iLevel == LOG_LEVEL_ERROR) fLogger->logError(0, iFormat, iFunction, zevoLogArg(iArgs)...);
    if (iLevel == LOG_LEVEL_WARNING) fLogger->logWarning(0, iFormat, iFunction, zevoLogArg(iArgs)...);
    if (iLevel == LOG_LEVEL_INFO) fLogger->logInfo(0, iFormat, iFunction, zevoLogArg(iArgs)...);
    if (iLevel == LOG_LEVEL_DEBUG) fLogger->logDebug(0, iFormat, iFunction, zevoLogArg(iArgs)...);
  }

 private:
  friend class PSession;  // the session layer's other half: admission, budget, delivery

  PComms(PEventDispatcher* iDispatcher, const PCommsSettings& iSettings);

  std::shared_ptr<const Binding> findBinding(const std::string& iModuleUtf8) ZEVO_EXCLUDES(fLock);
  unsigned int bindingsVersion() const { return fBindingsVersion.load(std::memory_order_acquire); }
  std::vector<std::shared_ptr<const Binding>> watchedBindings() ZEVO_EXCLUDES(fLock);
  // A session takes its place (false, with oWhy: refused) and gives it back.
  bool enter(PSession* iSession, std::string& oWhy) ZEVO_EXCLUDES(fLock);
  void leave(PSession* iSession) ZEVO_EXCLUDES(fLock);
  bool fits(const PSessionInfo& iInfo) const ZEVO_REQUIRES(fLock);
  // When iInfo does not fit: the oldest session of the identity holding the
  // most places yields (when that identity holds at least two more than
  // iInfo's); false when none must.
  bool makeRoom(const PSessionInfo& iInfo) ZEVO_REQUIRES(fLock);
  void count(PSession* iSession, int iDelta) ZEVO_REQUIRES(fLock);
  // Whether a large reply of iSession may be built now (the memory budget, or its identity's share).
  bool roomForLargeReply(const PSession& iSession) ZEVO_EXCLUDES(fLock);
  // Ends the sessions past a time-out, drops handshakes past theirs, resumes
  // sessions waiting for memory.
  void sweep() ZEVO_EXCLUDES(fLock);
  void resumeWaiting() ZEVO_EXCLUDES(fLock);
  void dropHandshake(PTransportLink* iLink, const char* iWhy) ZEVO_REQUIRES(fLock);
  // Budgeted bytes changed by iDelta; a large release is given back to the system.
  void account(ptrdiff_t iDelta);
  void trim();  // freed memory back to the system
  // send() and sendFile() (iSpan non-null).
  int reply(int iResponseID, PCommsMessage& iResponse, const PFileSpan* iSpan);
  // Delivers one request to its module (or its watcher) on this thread; the
  // reply reaches ioExchange's session through send().
  void deliver(const Binding& iBinding, PExchange& ioExchange, PCommsEvent& ioEvent);
  // " (N like lines suppressed)", or nothing: for the next line fPeerLines lets through.
  static std::wstring suppressed(unsigned long iCount);

  struct Handshake {
    std::string fAddress;
    int64_t fSince = 0;              // steady clock, ms
    uint64_t fOrder = 0;             // the order they began in
    const char* fDropped = nullptr;  // why it is being dropped; it no longer counts
  };

  PBaseptr<PEventDispatcher> fDispatcher;
  const PCommsSettings fSettings;
  std::atomic<int> fNextResponseID{1};
  std::atomic<uint64_t> fNextSession{1};
  std::atomic<unsigned int> fBindingsVersion{1};  // changes with every bind and unbind
  PBaseptr<ILogger> fLogger;                      // set before start, read-only afterwards
  std::shared_ptr<PSessionGate> fGate;            // likewise
  // Lines a peer can cause at will (refused connections, failed handshakes,
  // transport errors): 20 a second, 100 at once, the rest counted.
  PLogThrottle fPeerLines{20, 100};

  PStdMutex fLock;
  std::map<std::string, std::shared_ptr<const Binding>, std::less<>> fBindings ZEVO_GUARDED_BY(fLock);
  std::map<std::string, std::vector<std::shared_ptr<PSessionWatcher>>> fWatchers ZEVO_GUARDED_BY(fLock);
  std::map<std::string, std::shared_ptr<PTransport>> fTransports ZEVO_GUARDED_BY(fLock);
  std::vector<std::unique_ptr<PTransportListener>> fListeners ZEVO_GUARDED_BY(fLock);
  std::set<PTransportLink*> fLinks ZEVO_GUARDED_BY(fLock);
  std::map<PTransportLink*, Handshake> fHandshakes ZEVO_GUARDED_BY(fLock);
  std::map<std::string, int> fHandshakesPerAddress ZEVO_GUARDED_BY(fLock);  // those not dropped
  int fHandshakesCounted ZEVO_GUARDED_BY(fLock) = 0;                       // likewise
  uint64_t fHandshakeOrder ZEVO_GUARDED_BY(fLock) = 0;
  std::set<PSession*> fSessions ZEVO_GUARDED_BY(fLock);
  // Places held: per identity, per transport, of network transports, all.
  std::map<std::string, int> fIdentities ZEVO_GUARDED_BY(fLock);
  std::map<std::string, int> fPerTransport ZEVO_GUARDED_BY(fLock);
  int fNetworkCount ZEVO_GUARDED_BY(fLock) = 0;
  int fCounted ZEVO_GUARDED_BY(fLock) = 0;
  std::atomic<size_t> fHeld{0};
  std::atomic<size_t> fLinkCount{0};  // fLinks.size(), read without the lock
  std::atomic<bool> fTrimWanted{false};  // a large reply was built since the last trim
  class Sweeper;
  std::unique_ptr<Sweeper> fTimer;  // set by start, gone at closeAll
};
