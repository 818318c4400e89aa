#include "PMqttConnection.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>

#include "zevo/protocol/PFrame.h"
#include "zevo/protocol/PMqttTopics.h"

namespace {

using Clock = std::chrono::steady_clock;

// Whole frames of iBytes up to the target, or one larger frame; what is no
// whole frame as it is; then as many whole frames as fit a packet of
// iPacketMax (0: any) with iOverhead. 0 when not even one does.
size_t messageBytes(const unsigned char* iBytes, size_t iCount, size_t iOverhead, uint32_t iPacketMax) {
  size_t take = 0;
  for (;;) {
    PFrameView frame;
    size_t needed = 0;
    if (take == iCount || PFrame::parse(iBytes + take, iCount - take, 0xFFFFFFFFu, frame, needed) != 0) break;
    if (take > 0 && take + frame.fSize > PMqttConnection::kMessageTarget) break;
    take += frame.fSize;
  }
  if (take == 0) take = std::min(iCount, PMqttConnection::kMessageTarget);
  if (iPacketMax == 0 || take + iOverhead <= iPacketMax) return take;
  size_t whole = 0;
  for (PFrameView frame; whole < take;) {
    size_t needed = 0;
    if (PFrame::parse(iBytes + whole, take - whole, 0xFFFFFFFFu, frame, needed) != 0 || whole + frame.fSize + iOverhead > iPacketMax) break;
    whole += frame.fSize;
  }
  return whole;
}

}  // namespace

int PMqttConnection::create(const PEndpoint& iBroker, const PMqttLogin& iLogin, const std::string& iWill,
                            std::shared_ptr<PMqttConnection>& oConnection, std::string& oError) {
  std::shared_ptr<PMqttConnection> made(new (std::nothrow) PMqttConnection);
  if (!made) {
    oError = "out of memory";
    return ENOMEM;
  }
  PMqttConnection& self = *made;
  self.fBroker = iBroker;
  self.fWake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  PMqttLogin login = iLogin;
  if (login.fClientId.empty()) login.fClientId = "zevofa-" + PMqttHandle::randomHex(16);
  PStdMutexLock lock(self.fMutex);
  self.fHandle = PMqttHandle::create(iBroker, login, &self, oError);
  if (!self.fHandle) return EINVAL;
  if (!self.fWake.valid()) {
    oError = "cannot make an event descriptor: " + PMqttHandle::error(MOSQ_ERR_ERRNO);
    return ENOMEM;
  }
  mosquitto* handle = self.fHandle->get();
  mosquitto_connect_v5_callback_set(handle, onConnect);
  mosquitto_subscribe_v5_callback_set(handle, onSubscribe);
  mosquitto_message_v5_callback_set(handle, onMessage);
  mosquitto_publish_v5_callback_set(handle, onPublish);
  mosquitto_disconnect_v5_callback_set(handle, onDisconnect);
  if ((!iWill.empty() && self.fHandle->setWill(iWill, "", false) != 0) || self.fHandle->connect(oError) != 0) {
    oError = "cannot connect to the broker " + self.where() + ": " + oError;
    return ECONNREFUSED;
  }
  try {
    self.fThread = std::thread([&self] { self.serve(); });
  } catch (const std::system_error&) {
    oError = "cannot start a thread for the broker's connection";
    return ENOMEM;
  }
  oConnection = std::move(made);
  return 0;
}

PMqttConnection::~PMqttConnection() {
  {
    PStdMutexLock lock(fMutex);
    fStopping = true;
  }
  wake();
  if (fThread.joinable()) fThread.join();
  PStdMutexLock lock(fMutex);
  if (!fHandle || !fConnected || fDead) return;
  mosquitto_disconnect_v5(fHandle->get(), MQTT_RC_NORMAL_DISCONNECTION, nullptr);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
  while (fHandle->socket() >= 0 && fHandle->wantsWrite() && Clock::now() < deadline) {
    pollfd waiting{fHandle->socket(), POLLOUT, 0};
    if (::poll(&waiting, 1, 100) < 0 || mosquitto_loop_write(fHandle->get(), 1) != MOSQ_ERR_SUCCESS) break;
  }
}

