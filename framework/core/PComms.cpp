#include "zevo/core/PComms.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>

#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>

#include "PExchange.h"
#include "zevo/PErrors.h"
#include "zevo/PLogArgs.h"
#include "zevo/PUtils.h"
#include "zevo/core/PReactor.h"
#include "zevo/core/PSession.h"

namespace {

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int PTransport::adopt(PComms&, PFd, std::unique_ptr<PTransportListener>&, std::string& oError) {
  oError = std::string("the ") + scheme() + " transport takes no socket passed to it";
  return ERR_INVALID_ARG;
}

int PComms::create(PEventDispatcher* iDispatcher, const PCommsSettings& iSettings, PBaseptr<PComms>& oComms) {
  const PCommsSettings& s = iSettings;
  if (iDispatcher == nullptr || s.fFrameMax < kFrameMinLength || s.fConnectionMax < 1 || s.fPerIdentityMax < 1 ||
      s.fFrameTimeoutMs < 0 || s.fIdleTimeoutMs < 0 || s.fWriteReserve < 0 || s.fWriteReserve >= s.fConnectionMax ||
      s.fLocalReserve < 0 || s.fLocalReserve >= s.fConnectionMax || s.fHandshakeMax < 1 || s.fHandshakePerAddress < 1 ||
      s.fHandshakeTimeoutMs < 1) {
    return ERR_INVALID_ARG;
  }
  PComms* comms = new (std::nothrow) PComms(iDispatcher, iSettings);
  if (comms == nullptr) return ERR_NO_MEMORY;
  oComms = comms;
  return 0;
}

// Ticks on the first worker: the time-outs, the memory budget.
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
    return fComms.reactor().add(fFd.get(), this, EPOLLIN, 0);
  }
  void onReady(uint32_t) override {
    uint64_t ticks = 0;
    if (::read(fFd.get(), &ticks, sizeof ticks) <= 0) return;
    fComms.sweep();
  }
  void stop() {
    if (fFd.valid()) fComms.reactor().remove(fFd.get(), this);
  }

 private:
  PComms& fComms;
  PFd fFd;
};

PComms::PComms(PEventDispatcher* iDispatcher, const PCommsSettings& iSettings)
    : fDispatcher(iDispatcher), fSettings(iSettings) {}

PComms::~PComms() { closeAll(); }

PReactor& PComms::reactor() { return fDispatcher->reactor(); }

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

std::vector<std::shared_ptr<const PComms::Binding>> PComms::watchedBindings() {
  std::vector<std::shared_ptr<const Binding>> bindings;
  PStdMutexLock lock(fLock);
  for (const auto& entry : fBindings) {
    if (!entry.second->fWatchers.empty()) bindings.push_back(entry.second);
  }
  return bindings;
}

