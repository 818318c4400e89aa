#include "zevo/core/PComms.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>

#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <new>

#include "PListener.h"
#include "PReactor.h"
#include "PSession.h"
#include "PStreamConnection.h"
#include "PTlsServer.h"
#include "zevo/PErrors.h"
#include "zevo/PLogArgs.h"
#include "zevo/PUtils.h"

int PComms::create(PEventDispatcher* iDispatcher, const PCommsSettings& iSettings, PBaseptr<PComms>& oComms) {
  if (iDispatcher == nullptr || iSettings.fFrameMax < kFrameMinLength || iSettings.fConnectionMax < 1 ||
      iSettings.fPerIdentityMax < 1 || iSettings.fFrameTimeoutMs < 0 ||
      iSettings.fIdleTimeoutMs < 0) {
    return ERR_INVALID_ARG;
  }
  PComms* comms = new (std::nothrow) PComms(iDispatcher, iSettings);
  if (comms == nullptr) return ERR_NO_MEMORY;
  oComms = comms;
  return 0;
}

// Ticks on the first worker: disconnects the peers whose handshake has taken
// too long, ends the sessions past a time-out, resumes those waiting for memory.
class PComms::Sweeper final : public PReactorHandler {
 public:
  explicit Sweeper(PComms& iComms) : fComms(iComms) {}
  int start() {
    int shortest = fComms.fSettings.fHandshakeTimeoutMs;
    for (int limit : {fComms.fSettings.fFrameTimeoutMs, fComms.fSettings.fIdleTimeoutMs}) {
      if (limit > 0) shortest = std::min(shortest, limit);
    }
    const int periodMs = std::clamp(shortest / 4, 10, 1000);
    fFd.reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    itimerspec period{};
    period.it_interval.tv_sec = periodMs / 1000;
    period.it_interval.tv_nsec = (periodMs % 1000) * 1000000L;
    period.it_value = period.it_interval;
    if (!fFd.valid() || timerfd_settime(fFd.get(), 0, &period, nullptr) != 0) return PErrors::fromErrno(errno);
    return fComms.fDispatcher->reactor().add(fFd.get(), this, EPOLLIN, 0);
  }
  void onReady(uint32_t) override {
    uint64_t ticks = 0;
    if (::read(fFd.get(), &ticks, sizeof ticks) <= 0) return;
    fComms.expireHandshakes();
    fComms.sweep();
  }
  void stop() {
    if (fFd.valid()) fComms.fDispatcher->reactor().remove(fFd.get(), this);
  }

 private:
  PComms& fComms;
  PFd fFd;
};

PComms::PComms(PEventDispatcher* iDispatcher, const PCommsSettings& iSettings)
    : fDispatcher(iDispatcher), fSettings(iSettings) {}

PComms::~PComms() { closeAll(); }

void PComms::setLogger(const PBaseptr<ILogger>& iLogger) { fLogger = iLogger; }

int PComms::bind(const PLiteral& iModuleID, PString& iTopic) {
  if (iModuleID.len() == 0 || iTopic.len() == 0) return ERR_INVALID_ARG;
  std::string utf8;
  if (PUtils::toUtf8(iModuleID, utf8) != 0 || utf8.size() > 0xFFFF) return ERR_INVALID_ARG;
  try {
    auto binding = std::make_shared<Binding>();
    binding->fModuleID = PString(iModuleID);
    binding->fTopic = iTopic;
    binding->fModuleUtf8 = utf8;
    PStdMutexLock lock(fLock);
    auto found = fBindings.find(utf8);
    if (found != fBindings.end()) return found->second->fTopic.cmp(iTopic) == 0 ? 0 : ERR_ALREADY;
    auto watcher = fWatchers.find(utf8);
    if (watcher != fWatchers.end()) binding->fWatchers = watcher->second;
    fBindings.emplace(utf8, std::move(binding));
    fBindingsVersion.fetch_add(1, std::memory_order_release);
  } catch (const std::bad_alloc&) {
    return ERR_NO_MEMORY;
  }
  log(LOG_LEVEL_DEBUG, L"[%s] module [%ls] bound to topic [%ls]", "bind", iModuleID, iTopic);
  return 0;
}

int PComms::unbind(const PLiteral& iModuleID) {
  std::string utf8;
  if (PUtils::toUtf8(iModuleID, utf8) != 0) return ERR_INVALID_ARG;
  PStdMutexLock lock(fLock);
  if (fBindings.erase(utf8) == 0) return ERR_COMMS_NO_MODULE;
  fBindingsVersion.fetch_add(1, std::memory_order_release);
  return 0;
}