std::string PMqttConnection::where() const { return fBroker.fHost + ":" + std::to_string(fBroker.fPort); }

void PMqttConnection::raise(int iSignal) {
  const uint64_t one = 1;
  if (iSignal >= 0 && ::write(iSignal, &one, sizeof one) < 0) {
  }  // already raised past counting: raised all the same
}

void PMqttConnection::wake() const { raise(fWake.get()); }

void PMqttConnection::serve() {
  for (;;) {
    pollfd waiting[2] = {{-1, POLLIN, 0}, {fWake.get(), POLLIN, 0}};
    {
      PStdMutexLock lock(fMutex);
      if (fStopping) return;
      waiting[0].fd = fDead ? -1 : fHandle->socket();
      waiting[0].events = static_cast<short>(POLLIN | (fHandle->wantsWrite() ? POLLOUT : 0));
    }
    ::poll(waiting, 2, 1000);  // at most a second: the keep-alive
    uint64_t count = 0;
    if ((waiting[1].revents & POLLIN) != 0 && ::read(fWake.get(), &count, sizeof count) < 0) {
    }  // raised again meanwhile: looked at on the next turn
    PStdMutexLock lock(fMutex);
    if (fStopping) return;
    if (fDead) continue;
    const int result = fHandle->turn(true);
    if (result != MOSQ_ERR_SUCCESS && !fDead) {
      fDead = true;
      loseAll(ECONNREFUSED, "the connection to the broker ended: " + PMqttHandle::error(result));
    }
  }
}

uint64_t PMqttConnection::attach(const PMqttSessionTopics& iTopics, int iSignal) {
  PStdMutexLock lock(fMutex);
  const uint64_t id = fNextSession++;
  Session& session = fSessions[id];
  session.fTopics = iTopics;
  session.fSignal = iSignal;
  fByResponse[iTopics.fResponse] = id;
  ++fDevices[iTopics.fPresence].fSessions;
  if (fDead) {
    session.fFailure = ECONNREFUSED;
    session.fError = "the connection to the broker " + where() + " has ended";
  } else if (fConnected) {
    subscribe(id, session);
  }
  return id;
}

// The response topic, and the device's presence unless another session
// watches it already.
void PMqttConnection::subscribe(uint64_t iId, Session& ioSession) {
  Device& device = fDevices[ioSession.fTopics.fPresence];
  const bool watched = device.fSubscribed;
  char* topics[2] = {const_cast<char*>(ioSession.fTopics.fResponse.c_str()), const_cast<char*>(ioSession.fTopics.fPresence.c_str())};
  int mid = 0;
  if (mosquitto_subscribe_multiple(fHandle->get(), &mid, watched ? 1 : 2, topics, 1, 0, nullptr) != MOSQ_ERR_SUCCESS) {
    ioSession.fFailure = ECONNREFUSED;
    ioSession.fError = "cannot subscribe at the broker " + where();
    raise(ioSession.fSignal);
    return;
  }
  fSubscriptions[mid] = iId;
  ioSession.fSubscribing = true;
  device.fSubscribed = true;
  if (watched && device.fKnown) presence(ioSession, device);
  if (fHandle->wantsWrite()) wake();
}

// What the device's presence means to a session: online opens it; offline,
// or online anew with another epoch, ends it.
void PMqttConnection::presence(Session& ioSession, const Device& iDevice) {
  if (!ioSession.fOnline && ioSession.fFailure == 0) {
    if (iDevice.fState == "online") {
      ioSession.fOnline = true;
      ioSession.fEpoch = iDevice.fEpoch;
    } else {
      ioSession.fFailure = EHOSTDOWN;
      ioSession.fError = "the host " + ioSession.fTopics.fDevice + " is offline";
    }
  } else if (iDevice.fState != "online") {
    lose(ioSession, "the host " + ioSession.fTopics.fDevice + " went offline (its connection to the broker ended)");
  } else if (iDevice.fEpoch != ioSession.fEpoch) {
    lose(ioSession, "the host " + ioSession.fTopics.fDevice + " connected to the broker anew: the session ended with its old connection");
  }
  raise(ioSession.fSignal);
}

