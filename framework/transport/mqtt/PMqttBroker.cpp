#include "PMqttBroker.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>

#include "zevo/PErrors.h"
#include "zevo/PUtils.h"
#include "zevo/protocol/PFrame.h"
#include "zevo/protocol/PMqttTopics.h"

namespace {

constexpr size_t kMessageTarget = 64 * 1024;  // reply bytes gathered in one message
constexpr size_t kCorrelationMax = 64;        // correlation data copied back; longer is left out
constexpr int kConnectTimeoutMs = 10000;      // from the attempt to the broker's CONNACK
constexpr size_t kBuriedMax = 4096;           // ended sessions remembered

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::wstring wide(const std::string& iText) { return PUtils::wide(iText).str(); }

}  // namespace

size_t PFrameCounter::feed(const unsigned char* iBytes, size_t iCount) {
  size_t ends = 0;
  while (iCount > 0 && !fBroken) {
    if (fLeft == 0) {
      const size_t take = std::min(sizeof fLength - fHave, iCount);
      std::memcpy(fLength + fHave, iBytes, take);
      fHave += take;
      iBytes += take;
      iCount -= take;
      if (fHave < sizeof fLength) break;
      fHave = 0;
      fLeft = PFrame::readU32(fLength);
      fBroken = fLeft < kFrameMinLength;
    } else {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(fLeft, iCount));
      fLeft -= take;
      iBytes += take;
      iCount -= take;
      if (fLeft == 0) ++ends;
    }
  }
  return ends;
}

void PMqttLink::interrupt(bool iHard) {
  int had = fInterrupted.load(std::memory_order_relaxed);
  const int now = iHard ? 2 : 1;
  while (had < now && !fInterrupted.compare_exchange_weak(had, now, std::memory_order_relaxed)) {
  }
  fBroker.wake();
}

void PMqttLink::shutdownNow() { fBroker.shutdown(*this); }

PMqttBroker::PMqttBroker(PComms& iComms, const char* iScheme, const PMqttSettings& iSettings, std::unique_ptr<PMqttHandle> iHandle,
                         std::string iWhere)
    : fComms(iComms), fScheme(iScheme), fSettings(iSettings), fHandle(std::move(iHandle)), fWhere(std::move(iWhere)),
      fRequests(PMqttTopics::requests(iSettings.fRoot, iSettings.fDevice)),
      fPresence(PMqttTopics::presence(iSettings.fRoot, iSettings.fDevice)) {
  mosquitto* handle = fHandle->get();
  mosquitto_user_data_set(handle, this);
  mosquitto_connect_v5_callback_set(handle, onConnect);
  mosquitto_message_v5_callback_set(handle, onMessage);
  mosquitto_publish_v5_callback_set(handle, onPublish);
  mosquitto_disconnect_v5_callback_set(handle, onDisconnect);
}