int PComms::watch(const PLiteral& iModuleID, std::shared_ptr<PSessionWatcher> iWatcher) {
  std::string utf8;
  if (iWatcher == nullptr || PUtils::toUtf8(iModuleID, utf8) != 0 || utf8.empty()) return ERR_INVALID_ARG;
  try {
    PStdMutexLock lock(fLock);
    fWatchers[utf8].push_back(std::move(iWatcher));
  } catch (const std::bad_alloc&) {
    return ERR_NO_MEMORY;
  }
  return 0;
}

std::shared_ptr<const PComms::Binding> PComms::findBinding(const std::string& iModuleUtf8) {
  PStdMutexLock lock(fLock);
  auto found = fBindings.find(iModuleUtf8);
  return found == fBindings.end() ? nullptr : found->second;
}

void PComms::deliver(const Binding& iBinding, PExchange& ioExchange, PCommsEvent& ioEvent) {
  ioExchange.fComms = this;
  ioExchange.fBinding = &iBinding;
  ioExchange.fResponseID = ioEvent.fResponseID = fNextResponseID.fetch_add(1, std::memory_order_relaxed);
  PExchange* outer = PExchange::enter(&ioExchange);
  PCommsMessage answer;
  bool answered = false;
  if (ioExchange.fSession != nullptr) {
    for (const auto& watcher : iBinding.fWatchers) {
      answered = watcher->answer(*ioExchange.fInfo, *ioExchange.fRequest, answer);
      if (answered) break;
    }
  }
  if (answered) {
    send(ioExchange.fResponseID, answer);
  } else {
    fDispatcher->deliver(iBinding.fTopic, &ioEvent);
  }
  PExchange::enter(outer);
}

int PComms::send(int iResponseID, PCommsMessage& iResponse) {
  PExchange* exchange = PExchange::current();
  // Replies are taken while the request is being delivered; any other
  // response ID has no request waiting for it.
  if (exchange == nullptr || exchange->fComms != this || exchange->fResponseID != iResponseID || exchange->fReplied) {
    return ERR_COMMS_NO_EXCHANGE;
  }
  exchange->fReplied = true;
  exchange->fStatus = static_cast<int>(iResponse.fUint32);
  for (const auto& watcher : exchange->fBinding->fWatchers) watcher->replied(*exchange->fInfo, *exchange->fRequest, iResponse);
  if (exchange->fSession != nullptr) exchange->fSession->queueReply(*exchange, iResponse);
  return 0;
}

void PComms::refuse(PFd& ioFd, int iCode, const std::string& iWhy, const std::string& iWho, bool iTls) {
  std::vector<unsigned char> frame;
  PFrame::append(frame, FRAME_ERROR, 0, static_cast<uint32_t>(iCode), std::string(),
                 reinterpret_cast<const unsigned char*>(iWhy.data()), iWhy.size());
  const ssize_t ignored = iTls ? 0 : ::send(ioFd.get(), frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)ignored;
  ioFd.reset();
  logRefusal(iWho, iWhy);
}

void PComms::logRefusal(const std::string& iWho, const std::string& iWhy) {
  unsigned long dropped = 0;
  if (fPeerLines.admit(dropped)) {
    log(LOG_LEVEL_WARNING, L"[%s] refused %ls: %ls%ls", "accept", PUtils::wide(iWho), PUtils::wide(iWhy), suppressed(dropped));
  }
}

bool PComms::admit(PSessionInfo& ioInfo, std::string& oWhy) {
  int role = SESSION_ROLE_WRITE;
  if (fGate && fGate->admit(ioInfo, role) != 0) role = SESSION_ROLE_NONE;
  ioInfo.fRole = role == SESSION_ROLE_READ || role == SESSION_ROLE_WRITE ? role : SESSION_ROLE_NONE;
  const std::string identity = ioInfo.fIdentity.empty() ? "an unknown identity" : ioInfo.fIdentity;
  if (ioInfo.fRole == SESSION_ROLE_NONE) {
    oWhy = identity + " has no role on this host";
    return false;
  }
  log(LOG_LEVEL_DEBUG, L"[%s] connection %d (%ls) is %ls, role %ls", "admit", static_cast<int>(ioInfo.fNumber),
      PUtils::wide(ioInfo.fPeer), PUtils::wide(identity), PUtils::wide(sessionRoleName(ioInfo.fRole)));
  return true;
}

std::wstring PComms::suppressed(unsigned long iCount) {
  return iCount == 0 ? std::wstring() : L" (" + std::to_wstring(iCount) + L" like lines suppressed)";
}