void PComms::deliver(const Binding& iBinding, PExchange& ioExchange, PCommsEvent& ioEvent) {
  ioExchange.fComms = this;
  ioExchange.fBinding = &iBinding;
  ioExchange.fResponseID = ioEvent.fResponseID = fNextResponseID.fetch_add(1, std::memory_order_relaxed);
  PExchange* outer = PExchange::enter(&ioExchange);
  PCommsMessage answer;
  bool answered = false;
  if (ioExchange.fSession != nullptr) {
    for (const auto& watcher : iBinding.fWatchers) watcher->adjust(*ioExchange.fInfo, ioEvent.fMessage);
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

int PComms::send(int iResponseID, PCommsMessage& iResponse) { return reply(iResponseID, iResponse, nullptr); }

int PComms::sendFile(int iResponseID, PCommsMessage& iResponse, const PFileSpan& iSpan) {
  return reply(iResponseID, iResponse, &iSpan);
}

int PComms::reply(int iResponseID, PCommsMessage& iResponse, const PFileSpan* iSpan) {
  PExchange* exchange = PExchange::current();
  // Replies are taken while the request is being delivered; any other
  // response ID has no request waiting for it.
  if (exchange == nullptr || exchange->fComms != this || exchange->fResponseID != iResponseID || exchange->fReplied) {
    return ERR_COMMS_NO_EXCHANGE;
  }
  if (iSpan != nullptr &&
      (iSpan->fLength == 0 || iSpan->fFd < 0 || exchange->fSession == nullptr || !exchange->fSession->carriesFiles())) {
    return ERR_INVALID_ARG;  // the caller sends the bytes itself
  }
  exchange->fReplied = true;
  exchange->fStatus = static_cast<int>(iResponse.fUint32);
  // The watchers see the reply whole (but a file's bytes); the session may then take its payload.
  const size_t fileBytes = iSpan != nullptr ? iSpan->fLength : 0;
  for (const auto& watcher : exchange->fBinding->fWatchers) watcher->replied(*exchange->fInfo, *exchange->fRequest, iResponse, fileBytes);
  if (exchange->fSession != nullptr) exchange->fSession->queueReply(*exchange, iResponse, iSpan);
  return 0;
}

void PComms::logPeer(const std::string& iText) {
  unsigned long dropped = 0;
  if (fPeerLines.admit(dropped)) log(LOG_LEVEL_WARNING, L"[%s] %ls%ls", "peer", PUtils::wide(iText), suppressed(dropped));
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

void PComms::attach(PTransportLink* iLink) {
  PStdMutexLock lock(fLock);
  fLinks.insert(iLink);
  fLinkCount.store(fLinks.size(), std::memory_order_relaxed);
}

void PComms::detach(PTransportLink* iLink) {
  endHandshake(iLink);
  PStdMutexLock lock(fLock);
  fLinks.erase(iLink);
  fLinkCount.store(fLinks.size(), std::memory_order_relaxed);
}

void PComms::beginHandshake(PTransportLink* iLink, const std::string& iAddress) {
  PStdMutexLock lock(fLock);
  // The one waiting longest makes room: of the newcomer's address when that
  // has its fill, else of all when the budget is full.
  const auto perAddress = fHandshakesPerAddress.find(iAddress);
  const bool addressFull = perAddress != fHandshakesPerAddress.end() && perAddress->second >= fSettings.fHandshakePerAddress;
  if (addressFull || fHandshakesCounted >= fSettings.fHandshakeMax) {
    PTransportLink* oldest = nullptr;
    uint64_t order = 0;
    for (const auto& [link, handshake] : fHandshakes) {
      if (handshake.fDropped == nullptr && (!addressFull || handshake.fAddress == iAddress) &&
          (oldest == nullptr || handshake.fOrder < order)) {
        oldest = link;
        order = handshake.fOrder;
      }
    }
    if (oldest != nullptr) {
      dropHandshake(oldest, addressFull ? "a newer connection from its address took its place"
                                        : "a newer connection took its place in the handshake budget");
    }
  }
  fHandshakes[iLink] = Handshake{iAddress, nowMs(), ++fHandshakeOrder, nullptr};
  ++fHandshakesPerAddress[iAddress];
  ++fHandshakesCounted;
}

void PComms::dropHandshake(PTransportLink* iLink, const char* iWhy) {
  auto found = fHandshakes.find(iLink);
  if (found == fHandshakes.end() || found->second.fDropped != nullptr) return;
  found->second.fDropped = iWhy;
  auto perAddress = fHandshakesPerAddress.find(found->second.fAddress);
  if (perAddress != fHandshakesPerAddress.end() && --perAddress->second <= 0) fHandshakesPerAddress.erase(perAddress);
  --fHandshakesCounted;
  iLink->interrupt(true);
}

void PComms::endHandshake(PTransportLink* iLink) {
  PStdMutexLock lock(fLock);
  auto found = fHandshakes.find(iLink);
  if (found == fHandshakes.end()) return;
  if (found->second.fDropped == nullptr) {
    auto perAddress = fHandshakesPerAddress.find(found->second.fAddress);
    if (perAddress != fHandshakesPerAddress.end() && --perAddress->second <= 0) fHandshakesPerAddress.erase(perAddress);
    --fHandshakesCounted;
  }
  fHandshakes.erase(found);
}

const char* PComms::droppedWhy(PTransportLink* iLink) {
  PStdMutexLock lock(fLock);
  auto found = fHandshakes.find(iLink);
  return found == fHandshakes.end() ? nullptr : found->second.fDropped;
}

int PComms::addTransport(std::shared_ptr<PTransport> iTransport) {
  if (!iTransport) return ERR_INVALID_ARG;
  PStdMutexLock lock(fLock);
  return fTransports.emplace(iTransport->scheme(), iTransport).second ? 0 : ERR_ALREADY;
}

int PComms::listen(const std::string& iEndpoint, std::string& oWhere, std::string& oError) {
  PEndpoint endpoint;
  int result = PEndpoint::parse(iEndpoint, endpoint, oError);
  if (result != 0) return result;
  std::shared_ptr<PTransport> transport;
  {
    PStdMutexLock lock(fLock);
    auto found = fTransports.find(endpoint.fScheme);
    if (found != fTransports.end()) transport = found->second;
  }
  if (!transport) {
    oError = "this host serves no " + endpoint.fScheme + ": endpoints";
    return ERR_INVALID_ARG;
  }
  std::unique_ptr<PTransportListener> listener;
  result = transport->listen(*this, endpoint, listener, oError);
  if (result != 0) return result;
  oWhere = listener->where();
  PStdMutexLock lock(fLock);
  fListeners.push_back(std::move(listener));
  return 0;
}

int PComms::adopt(const std::string& iScheme, int iFd, std::string& oWhere, std::string& oError) {
  PFd fd(iFd);
  std::shared_ptr<PTransport> transport;
  {
    PStdMutexLock lock(fLock);
    auto found = fTransports.find(iScheme);
    if (found != fTransports.end()) transport = found->second;
  }
  if (!transport) {
    oError = "this host serves no " + iScheme + ": sockets";
    return ERR_INVALID_ARG;
  }
  std::unique_ptr<PTransportListener> listener;
  const int result = transport->adopt(*this, std::move(fd), listener, oError);
  if (result != 0) return result;
  oWhere = listener->where();
  PStdMutexLock lock(fLock);
  fListeners.push_back(std::move(listener));
  return 0;
}

bool PComms::fits(const PSessionInfo& iInfo) const {
  const int max = fSettings.fConnectionMax;
  if (fCounted >= max) return false;
  if (!iInfo.fLocal && fNetworkCount >= max - fSettings.fLocalReserve) return false;
  return iInfo.fRole == SESSION_ROLE_WRITE || fCounted < max - fSettings.fWriteReserve;
}

void PComms::count(PSession* iSession, int iDelta) {
  const PSessionInfo& info = iSession->fInfo;
  fCounted += iDelta;
  if (!info.fLocal) fNetworkCount += iDelta;
  for (auto* counts : {&fIdentities, &fPerTransport}) {
    const std::string& key = counts == &fIdentities ? info.fIdentity : info.fTransport;
    if (key.empty()) continue;
    auto found = counts->emplace(key, 0).first;
    if ((found->second += iDelta) <= 0) counts->erase(found);
  }
  iSession->fCounted = iDelta > 0;
}

bool PComms::makeRoom(const PSessionInfo& iInfo) {
  // Network places are what is short: only a network session's going helps.
  const bool network = !iInfo.fLocal && fNetworkCount >= fSettings.fConnectionMax - fSettings.fLocalReserve;
  std::map<std::string, std::pair<int, PSession*>> held;  // identity -> places, its oldest session
  for (PSession* session : fSessions) {
    if (!session->fCounted || (network && session->fInfo.fLocal)) continue;
    auto& [places, oldest] = held[session->fInfo.fIdentity];
    ++places;
    if (oldest == nullptr || session->fInfo.fNumber < oldest->fInfo.fNumber) oldest = session;
  }
  const auto mine = held.find(iInfo.fIdentity);
  const int own = mine == held.end() ? 0 : mine->second.first;
  const std::pair<const std::string, std::pair<int, PSession*>>* most = nullptr;
  for (const auto& entry : held) {
    if (most == nullptr || entry.second.first > most->second.first) most = &entry;
  }
  if (most == nullptr || most->first.empty() || most->first == iInfo.fIdentity || most->second.first < own + 2) return false;
  PSession* victim = most->second.second;
  count(victim, -1);
  if (!fits(iInfo)) {  // one place is not enough (the reserves): nobody yields
    count(victim, +1);
    return false;
  }
  victim->fExpiry.store(PSession::kYielded, std::memory_order_relaxed);
  victim->fLink.interrupt(false);
  logPeer("connection " + std::to_string(victim->fInfo.fNumber) + " (" + victim->fInfo.fPeer + ") of " + most->first +
          " yields its place to " + (iInfo.fIdentity.empty() ? "a peer" : iInfo.fIdentity) + ": every place is taken, and " +
          most->first + " held the most (" + std::to_string(most->second.first) + ")");
  return true;
}

bool PComms::enter(PSession* iSession, std::string& oWhy) {
  PStdMutexLock lock(fLock);
  fSessions.insert(iSession);
  const PSessionInfo& info = iSession->fInfo;
  const auto identity = fIdentities.find(info.fIdentity);
  if (!info.fIdentity.empty() && identity != fIdentities.end() && identity->second >= fSettings.fPerIdentityMax) {
    oWhy = "too many connections of " + info.fIdentity + " (the limit is " + std::to_string(fSettings.fPerIdentityMax) + ")";
    return false;
  }
  if (!fits(info) && !makeRoom(info)) {
    const auto transport = fPerTransport.find(info.fTransport);
    oWhy = "no place for " + (info.fIdentity.empty() ? std::string("the peer") : info.fIdentity) + ": " +
           std::to_string(fCounted) + " sessions of " + std::to_string(fSettings.fConnectionMax) + " (" +
           std::to_string(fNetworkCount) + " over the network, " + info.fTransport + ": " +
           std::to_string(transport == fPerTransport.end() ? 0 : transport->second) + "; " +
           std::to_string(fSettings.fLocalReserve) + " kept for local peers, " + std::to_string(fSettings.fWriteReserve) +
           " for the write role)";
    return false;
  }
  count(iSession, +1);
  return true;
}

void PComms::leave(PSession* iSession) {
  PStdMutexLock lock(fLock);
  fSessions.erase(iSession);
  if (iSession->fCounted) count(iSession, -1);
}

bool PComms::roomForLargeReply(const PSession& iSession) {
  if (heldBytes() < fSettings.fMemoryMax) return true;
  std::set<std::string> identities;
  size_t mine = 0;
  PStdMutexLock lock(fLock);
  for (const PSession* session : fSessions) {
    identities.insert(session->fInfo.fIdentity);
    if (session->fInfo.fIdentity == iSession.fInfo.fIdentity) mine += session->fAccounted.load(std::memory_order_relaxed);
  }
  return mine < fSettings.fMemoryMax / std::max<size_t>(1, identities.size());
}

void PComms::account(ptrdiff_t iDelta) {
  fHeld.fetch_add(static_cast<size_t>(iDelta), std::memory_order_relaxed);
  const ptrdiff_t large = static_cast<ptrdiff_t>(PSession::kTrimAt);
  // What a module freed after building a large reply is given back at the next sweep.
  if (iDelta >= large) fTrimWanted.store(true, std::memory_order_relaxed);
  if (iDelta > -large) return;
  trim();
  if (heldBytes() < fSettings.fMemoryMax) resumeWaiting();
}

void PComms::trim() {
  fTrimWanted.store(false, std::memory_order_relaxed);
#ifdef __GLIBC__
  malloc_trim(0);  // freed blocks of a large reply would otherwise stay with the process
#endif
}

void PComms::resumeWaiting() {
  PStdMutexLock lock(fLock);
  for (PSession* session : fSessions) {
    if (session->fWaitsForMemory.exchange(false, std::memory_order_relaxed)) session->fLink.interrupt(false);
  }
}

void PComms::sweep() {
  if (fTrimWanted.load(std::memory_order_relaxed)) trim();
  resumeWaiting();  // each checks its room again
  const int64_t now = nowMs();
  const int frameMs = fSettings.fFrameTimeoutMs, idleMs = fSettings.fIdleTimeoutMs;
  PStdMutexLock lock(fLock);  // an entered session's link is there
  for (auto& [link, handshake] : fHandshakes) {
    if (handshake.fDropped == nullptr && now - handshake.fSince >= fSettings.fHandshakeTimeoutMs) {
      dropHandshake(link, "no handshake within the time allowed");
    }
  }
  for (PSession* session : fSessions) {
    if (session->fExpiry.load(std::memory_order_relaxed) != PSession::kLive) {
      session->fLink.interrupt(true);  // expired a turn ago and still there: its peer does not read
      continue;
    }
    int expiry = PSession::kLive;
    const int64_t frameSince = session->fFrameSince.load(std::memory_order_relaxed);
    if (frameMs > 0 && frameSince != 0 && now - frameSince >= frameMs) {
      expiry = PSession::kFrameTimeout;
    } else if (idleMs > 0 && now - session->fActiveAt.load(std::memory_order_relaxed) >= idleMs) {
      expiry = PSession::kIdleTimeout;  // whatever it holds: an open transfer is cut
    }
    if (expiry == PSession::kLive) continue;
    session->fExpiry.store(expiry, std::memory_order_relaxed);
    session->fLink.interrupt(false);
  }
}

int PComms::start() {
  {
    PStdMutexLock lock(fLock);
    if (fListeners.empty()) return ERR_INVALID_ARG;
    for (auto& listener : fListeners) {
      const int result = listener->start();
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
  std::vector<std::unique_ptr<PTransportListener>> listeners;
  std::set<PTransportLink*> links;
  {
    PStdMutexLock lock(fLock);
    listeners.swap(fListeners);
    links = fLinks;
    for (PSession* session : fSessions) session->fExpiry.store(PSession::kHostStop, std::memory_order_relaxed);
  }
  listeners.clear();  // closes the sockets and removes the socket files
  if (fTimer) fTimer->stop();
  fTimer.reset();
  for (PTransportLink* link : links) link->shutdownNow();
}

std::vector<std::string> PComms::modules() {
  std::vector<std::string> modules;
  PStdMutexLock lock(fLock);
  for (const auto& entry : fBindings) modules.push_back(entry.first);
  return modules;
}

size_t PComms::sessionCount() {
  PStdMutexLock lock(fLock);
  return static_cast<size_t>(fCounted);
}