PMqttBroker::~PMqttBroker() {
  if (fState == kConnected && fHandle->socket() >= 0) {
    // Requesters learn at once; the will is kept for a connection that breaks.
    const std::string offline = PMqttTopics::presenceOffline(fSettings.fDevice, fEpoch);
    int mid = 0;
    fHandle->publish(fPresence, offline.data(), offline.size(), true, nullptr, nullptr, mid);
    mosquitto_disconnect_v5(fHandle->get(), MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    const int64_t until = nowMs() + 1000;
    while (fHandle->socket() >= 0 && fHandle->wantsWrite() && nowMs() < until) {
      pollfd waiting{fHandle->socket(), POLLOUT, 0};
      if (::poll(&waiting, 1, static_cast<int>(until - nowMs())) <= 0 || mosquitto_loop_write(fHandle->get(), 1) != MOSQ_ERR_SUCCESS) break;
    }
  }
  PReactor& reactor = fComms.reactor();
  if (fSocket.valid()) reactor.remove(fSocket.get(), &fSocketHandler);
  if (fStarted) {
    reactor.remove(fTimer.get(), &fTimerHandler);
    reactor.remove(fWake.get(), &fWakeHandler);
  }
}

int PMqttBroker::start() {
  if (fStarted) return 0;
  PReactor& reactor = fComms.reactor();
  fWorker = reactor.workers() - 1;  // the first accepts and sweeps
  fTimer.reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  fWake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  itimerspec period{};
  period.it_interval.tv_sec = 1;  // keep-alive, and the next attempt when it is due
  period.it_value.tv_nsec = 1000000;
  if (!fTimer.valid() || !fWake.valid() || timerfd_settime(fTimer.get(), 0, &period, nullptr) != 0) return PErrors::fromErrno(errno);
  fSince = nowMs();
  int result = reactor.add(fWake.get(), &fWakeHandler, EPOLLIN, fWorker);
  if (result == 0) {
    result = reactor.add(fTimer.get(), &fTimerHandler, EPOLLIN, fWorker);
    if (result != 0) reactor.remove(fWake.get(), &fWakeHandler);
  }
  fStarted = result == 0;
  return result;
}

void PMqttBroker::outlive(std::shared_ptr<PMqttBroker> iSelf) {
  if (!fLinks.empty()) fSelf = std::move(iSelf);
}

void PMqttBroker::wake() {
  const uint64_t one = 1;
  const ssize_t ignored = ::write(fWake.get(), &one, sizeof one);
  (void)ignored;
}

void PMqttBroker::onWake(uint32_t) {
  uint64_t count = 0;
  const ssize_t ignored = ::read(fWake.get(), &count, sizeof count);
  (void)ignored;
  for (auto& entry : fLinks) {
    if (entry.second->fInterrupted.load(std::memory_order_relaxed) != 0) fBusy.insert(entry.second.get());
  }
  afterTurn(MOSQ_ERR_SUCCESS);
}

void PMqttBroker::onTimer(uint32_t) {
  uint64_t ticks = 0;
  if (::read(fTimer.get(), &ticks, sizeof ticks) <= 0) return;
  const int64_t now = nowMs();
  if (fState == kIdle && now >= fSince && !fStopped.load(std::memory_order_acquire)) return attempt();
  if (fState == kConnecting && now - fSince >= kConnectTimeoutMs) {
    return lost("no answer from the broker within " + std::to_string(kConnectTimeoutMs / 1000) + " s");
  }
  if (fState != kIdle) afterTurn(fHandle->turn(false));  // keep-alive
}

void PMqttBroker::onSocket(uint32_t iEvents) { afterTurn(fHandle->turn((iEvents & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0)); }

void PMqttBroker::attempt() {
  fEpoch = PMqttHandle::randomHex(16);
  fLost.clear();
  const std::string offline = PMqttTopics::presenceOffline(fSettings.fDevice, fEpoch);
  std::string why;
  fState = kConnecting;
  fSince = nowMs();
  if (fHandle->setWill(fPresence, offline, true) != 0 || fHandle->connect(why) != 0) return lost(why.empty() ? "cannot set the will" : why);
  fSocket.reset(::fcntl(fHandle->socket(), F_DUPFD_CLOEXEC, 0));
  if (!fSocket.valid() || fComms.reactor().add(fSocket.get(), &fSocketHandler, EPOLLIN | EPOLLOUT, fWorker) != 0) {
    fSocket.reset();
    return lost(std::strerror(errno));
  }
}

void PMqttBroker::lost(const std::string& iWhy) {
  if (fSocket.valid()) {
    fComms.reactor().remove(fSocket.get(), &fSocketHandler);
    fSocket.reset();
  }
  const bool wasConnected = fState == kConnected;
  const size_t sessions = fLinks.size();
  while (!fLinks.empty()) finish(*fLinks.begin()->second, false);
  fInflight.clear();
  fState = kIdle;
  ++fFailures;
  // Each wait twice the last, to mqtt.reconnect_max; a quarter either way,
  // so that a fleet that lost its broker together does not come back together.
  const int64_t base = std::min<int64_t>(int64_t(1000) << std::min(fFailures - 1, 20), fSettings.fReconnectMaxS * int64_t(1000));
  static thread_local std::minstd_rand jitter(std::random_device{}());
  const int64_t wait = base * 3 / 4 + static_cast<int64_t>(jitter() % static_cast<unsigned>(base / 2 + 1));
  fSince = nowMs() + wait;
  const std::string when = std::to_string((wait + 500) / 1000) + " s";
  if (wasConnected) {
    fComms.log(LOG_LEVEL_WARNING, L"[%s] lost the broker %ls: %ls; %d sessions ended; trying again in %ls", "mqtt", wide(fWhere),
               wide(iWhy), static_cast<int>(sessions), wide(when));
  } else {
    fComms.log(fFailures == 1 ? LOG_LEVEL_WARNING : LOG_LEVEL_DEBUG, L"[%s] cannot reach the broker %ls: %ls; trying again in %ls",
               "mqtt", wide(fWhere), wide(iWhy), wide(when));
  }
}

void PMqttBroker::watchSocket() {
  if (!fSocket.valid()) return;
  const bool write = fHandle->wantsWrite() || fState == kConnecting;
  fComms.reactor().modify(fSocket.get(), &fSocketHandler, EPOLLIN | (write ? EPOLLOUT : 0u));
}

void PMqttBroker::afterTurn(int iResult) {
  if (iResult != MOSQ_ERR_SUCCESS && fState != kIdle) return lost(fLost.empty() ? PMqttHandle::error(iResult) : fLost);
  while (!fBusy.empty()) {
    PMqttLink* link = *fBusy.begin();
    fBusy.erase(fBusy.begin());
    serve(*link);
  }
  // What serving published went out at once, or waits for the socket.
  watchSocket();
}

void PMqttBroker::onConnect(mosquitto* iHandle, void* iSelf, int iCode, int, const mqtt5__property* iProperties) {
  PMqttBroker& self = *static_cast<PMqttBroker*>(iSelf);
  if (iCode != 0) {
    self.fLost = "the broker refused the connection: " + PMqttHandle::reason(iCode);
    return;
  }
  self.fState = kConnected;
  self.fFailures = 0;
  self.fPacketMax = PMqttHandle::numberOf(iProperties, MQTT_PROP_MAXIMUM_PACKET_SIZE, 0);
  int mid = 0;
  mosquitto_subscribe_v5(iHandle, &mid, self.fRequests.c_str(), 1, 0, nullptr);
  const std::string online = PMqttTopics::presenceOnline(self.fSettings.fDevice, self.fSettings.fVersion, self.fComms.modules(), self.fEpoch);
  self.fHandle->publish(self.fPresence, online.data(), online.size(), true, nullptr, nullptr, mid);
  self.fComms.log(LOG_LEVEL_INFO, L"[%s] connected to the broker %ls as %ls: serving %ls", "mqtt", wide(self.fWhere),
                  wide(self.fSettings.fDevice), wide(self.fRequests));
}

void PMqttBroker::onDisconnect(mosquitto*, void* iSelf, int iCode, const mqtt5__property*) {
  PMqttBroker& self = *static_cast<PMqttBroker*>(iSelf);
  if (self.fLost.empty()) self.fLost = iCode == 0 ? "the connection ended" : PMqttHandle::error(iCode);
}

void PMqttBroker::onPublish(mosquitto*, void* iSelf, int iMid, int iReason, const mqtt5__property*) {
  PMqttBroker& self = *static_cast<PMqttBroker*>(iSelf);
  const auto found = self.fInflight.find(iMid);
  if (found == self.fInflight.end()) return;
  PMqttLink& link = *found->second;
  self.fInflight.erase(found);
  --link.fInflight;
  if (iReason >= 0x80) {
    // The broker will not pass this host's replies on: the session is of no use.
    self.fComms.logPeer("the broker refused a reply on " + link.fResponse + ": " + PMqttHandle::reason(iReason) +
                        "; the session ends");
    link.fInterrupted.store(2, std::memory_order_relaxed);
  }
  self.fBusy.insert(&link);
}

void PMqttBroker::onMessage(mosquitto*, void* iSelf, const mosquitto_message* iMessage, const mqtt5__property* iProperties) {
  static_cast<PMqttBroker*>(iSelf)->message(*iMessage, iProperties);
}

void PMqttBroker::message(const mosquitto_message& iMessage, const mqtt5__property* iProperties) {
  std::string name, session, correlation, response;
  if (iMessage.topic == nullptr ||
      !PMqttTopics::parseRequest(iMessage.topic, fSettings.fRoot, fSettings.fDevice, name, session)) {
    return;
  }
  const std::string key = name + "/" + session;
  const std::string expected = PMqttTopics::response(fSettings.fRoot, fSettings.fDevice, name, session);
  if (PMqttHandle::stringOf(iProperties, MQTT_PROP_RESPONSE_TOPIC, response) && response != expected) {
    fComms.logPeer("dropped a request of " + key + " answering to " + response + ": its replies go to " + expected + " only");
    return;
  }
  if (!PMqttHandle::bytesOf(iProperties, MQTT_PROP_CORRELATION_DATA, correlation) || correlation.size() > kCorrelationMax) {
    correlation.clear();
  }
  const unsigned char* bytes = static_cast<const unsigned char*>(iMessage.payload);
  const size_t count = iMessage.payloadlen > 0 ? static_cast<size_t>(iMessage.payloadlen) : 0;
  auto found = fLinks.find(key);
  PMqttLink* link = found != fLinks.end() ? found->second.get() : nullptr;
  if (link == nullptr) {
    if (count == 0 || fStopped.load(std::memory_order_acquire)) return;  // the end of what never began; or the host stops
    if (fBuried.count(key) != 0) {
      return refuse(expected, correlation, ERR_COMMS_CLOSED, "the session " + key + " has ended; begin another");
    }
    link = begin(name, session, correlation);
    if (link == nullptr) return;
  }
  try {
    link->fPending.push_back(PMqttLink::Message{std::vector<unsigned char>(bytes, bytes + count), 0});
    const size_t frames = link->fCounter.feed(bytes, count);
    if (frames > 0) link->fAnswers.push_back(PMqttLink::Answer{correlation, frames});
  } catch (const std::bad_alloc&) {
    link->fInterrupted.store(2, std::memory_order_relaxed);
  }
  link->fPendingBytes += count;
  fBusy.insert(link);
}

PMqttLink* PMqttBroker::begin(const std::string& iName, const std::string& iSession, const std::string& iCorrelation) {
  const std::string key = iName + "/" + iSession;
  const std::string response = PMqttTopics::response(fSettings.fRoot, fSettings.fDevice, iName, iSession);
  PSessionInfo info;
  info.fNumber = fComms.nextNumber();
  info.fTransport = fScheme;
  info.fLocal = false;
  info.fPeer = fScheme + ":" + key;
  info.fIdentity = "mqtt:" + iName;
  std::string why;
  if (!fComms.admit(info, why)) {
    fComms.logPeer("refused " + info.fPeer + ": " + why);
    refuse(response, iCorrelation, ERR_COMMS_REFUSED, why);
    bury(key);
    return nullptr;
  }
  PMqttLink* link = new (std::nothrow) PMqttLink(*this, key, response);
  if (link == nullptr) return nullptr;
  fLinks[key].reset(link);
  fComms.attach(link);
  // A frame and what the message around it takes must fit the broker's
  // packets, either way: a request's message names both topics.
  const size_t request = PMqttTopics::request(fSettings.fRoot, fSettings.fDevice, iName, iSession).size();
  const size_t overhead = 5 + 2 + request + 2 + 4 + 3 + response.size() + 3 + kCorrelationMax + kFrameLengthField;
  if (fPacketMax != 0) info.fFrameMax = static_cast<uint32_t>(fPacketMax > overhead + kFrameHeader ? fPacketMax - overhead : kFrameHeader);
  link->fSession.emplace(fComms, info, *link);
  fComms.log(LOG_LEVEL_DEBUG, L"[%s] connection %d from %ls", "accept", static_cast<int>(info.fNumber), wide(info.fPeer));
  return link;
}

void PMqttBroker::serve(PMqttLink& iLink) {
  if (iLink.fInterrupted.exchange(0, std::memory_order_relaxed) == 2) return finish(iLink, true);
  PSession& session = *iLink.fSession;
  const PCommsSettings& limits = fComms.settings();
  if (iLink.fPendingBytes > limits.fReadAhead + limits.fFrameMax + kMessageTarget) {
    // Requests keep coming while the replies cannot leave: a peer on a
    // socket would be slowed; a broker delivers all the same.
    const std::string response = iLink.fResponse, key = iLink.fKey;
    const std::string correlation = iLink.fAnswers.empty() ? "" : iLink.fAnswers.back().fCorrelation;
    fComms.logPeer("connection " + std::to_string(session.info().fNumber) + " (" + session.info().fPeer +
                   "): requests arrive faster than the broker takes their replies; closing it");
    finish(iLink, false);
    return refuse(response, correlation, ERR_COMMS_BUSY, "requests arrive faster than the broker takes their replies");
  }
  for (int round = 0; round < 64; ++round) {
    while (!iLink.fPending.empty()) {
      PMqttLink::Message& message = iLink.fPending.front();
      if (message.fBytes.empty()) {
        session.receivedEnd();  // the requester's end: what came before is answered
        iLink.fPending.pop_front();
        continue;
      }
      size_t room = 0;
      unsigned char* space = session.receiveSpace(room);
      if (space == nullptr) break;
      const size_t count = std::min(room, message.fBytes.size() - message.fTaken);
      std::memcpy(space, message.fBytes.data() + message.fTaken, count);
      session.received(count);
      message.fTaken += count;
      iLink.fPendingBytes -= count;
      if (message.fTaken == message.fBytes.size()) iLink.fPending.pop_front();
      if (count == room) break;  // serve what fills the buffer first
    }
    session.serve();
    if (!publishOutput(iLink)) return finish(iLink, false);
    if (session.finished()) return finish(iLink, true);
    size_t unsent = 0;
    session.output(unsent);
    if (unsent > 0 && iLink.fInflight >= fSettings.fInflight) return;  // the broker's acknowledgements resume it
    if (!session.moreToServe() && (iLink.fPending.empty() || !session.wantsInput())) return;
  }
  iLink.fInterrupted.store(1, std::memory_order_relaxed);  // more to do: after the others
  wake();
}

bool PMqttBroker::publishOutput(PMqttLink& iLink) {
  PSession& session = *iLink.fSession;
  while (iLink.fInflight < fSettings.fInflight || fComms.reactor().stopping()) {
    size_t size = 0;
    const unsigned char* out = session.output(size);
    if (size == 0) return true;
    // Whole frames, those answering one request message together, within
    // the broker's packets (a frame alone fits: PSessionInfo::fFrameMax).
    const size_t overhead = 5 + 2 + iLink.fResponse.size() + 2 + 4 + 3 + kCorrelationMax;
    const size_t target = fPacketMax > overhead ? std::min(kMessageTarget, size_t(fPacketMax) - overhead) : kMessageTarget;
    const bool answered = !iLink.fAnswers.empty();
    const std::string correlation = answered ? iLink.fAnswers.front().fCorrelation : "";
    size_t take = 0;
    while (take < size) {
      PFrameView frame;
      size_t needed = 0;
      if (PFrame::parse(out + take, size - take, 0xFFFFFFFFu, frame, needed) != 0) {
        take = size;  // the session writes whole frames only
        break;
      }
      if (take > 0 && take + frame.fSize > target) break;
      take += frame.fSize;
      if (frame.fKind == FRAME_ERROR) break;
      if (frame.fKind == FRAME_REPLY && !iLink.fAnswers.empty() && --iLink.fAnswers.front().fFrames == 0) {
        iLink.fAnswers.pop_front();
        break;
      }
    }
    int mid = 0;
    const int result = fHandle->publish(iLink.fResponse, out, take, false, nullptr, answered && !correlation.empty() ? &correlation : nullptr, mid);
    if (result != MOSQ_ERR_SUCCESS) {
      fComms.logPeer("connection " + std::to_string(session.info().fNumber) + " (" + session.info().fPeer + "): cannot publish " +
                     std::to_string(take) + " reply bytes: " + PMqttHandle::error(result) + "; closing it");
      return false;
    }
    session.sent(take);
    ++iLink.fInflight;
    fInflight[mid] = &iLink;
  }
  return true;
}

void PMqttBroker::finish(PMqttLink& iLink, bool iFarewell) {
  if (iFarewell && fState == kConnected) {
    int mid = 0;
    fHandle->publish(iLink.fResponse, nullptr, 0, false, nullptr, nullptr, mid);
  }
  for (auto entry = fInflight.begin(); entry != fInflight.end();) {
    entry = entry->second == &iLink ? fInflight.erase(entry) : std::next(entry);
  }
  fBusy.erase(&iLink);
  bury(iLink.fKey);
  if (iLink.fSession) iLink.fSession->leave();  // no more interrupts
  fComms.detach(&iLink);
  const std::string key = iLink.fKey;
  fLinks.erase(key);  // the session releases what it held
}

void PMqttBroker::refuse(const std::string& iResponse, const std::string& iCorrelation, int iCode, const std::string& iWhy) {
  if (fState != kConnected) return;
  std::vector<unsigned char> frame;
  PFrame::append(frame, FRAME_ERROR, 0, static_cast<uint32_t>(iCode), std::string(),
                 reinterpret_cast<const unsigned char*>(iWhy.data()), iWhy.size());
  int mid = 0;
  fHandle->publish(iResponse, frame.data(), frame.size(), false, nullptr, iCorrelation.empty() ? nullptr : &iCorrelation, mid);
  fHandle->publish(iResponse, nullptr, 0, false, nullptr, nullptr, mid);
}

void PMqttBroker::bury(const std::string& iKey) {
  if (!fBuried.insert(iKey).second) return;
  fBuriedOrder.push_back(iKey);
  if (fBuriedOrder.size() > kBuriedMax) {
    fBuried.erase(fBuriedOrder.front());
    fBuriedOrder.pop_front();
  }
}

void PMqttBroker::shutdown(PMqttLink& iLink) {
  if (iLink.fSession && fState == kConnected) publishOutput(iLink);
  finish(iLink, true);
  if (fLinks.empty() && fSelf) {
    std::shared_ptr<PMqttBroker> last = std::move(fSelf);
    last.reset();  // the listener went first: this was the broker's last session
  }
}