void PComms::accepted(int iFd, PSessionInfo iInfo, bool iTls) {
  PFd fd(iFd);
  iInfo.fNumber = fNextSession.fetch_add(1, std::memory_order_relaxed);
  const PSessionInfo& info = iInfo;
  std::string refused;
  // A TLS peer's identity is known once its handshake has ended.
  if (!iTls && !admit(iInfo, refused)) return refuse(fd, ERR_COMMS_REFUSED, refused, info.fPeer, false);
  std::shared_ptr<const PTlsServer> tls;
  bool room = false;
  {
    PStdMutexLock lock(fLock);
    room = fConnections.size() < static_cast<size_t>(fSettings.fConnectionMax);
    tls = fTls;
  }
  if (!room) {
    return refuse(fd, ERR_COMMS_BUSY, "too many connections (the limit is " + std::to_string(fSettings.fConnectionMax) + ")", info.fPeer, iTls);
  }
  // The channel is made here, its handshake runs on the connection's worker.
  std::string why = "out of memory";
  std::unique_ptr<PByteChannel> channel;
  if (!iTls) {
    channel.reset(new (std::nothrow) PSocketChannel(fd.get()));
  } else if (tls) {
    channel = PTlsServer::channel(tls, fd.get(), why);
  }
  PStreamConnection* connection = nullptr;
  if (channel) {
    const int64_t deadline = iTls ? PStreamConnection::nowMs() + fSettings.fHandshakeTimeoutMs : 0;
    PStdMutexLock lock(fLock);
    if (fConnections.size() < static_cast<size_t>(fSettings.fConnectionMax)) {  // still (one thread accepts)
      connection = new (std::nothrow) PStreamConnection(*this, std::move(fd), info, std::move(channel), deadline);
      if (connection != nullptr) fConnections.insert(connection);
    }
  }
  if (connection == nullptr) return refuse(fd, ERR_COMMS_BUSY, why, info.fPeer, iTls);
  log(LOG_LEVEL_DEBUG, L"[%s] connection %d from %ls", "accept", static_cast<int>(info.fNumber), PUtils::wide(info.fPeer));
  // From here a worker may serve (and even end) the connection at once. A
  // plain one begins its session at once (the socket is writable), so that
  // a peer that sends nothing is counted for its identity and can time out.
  if (fDispatcher->reactor().add(connection->fd(), connection, EPOLLIN | EPOLLRDHUP | (iTls ? 0u : EPOLLOUT)) != 0) {
    forget(connection);
    delete connection;
  }
}

void PComms::forget(PStreamConnection* iConnection) {
  PStdMutexLock lock(fLock);
  fConnections.erase(iConnection);
}

size_t PComms::sessionCount() {
  PStdMutexLock lock(fLock);
  return fConnections.size();
}

int PComms::setTls(const PTlsSettings& iSettings, std::string& oError) {
  std::shared_ptr<const PTlsServer> server;
  const int result = PTlsServer::create(iSettings, server, oError);
  if (result != 0) return result;
  PStdMutexLock lock(fLock);
  fTls = std::move(server);
  return 0;
}

bool PComms::hasTls() {
  PStdMutexLock lock(fLock);
  return fTls != nullptr;
}

int PComms::listen(const std::string& iEndpoint, std::string& oWhere, std::string& oError) {
  PEndpoint endpoint;
  int result = PEndpoint::parse(iEndpoint, endpoint, oError);
  if (result == 0 && endpoint.fKind == PEndpoint::kTls && !hasTls()) {
    oError = "no TLS certificate, key and CA to serve " + iEndpoint + " with";
    result = ERR_INVALID_ARG;
  }
  std::unique_ptr<PListener> listener;
  if (result == 0) result = PListener::open(*this, endpoint, listener, oError);
  if (result != 0) return result;
  return keep(std::move(listener), oWhere);
}

int PComms::adopt(int iFd, bool iTls, std::string& oWhere, std::string& oError) {
  PFd fd(iFd);
  if (iTls && !hasTls()) {
    oError = "no TLS certificate, key and CA to serve descriptor " + std::to_string(iFd) + " with";
    return ERR_INVALID_ARG;
  }
  std::unique_ptr<PListener> listener;
  const int result = PListener::adopt(*this, std::move(fd), iTls, listener, oError);
  if (result != 0) return result;
  return keep(std::move(listener), oWhere);
}

bool PComms::enter(PSession* iSession) {
  PStdMutexLock lock(fLock);
  fSessions.insert(iSession);
  const std::string& identity = iSession->info().fIdentity;
  if (identity.empty()) return true;
  int& count = fIdentities[identity];
  if (count >= fSettings.fPerIdentityMax) {
    if (count == 0) fIdentities.erase(identity);
    return false;
  }
  ++count;
  return true;
}