void PMqttConnection::lose(Session& ioSession, const std::string& iWhy) {
  if (ioSession.fLost) return;
  ioSession.fLost = true;
  ioSession.fError = iWhy;
  raise(ioSession.fSignal);
}

void PMqttConnection::loseAll(int iFailure, const std::string& iWhy) {
  for (auto& [id, session] : fSessions) {
    if (session.fFailure == 0 && !(session.fSubscribed && session.fOnline)) {
      session.fFailure = iFailure;
      session.fError = iWhy;
    }
    lose(session, iWhy);
  }
}

int PMqttConnection::opened(uint64_t iSession, int iWaitedMs, std::string& oError) {
  PStdMutexLock lock(fMutex);
  const Session& session = fSessions[iSession];
  if (session.fFailure != 0) {
    oError = session.fError;
    return session.fFailure;
  }
  if (session.fSubscribed && session.fOnline) return 0;
  if (iWaitedMs < 0) return EAGAIN;
  const std::string waited = std::to_string(iWaitedMs) + " ms";
  if (!fConnected) {
    oError = "the broker " + where() + " did not answer within " + waited;
  } else if (session.fSubscribed) {
    oError = "no host " + session.fTopics.fDevice + " is known to the broker " + where() + " (no presence within " + waited + ")";
    return EHOSTDOWN;
  } else {
    oError = "the broker " + where() + " did not grant the subscriptions within " + waited;
  }
  return ETIMEDOUT;
}

bool PMqttConnection::take(uint64_t iSession, std::vector<unsigned char>& oBytes, bool& oEnd, std::string& oError) {
  PStdMutexLock lock(fMutex);
  Session& session = fSessions[iSession];
  oBytes.swap(session.fIn);
  oEnd = session.fEnded;
  oError = session.fError;
  return !session.fLost || !oBytes.empty() || session.fEnded;
}

ssize_t PMqttConnection::publish(uint64_t iSession, const unsigned char* iBytes, size_t iCount, std::string& oError) {
  PStdMutexLock lock(fMutex);
  Session& session = fSessions[iSession];
  if (session.fLost || session.fClosed || session.fEnded) {
    oError = session.fLost ? session.fError : session.fEnded ? "the host ended the session" : "the requests have ended";
    return -1;
  }
  if (session.fInflight >= kInflight) return 0;
  const std::string& request = session.fTopics.fRequest;
  const std::string& response = session.fTopics.fResponse;
  // What the message adds: its header, topic, packet ID and properties.
  const size_t overhead = 5 + 2 + request.size() + 2 + 4 + 3 + response.size() + 3 + sizeof session.fNextCorrelation;
  const size_t take = messageBytes(iBytes, iCount, overhead, fPacketMax);
  if (take == 0) {
    oError = "a request message of " + std::to_string(std::min(iCount, kMessageTarget) + overhead) +
             " bytes is larger than the broker takes (" + std::to_string(fPacketMax) + " bytes a packet)";
    return -1;
  }
  const std::string correlation(reinterpret_cast<const char*>(&session.fNextCorrelation), sizeof session.fNextCorrelation);
  int mid = 0;
  const int result = fHandle->publish(request, iBytes, take, false, &response, &correlation, mid);
  if (result == MOSQ_ERR_OVERSIZE_PACKET) {
    oError = "a request message of " + std::to_string(take) + " bytes is larger than the broker takes";
    return -1;
  }
  if (result != MOSQ_ERR_SUCCESS) {
    lose(session, "cannot send a request to the broker " + where() + ": " + PMqttHandle::error(result));
    oError = session.fError;
    return -1;
  }
  fRequests[mid] = iSession;
  ++session.fNextCorrelation;
  ++session.fInflight;
  if (fHandle->wantsWrite()) wake();
  return static_cast<ssize_t>(take);
}

