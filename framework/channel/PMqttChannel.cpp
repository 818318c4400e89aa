#include "PMqttChannel.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <random>

#include "zevo/protocol/PFrame.h"
#include "zevo/protocol/PMqttTopics.h"

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point iDeadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(iDeadline - Clock::now()).count();
  return left <= 0 ? 0 : left > 1000000 ? 1000000 : static_cast<int>(left);
}

std::string randomHex(size_t iDigits) {
  static thread_local std::random_device source;
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  while (text.size() < iDigits) {
    const unsigned int value = source();
    for (int i = 0; i < 8 && text.size() < iDigits; ++i) text += kHex[(value >> (4 * i)) & 0xF];
  }
  return text;
}

}  // namespace

int PMqttChannel::open(const PEndpoint& iBroker, const PMqttRequester& iRequester, int iTimeoutMs,
                       std::unique_ptr<PMqttChannel>& oChannel, PFd& oFd, std::string& oError) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
  const std::string root = iRequester.fRoot.empty() ? PMqttTopics::kDefaultRoot : iRequester.fRoot;
  const std::string session = iRequester.fSession.empty() ? randomHex(16) : iRequester.fSession;
  if (!PMqttTopics::checkRoot(root, oError) || !PMqttTopics::checkName(iRequester.fDevice, "the device ID", oError) ||
      !PMqttTopics::checkName(iRequester.fName, "the requester's name", oError) ||
      !PMqttTopics::checkName(session, "the session", oError)) {
    return EINVAL;
  }
  std::unique_ptr<PMqttChannel> channel(new (std::nothrow) PMqttChannel);
  if (!channel) {
    oError = "out of memory";
    return ENOMEM;
  }
  PMqttChannel& self = *channel;
  self.fDevice = iRequester.fDevice;
  self.fRequestTopic = PMqttTopics::request(root, iRequester.fDevice, iRequester.fName, session);
  self.fResponseTopic = PMqttTopics::response(root, iRequester.fDevice, iRequester.fName, session);
  self.fPresenceTopic = PMqttTopics::presence(root, iRequester.fDevice);
  PMqttLogin login = iRequester.fLogin;
  if (login.fClientId.empty()) login.fClientId = "zevofa-" + session;
  self.fHandle = PMqttHandle::create(iBroker, login, &self, oError);
  if (!self.fHandle) return EINVAL;
  mosquitto* handle = self.fHandle->get();
  mosquitto_connect_v5_callback_set(handle, onConnect);
  mosquitto_subscribe_v5_callback_set(handle, onSubscribe);
  mosquitto_message_v5_callback_set(handle, onMessage);
  mosquitto_publish_v5_callback_set(handle, onPublish);
  mosquitto_disconnect_v5_callback_set(handle, onDisconnect);
  // Vanished, it ends its session all the same.
  if (self.fHandle->setWill(self.fRequestTopic, "", false) != 0 || self.fHandle->connect(oError) != 0) {
    oError = "cannot connect to the broker " + iBroker.fHost + ":" + std::to_string(iBroker.fPort) + ": " + oError;
    return ECONNREFUSED;
  }
  while (!self.opened() && self.fFailure == 0) {
    const int socket = self.fHandle->socket();
    pollfd waiting{socket, static_cast<short>(POLLIN | (self.fHandle->wantsWrite() || !self.fConnected ? POLLOUT : 0)), 0};
    const int left = msLeft(deadline);
    if (left == 0 || socket < 0) break;
    if (::poll(&waiting, 1, std::min(left, 1000)) < 0 && errno != EINTR) break;
    self.turn();
  }
  if (self.fFailure != 0 || !self.opened()) {
    const std::string where = iBroker.fHost + ":" + std::to_string(iBroker.fPort);
    if (self.fFailure != 0) {
      oError = self.fError;
      return self.fFailure;
    }
    if (self.fLost) {
      oError = "the broker " + where + " closed the connection: " + self.fError;
      return ECONNREFUSED;
    }
    if (!self.fConnected) {
      oError = "the broker " + where + " did not answer within " + std::to_string(iTimeoutMs) + " ms";
      return ETIMEDOUT;
    }
    if (self.fSubscribed == 2) {
      oError = "no host " + self.fDevice + " is known to the broker " + where + " (no presence within " +
               std::to_string(iTimeoutMs) + " ms)";
      return EHOSTDOWN;
    }
    oError = "the broker " + where + " did not grant the subscriptions within " + std::to_string(iTimeoutMs) + " ms";
    return ETIMEDOUT;
  }
  oFd.reset(::fcntl(self.fHandle->socket(), F_DUPFD_CLOEXEC, 0));
  if (!oFd.valid()) {
    oError = std::strerror(errno);
    return errno;
  }
  oChannel = std::move(channel);
  return 0;
}