void PComms::leave(PSession* iSession) {
  PStdMutexLock lock(fLock);
  fSessions.erase(iSession);
  const std::string& identity = iSession->info().fIdentity;
  if (!iSession->fCounted || identity.empty()) return;
  auto found = fIdentities.find(identity);
  if (found != fIdentities.end() && --found->second <= 0) fIdentities.erase(found);
}

void PComms::account(ptrdiff_t iDelta) {
  fHeld.fetch_add(static_cast<size_t>(iDelta), std::memory_order_relaxed);
  const ptrdiff_t large = static_cast<ptrdiff_t>(PSession::kTrimAt);
  // What a module freed after building a large reply is given back at the next sweep.
  if (iDelta >= large) fTrimWanted.store(true, std::memory_order_relaxed);
  if (iDelta > -large) return;
  trim();
  resumeWaiting();
}

void PComms::trim() {
  fTrimWanted.store(false, std::memory_order_relaxed);
#ifdef __GLIBC__
  malloc_trim(0);  // freed blocks of a large reply would otherwise stay with the process
#endif
}

void PComms::resumeWaiting() {
  if (fHeld.load(std::memory_order_relaxed) >= fSettings.fMemoryMax) return;
  PStdMutexLock lock(fLock);
  for (PSession* session : fSessions) {
    if (session->fWaitsForMemory.exchange(false, std::memory_order_relaxed)) session->fTransport.interrupt(false);
  }
}

void PComms::sweep() {
  if (fTrimWanted.load(std::memory_order_relaxed)) trim();
  resumeWaiting();
  const int64_t now = PStreamConnection::nowMs();
  const int frameMs = fSettings.fFrameTimeoutMs, idleMs = fSettings.fIdleTimeoutMs;
  PStdMutexLock lock(fLock);  // an entered session's transport is there
  for (PSession* session : fSessions) {
    if (session->fExpiry.load(std::memory_order_relaxed) != PSession::kLive) {
      session->fTransport.interrupt(true);  // expired a turn ago and still there: its peer does not read
      continue;
    }
    int expiry = PSession::kLive;
    const int64_t frameSince = session->fFrameSince.load(std::memory_order_relaxed);
    if (frameMs > 0 && frameSince != 0 && now - frameSince >= frameMs) {
      expiry = PSession::kFrameTimeout;
    } else if (idleMs > 0 && now - session->fActiveAt.load(std::memory_order_relaxed) >= idleMs) {
      expiry = PSession::kIdleTimeout;
      for (const auto& entry : fBindings) {
        for (const auto& watcher : entry.second->fWatchers) {
          if (watcher->holds(session->info())) expiry = PSession::kLive;
        }
      }
    }
    if (expiry == PSession::kLive) continue;
    session->fExpiry.store(expiry, std::memory_order_relaxed);
    session->fTransport.interrupt(false);
  }
}

void PComms::expireHandshakes() {
  const int64_t now = PStreamConnection::nowMs();
  PStdMutexLock lock(fLock);  // a connection in the set has not closed its socket
  for (PStreamConnection* connection : fConnections) connection->expireHandshake(now);
}

int PComms::keep(std::unique_ptr<PListener> iListener, std::string& oWhere) {
  oWhere = iListener->where();
  try {
    PStdMutexLock lock(fLock);
    fListeners.push_back(std::move(iListener));
  } catch (const std::bad_alloc&) {
    return ERR_NO_MEMORY;
  }
  return 0;
}

int PComms::start() {
  {
    PStdMutexLock lock(fLock);
    if (fListeners.empty()) return ERR_INVALID_ARG;
    for (auto& listener : fListeners) {
      // Accepting is light: the first worker does it and hands each new
      // connection to the worker holding the fewest.
      const int result = fDispatcher->reactor().add(listener->fd(), listener.get(), EPOLLIN, 0);
      if (result != 0) return result;
    }
  }
  if (fTimer) return 0;
  fTimer.reset(new (std::nothrow) Sweeper(*this));
  return fTimer ? fTimer->start() : ERR_NO_MEMORY;
}

void PComms::stopAccepting() {
  PStdMutexLock lock(fLock);
  for (auto& listener : fListeners) listener->stop();
}

void PComms::closeAll() {
  std::vector<std::unique_ptr<PListener>> listeners;
  std::set<PStreamConnection*> connections;
  {
    PStdMutexLock lock(fLock);
    listeners.swap(fListeners);
    connections = fConnections;
  }
  listeners.clear();  // closes the sockets and removes the socket files
  if (fTimer) fTimer->stop();
  fTimer.reset();
  for (PStreamConnection* connection : connections) connection->shutdownNow();
}