void PMqttConnection::endRequests(uint64_t iSession) {
  PStdMutexLock lock(fMutex);
  Session& session = fSessions[iSession];
  if (session.fClosed || session.fLost || fDead) return;
  session.fClosed = true;
  int mid = 0;
  if (fHandle->publish(session.fTopics.fRequest, nullptr, 0, false, nullptr, nullptr, mid) == MOSQ_ERR_SUCCESS) fRequests[mid] = iSession;
  if (fHandle->wantsWrite()) wake();
}

void PMqttConnection::detach(uint64_t iSession) {
  PStdMutexLock lock(fMutex);
  const auto found = fSessions.find(iSession);
  if (found == fSessions.end()) return;
  Session& session = found->second;
  const std::string presenceTopic = session.fTopics.fPresence;
  Device& device = fDevices[presenceTopic];
  const bool last = --device.fSessions == 0;
  if (!fDead && fConnected) {
    int mid = 0;
    if (!session.fEnded && !session.fClosed && !session.fLost) {
      fHandle->publish(session.fTopics.fRequest, nullptr, 0, false, nullptr, nullptr, mid);
    }
    if (session.fSubscribing) mosquitto_unsubscribe_v5(fHandle->get(), &mid, session.fTopics.fResponse.c_str(), nullptr);
    if (last && device.fSubscribed) mosquitto_unsubscribe_v5(fHandle->get(), &mid, presenceTopic.c_str(), nullptr);
    if (fHandle->wantsWrite()) wake();
  }
  if (last) fDevices.erase(presenceTopic);
  fByResponse.erase(session.fTopics.fResponse);
  fSessions.erase(found);
}

size_t PMqttConnection::sessions() const {
  PStdMutexLock lock(fMutex);
  return fSessions.size();
}

bool PMqttConnection::usable() const {
  PStdMutexLock lock(fMutex);
  return !fDead;
}

// ------------------------------------------------------------ callbacks

void PMqttConnection::onConnect(mosquitto*, void* iSelf, int iCode, int, const mqtt5__property* iProperties) {
  static_cast<PMqttConnection*>(iSelf)->connected(iCode, PMqttHandle::numberOf(iProperties, MQTT_PROP_MAXIMUM_PACKET_SIZE, 0));
}

void PMqttConnection::onSubscribe(mosquitto*, void* iSelf, int iMid, int iCount, const int* iGranted,
                                  const mqtt5__property*) {
  static_cast<PMqttConnection*>(iSelf)->subscribed(iMid, iCount, iGranted);
}

void PMqttConnection::onMessage(mosquitto*, void* iSelf, const mosquitto_message* iMessage,
                                const mqtt5__property*) {
  const size_t count = iMessage->payloadlen > 0 ? static_cast<size_t>(iMessage->payloadlen) : 0;
  static_cast<PMqttConnection*>(iSelf)->arrived(iMessage->topic, static_cast<const unsigned char*>(iMessage->payload), count);
}

void PMqttConnection::onPublish(mosquitto*, void* iSelf, int iMid, int iReason, const mqtt5__property*) {
  static_cast<PMqttConnection*>(iSelf)->acknowledged(iMid, iReason);
}

void PMqttConnection::onDisconnect(mosquitto*, void* iSelf, int iCode, const mqtt5__property*) {
  PMqttConnection& self = *static_cast<PMqttConnection*>(iSelf);
  self.fConnected = false;
  self.fDead = true;
  self.loseAll(ECONNREFUSED, iCode == MOSQ_ERR_SUCCESS ? std::string("the connection to the broker ended")
                                                       : "the broker " + self.where() + " ended the connection: " + PMqttHandle::error(iCode));
}

void PMqttConnection::connected(int iCode, uint32_t iPacketMax) {
  if (iCode != 0) {
    fDead = true;
    loseAll(ECONNREFUSED, "the broker refused the connection: " + PMqttHandle::reason(iCode));
    return;
  }
  fConnected = true;
  fPacketMax = iPacketMax;
  for (auto& [id, session] : fSessions) {
    if (!session.fSubscribing && session.fFailure == 0) subscribe(id, session);
  }
}