PMqttChannel::~PMqttChannel() {
  if (!fHandle) return;
  if (fConnected && !fLost) {
    if (!fEnded) endRequests();
    mosquitto_disconnect_v5(fHandle->get(), MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
    while (fHandle->socket() >= 0 && fHandle->wantsWrite() && msLeft(deadline) > 0) {
      pollfd waiting{fHandle->socket(), POLLOUT, 0};
      if (::poll(&waiting, 1, msLeft(deadline)) <= 0 || mosquitto_loop_write(fHandle->get(), 1) != MOSQ_ERR_SUCCESS) break;
    }
  }
}

void PMqttChannel::fail(const std::string& iWhy) {
  if (fLost) return;
  fLost = true;
  fError = iWhy;
}

void PMqttChannel::turn() {
  if (fLost || !fHandle) return;
  const int result = fHandle->turn(true);
  if (result != MOSQ_ERR_SUCCESS) fail("the connection to the broker ended: " + PMqttHandle::error(result));
}

void PMqttChannel::onConnect(mosquitto* iHandle, void* iSelf, int iCode, int, const mqtt5__property* iProperties) {
  PMqttChannel& self = *static_cast<PMqttChannel*>(iSelf);
  if (iCode != 0) {
    self.fFailure = ECONNREFUSED;
    self.fError = "the broker refused the connection: " + PMqttHandle::reason(iCode);
    return;
  }
  self.fConnected = true;
  self.fPacketMax = PMqttHandle::numberOf(iProperties, MQTT_PROP_MAXIMUM_PACKET_SIZE, 0);
  int mid = 0;
  mosquitto_subscribe_v5(iHandle, &mid, self.fResponseTopic.c_str(), 1, 0, nullptr);
  mosquitto_subscribe_v5(iHandle, &mid, self.fPresenceTopic.c_str(), 1, 0, nullptr);
}

void PMqttChannel::onSubscribe(mosquitto*, void* iSelf, int, int iCount, const int* iGranted, const mqtt5__property*) {
  PMqttChannel& self = *static_cast<PMqttChannel*>(iSelf);
  for (int i = 0; i < iCount; ++i) {
    if (iGranted[i] > 2) {
      self.fFailure = ECONNREFUSED;
      self.fError = "the broker does not let this login read " + self.fResponseTopic + " or " + self.fPresenceTopic + ": " +
                    PMqttHandle::reason(iGranted[i]);
      return;
    }
  }
  self.fSubscribed += iCount;
}

void PMqttChannel::onMessage(mosquitto*, void* iSelf, const mosquitto_message* iMessage, const mqtt5__property*) {
  PMqttChannel& self = *static_cast<PMqttChannel*>(iSelf);
  const unsigned char* bytes = static_cast<const unsigned char*>(iMessage->payload);
  const size_t count = iMessage->payloadlen > 0 ? static_cast<size_t>(iMessage->payloadlen) : 0;
  if (self.fResponseTopic == iMessage->topic) {
    if (count == 0) {
      self.fEnded = true;
    } else if (!self.fEnded) {
      if (self.fInStart == self.fIn.size()) {
        self.fIn.clear();
        self.fInStart = 0;
      }
      try {
        self.fIn.insert(self.fIn.end(), bytes, bytes + count);
      } catch (const std::bad_alloc&) {
        self.fail("out of memory for a reply");
      }
    }
    return;
  }
  if (self.fPresenceTopic != iMessage->topic) return;
  const std::string presence(reinterpret_cast<const char*>(bytes), count);
  const std::string state = PMqttTopics::presenceField(presence, "state");
  const std::string epoch = PMqttTopics::presenceField(presence, "epoch");
  if (!self.fOnline) {  // opening
    if (state == "online") {
      self.fOnline = true;
      self.fEpoch = epoch;
    } else {
      self.fFailure = EHOSTDOWN;
      self.fError = "the host " + self.fDevice + " is offline";
    }
  } else if (state != "online") {
    self.fail("the host " + self.fDevice + " went offline (its connection to the broker ended)");
  } else if (epoch != self.fEpoch) {
    self.fail("the host " + self.fDevice + " connected to the broker anew: the session ended with its old connection");
  }
}

void PMqttChannel::onPublish(mosquitto*, void* iSelf, int, int iReason, const mqtt5__property*) {
  PMqttChannel& self = *static_cast<PMqttChannel*>(iSelf);
  --self.fInflight;
  // The broker takes a request it will not pass on and says why.
  if (iReason >= 0x80) self.fail("the broker refused a request on " + self.fRequestTopic + ": " + PMqttHandle::reason(iReason));
}

void PMqttChannel::onDisconnect(mosquitto*, void* iSelf, int iCode, const mqtt5__property*) {
  PMqttChannel& self = *static_cast<PMqttChannel*>(iSelf);
  self.fConnected = false;
  self.fail(iCode == MOSQ_ERR_SUCCESS ? std::string("the connection to the broker ended")
                                      : "the broker ended the connection: " + PMqttHandle::error(iCode));
}

ssize_t PMqttChannel::read(unsigned char* oBytes, size_t iRoom) {
  if (fInStart == fIn.size()) turn();
  if (fInStart < fIn.size()) {
    const size_t count = std::min(iRoom, fIn.size() - fInStart);
    std::memcpy(oBytes, fIn.data() + fInStart, count);
    fInStart += count;
    return static_cast<ssize_t>(count);
  }
  if (fEnded) return 0;
  if (fLost) return kFailed;
  fReadWait = fHandle->wantsWrite() ? kWritable : kReadable;
  return kWouldBlock;
}

bool PMqttChannel::pending() const { return fInStart < fIn.size() || fEnded || fLost; }

ssize_t PMqttChannel::write(const unsigned char* iBytes, size_t iCount) {
  turn();
  if (fLost) return kFailed;
  if (fClosed || fEnded) {
    fError = fEnded ? "the host ended the session" : "the requests have ended";
    return kFailed;
  }
  if (fInflight >= kInflight) {
    fWriteWait = fHandle->wantsWrite() ? kWritable : kReadable;  // acknowledgements arrive by reading
    return kWouldBlock;
  }
  // Whole frames up to the target, or one larger frame; what is no whole
  // frame goes as it is.
  size_t take = 0;
  for (;;) {
    PFrameView frame;
    size_t needed = 0;
    if (take == iCount || PFrame::parse(iBytes + take, iCount - take, 0xFFFFFFFFu, frame, needed) != 0) break;
    if (take > 0 && take + frame.fSize > kMessageTarget) break;
    take += frame.fSize;
  }
  if (take == 0) take = std::min(iCount, kMessageTarget);
  // What the message adds: its header, topic, packet ID and properties.
  const size_t overhead = 5 + 2 + fRequestTopic.size() + 2 + 4 + 3 + fResponseTopic.size() + 3 + sizeof fNextCorrelation;
  if (fPacketMax != 0 && take + overhead > fPacketMax) {
    size_t whole = 0;  // whole frames that fit
    for (PFrameView frame; whole < take;) {
      size_t needed = 0;
      if (PFrame::parse(iBytes + whole, take - whole, 0xFFFFFFFFu, frame, needed) != 0 || whole + frame.fSize + overhead > fPacketMax) break;
      whole += frame.fSize;
    }
    if (whole == 0) {
      fError = "a request message of " + std::to_string(take + overhead) + " bytes is larger than the broker takes (" +
               std::to_string(fPacketMax) + " bytes a packet)";
      return kFailed;
    }
    take = whole;
  }
  const std::string correlation(reinterpret_cast<const char*>(&fNextCorrelation), sizeof fNextCorrelation);
  int mid = 0;
  const int result = fHandle->publish(fRequestTopic, iBytes, take, false, &fResponseTopic, &correlation, mid);
  if (result == MOSQ_ERR_OVERSIZE_PACKET) {
    fError = "a request message of " + std::to_string(take) + " bytes is larger than the broker takes";
    return kFailed;
  }
  if (result != MOSQ_ERR_SUCCESS) {
    fail("cannot send a request: " + PMqttHandle::error(result));
    return kFailed;
  }
  ++fNextCorrelation;
  ++fInflight;
  return static_cast<ssize_t>(take);
}

void PMqttChannel::endRequests() {
  if (fClosed || fLost || !fHandle) return;
  fClosed = true;
  int mid = 0;
  if (fHandle->publish(fRequestTopic, nullptr, 0, false, nullptr, nullptr, mid) == MOSQ_ERR_SUCCESS) ++fInflight;
}

namespace {

struct PPresenceWatch {
  std::string fFilter, fRoot, fError;
  bool fGranted = false;
  int fFailure = 0;
  std::chrono::steady_clock::time_point fLast;
  std::vector<std::pair<std::string, std::string>> fFound;
};

}  // namespace

int PMqttChannel::presences(const PEndpoint& iBroker, const std::string& iRoot, const PMqttLogin& iLogin, int iTimeoutMs,
                            int iQuietMs, std::vector<std::pair<std::string, std::string>>& oPresences, std::string& oError) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
  PPresenceWatch watch;
  watch.fRoot = iRoot.empty() ? PMqttTopics::kDefaultRoot : iRoot;
  if (!PMqttTopics::checkRoot(watch.fRoot, oError)) return EINVAL;
  watch.fFilter = PMqttTopics::presences(watch.fRoot);
  PMqttLogin login = iLogin;
  if (login.fClientId.empty()) login.fClientId = "zevofa-" + randomHex(16);
  std::unique_ptr<PMqttHandle> handle = PMqttHandle::create(iBroker, login, &watch, oError);
  if (!handle) return EINVAL;
  mosquitto_connect_v5_callback_set(handle->get(), [](mosquitto* iHandle, void* iWatch, int iCode, int, const mqtt5__property*) {
    PPresenceWatch& watch = *static_cast<PPresenceWatch*>(iWatch);
    if (iCode != 0) {
      watch.fFailure = ECONNREFUSED;
      watch.fError = "the broker refused the connection: " + PMqttHandle::reason(iCode);
      return;
    }
    int mid = 0;
    mosquitto_subscribe_v5(iHandle, &mid, watch.fFilter.c_str(), 1, 0, nullptr);
  });
  mosquitto_subscribe_v5_callback_set(handle->get(), [](mosquitto*, void* iWatch, int, int, const int* iGranted, const mqtt5__property*) {
    PPresenceWatch& watch = *static_cast<PPresenceWatch*>(iWatch);
    if (iGranted[0] > 2) {
      watch.fFailure = ECONNREFUSED;
      watch.fError = "the broker does not let this login read " + watch.fFilter + ": " + PMqttHandle::reason(iGranted[0]);
    }
    watch.fGranted = true;
    watch.fLast = Clock::now();
  });
  mosquitto_message_v5_callback_set(handle->get(), [](mosquitto*, void* iWatch, const mosquitto_message* iMessage, const mqtt5__property*) {
    PPresenceWatch& watch = *static_cast<PPresenceWatch*>(iWatch);
    std::string device;
    if (iMessage->payloadlen <= 0 || !PMqttTopics::parsePresence(iMessage->topic, watch.fRoot, device)) return;
    watch.fFound.emplace_back(device, std::string(static_cast<const char*>(iMessage->payload), static_cast<size_t>(iMessage->payloadlen)));
    watch.fLast = Clock::now();
  });
  std::string why;
  if (handle->connect(why) != 0) {
    oError = "cannot connect to the broker " + iBroker.fHost + ":" + std::to_string(iBroker.fPort) + ": " + why;
    return ECONNREFUSED;
  }
  int result = 0;
  while (watch.fFailure == 0) {
    const int left = msLeft(deadline);
    if (watch.fGranted && Clock::now() - watch.fLast >= std::chrono::milliseconds(iQuietMs)) break;
    if (left == 0) {
      result = ETIMEDOUT;
      oError = "the broker " + iBroker.fHost + ":" + std::to_string(iBroker.fPort) + " did not answer within " + std::to_string(iTimeoutMs) + " ms";
      break;
    }
    pollfd waiting{handle->socket(), static_cast<short>(POLLIN | (handle->wantsWrite() ? POLLOUT : 0)), 0};
    if (waiting.fd < 0 || (::poll(&waiting, 1, std::min(left, iQuietMs)) < 0 && errno != EINTR)) {
      result = ECONNREFUSED;
      oError = "the connection to the broker ended";
      break;
    }
    const int turned = handle->turn(true);
    if (turned != MOSQ_ERR_SUCCESS && watch.fFailure == 0) {
      watch.fFailure = ECONNREFUSED;
      watch.fError = "the connection to the broker ended: " + PMqttHandle::error(turned);
    }
  }
  if (watch.fFailure != 0) {
    oError = watch.fError;
    return watch.fFailure;
  }
  if (result == 0) {
    mosquitto_disconnect_v5(handle->get(), MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    handle->turn(false);
    oPresences = std::move(watch.fFound);
  }
  return result;
}