void PMqttConnection::subscribed(int iMid, int iCount, const int* iGranted) {
  const auto whose = fSubscriptions.find(iMid);
  if (whose == fSubscriptions.end()) return;
  const auto found = fSessions.find(whose->second);
  fSubscriptions.erase(whose);
  if (found == fSessions.end()) return;
  Session& session = found->second;
  for (int i = 0; i < iCount; ++i) {
    if (iGranted[i] <= 2) continue;
    session.fFailure = ECONNREFUSED;
    session.fError = "the broker does not let this login read " + session.fTopics.fResponse + " or " + session.fTopics.fPresence + ": " +
                     PMqttHandle::reason(iGranted[i]);
    raise(session.fSignal);
    return;
  }
  session.fSubscribed = true;
  raise(session.fSignal);
}

void PMqttConnection::arrived(const std::string& iTopic, const unsigned char* iBytes, size_t iCount) {
  const auto whose = fByResponse.find(iTopic);
  if (whose != fByResponse.end()) {
    Session& session = fSessions[whose->second];
    // Raised as the first bytes wait: the reader lowers the signal before
    // it takes them all.
    const bool waiting = !session.fIn.empty();
    if (iCount == 0) {
      session.fEnded = true;
    } else if (!session.fEnded) {
      try {
        session.fIn.insert(session.fIn.end(), iBytes, iBytes + iCount);
      } catch (const std::bad_alloc&) {
        lose(session, "out of memory for a reply");
      }
    }
    if (!waiting || iCount == 0) raise(session.fSignal);
    return;
  }
  const auto device = fDevices.find(iTopic);
  if (device == fDevices.end()) return;
  const std::string text(reinterpret_cast<const char*>(iBytes), iCount);
  device->second.fKnown = true;
  device->second.fState = PMqttTopics::presenceField(text, "state");
  device->second.fEpoch = PMqttTopics::presenceField(text, "epoch");
  for (auto& [id, session] : fSessions) {
    if (session.fTopics.fPresence == iTopic) presence(session, device->second);
  }
}

void PMqttConnection::acknowledged(int iMid, int iReason) {
  const auto whose = fRequests.find(iMid);
  if (whose == fRequests.end()) return;
  const auto found = fSessions.find(whose->second);
  fRequests.erase(whose);
  if (found == fSessions.end()) return;
  Session& session = found->second;
  if (session.fInflight-- == kInflight) raise(session.fSignal);
  // The broker takes a request it will not pass on and says why.
  if (iReason >= 0x80) lose(session, "the broker refused a request on " + session.fTopics.fRequest + ": " + PMqttHandle::reason(iReason));
}

// ------------------------------------------------------------ the pool

int PMqttConnections::connectionFor(const PEndpoint& iBroker, const PMqttLogin& iLogin, std::shared_ptr<PMqttConnection>& oConnection,
                                    std::string& oError) {
  // The broker, not the device the endpoint names.
  const std::string key = iBroker.fScheme + '\n' + iBroker.fHost + '\n' + std::to_string(iBroker.fPort) + '\n' + iLogin.fUsername + '\n' + iLogin.fPassword + '\n' + iLogin.fCaFile + '\n' +
                          iLogin.fCertFile + '\n' + iLogin.fKeyFile;
  PStdMutexLock lock(fMutex);
  for (auto at = fConnections.lower_bound(key); at != fConnections.end() && at->first == key;) {
    if (!at->second->usable()) {
      at = fConnections.erase(at);
      continue;
    }
    if (at->second->sessions() < fSessionsEach) {
      oConnection = at->second;
      return 0;
    }
    ++at;
  }
  const int result = PMqttConnection::create(iBroker, iLogin, "", oConnection, oError);
  if (result == 0) fConnections.emplace(key, oConnection);
  return result;
}
