#include "PMqttChannel.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "zevo/protocol/PMqttTopics.h"

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point iDeadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(iDeadline - Clock::now()).count();
  return left <= 0 ? 0 : left > 1000000 ? 1000000 : static_cast<int>(left);
}

}  // namespace

int PMqttChannel::open(const PEndpoint& iBroker, const PMqttRequester& iRequester, int iTimeoutMs, PMqttConnections* iShared,
                       std::unique_ptr<PMqttChannel>& oChannel, PFd& oFd, std::string& oError) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
  const std::string root = iRequester.fRoot.empty() ? PMqttTopics::kDefaultRoot : iRequester.fRoot;
  const std::string session = iRequester.fSession.empty() ? PMqttHandle::randomHex(16) : iRequester.fSession;
  if (!PMqttTopics::checkRoot(root, oError) || !PMqttTopics::checkName(iRequester.fDevice, "the device ID", oError) ||
      !PMqttTopics::checkName(iRequester.fName, "the requester's name", oError) ||
      !PMqttTopics::checkName(session, "the session", oError)) {
    return EINVAL;
  }
  PMqttSessionTopics topics;
  topics.fDevice = iRequester.fDevice;
  topics.fRequest = PMqttTopics::request(root, iRequester.fDevice, iRequester.fName, session);
  topics.fResponse = PMqttTopics::response(root, iRequester.fDevice, iRequester.fName, session);
  topics.fPresence = PMqttTopics::presence(root, iRequester.fDevice);
  // The signal outlives the channel, which the connection raises it for.
  PFd signal(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  std::unique_ptr<PMqttChannel> channel(new (std::nothrow) PMqttChannel);
  if (!channel || !signal.valid()) {
    oError = channel ? std::strerror(errno) : "out of memory";
    return channel ? errno : ENOMEM;
  }
  PMqttLogin login = iRequester.fLogin;
  if (login.fClientId.empty() && iShared == nullptr) login.fClientId = "zevofa-" + session;
  // Its own connection's will ends the session should this requester vanish.
  int result = iShared != nullptr ? iShared->connectionFor(iBroker, login, channel->fConnection, oError)
                                  : PMqttConnection::create(iBroker, login, topics.fRequest, channel->fConnection, oError);
  if (result != 0) return result;
  channel->fSignal = signal.get();
  channel->fSession = channel->fConnection->attach(topics, signal.get());
  result = EAGAIN;
  for (int left = iTimeoutMs; result == EAGAIN; left = msLeft(deadline)) {
    pollfd waiting{signal.get(), POLLIN, 0};
    if (::poll(&waiting, 1, left) < 0 && errno != EINTR) break;
    uint64_t count = 0;
    if (::read(signal.get(), &count, sizeof count) < 0) {
    }  // nothing raised: the time is up
    result = channel->fConnection->opened(channel->fSession, msLeft(deadline) == 0 ? iTimeoutMs : -1, oError);
  }
  if (result != 0) return result == EAGAIN ? ETIMEDOUT : result;
  oFd = std::move(signal);
  oChannel = std::move(channel);
  return 0;
}

PMqttChannel::~PMqttChannel() {
  if (fConnection) fConnection->detach(fSession);
}

ssize_t PMqttChannel::read(unsigned char* oBytes, size_t iRoom) {
  if (fInStart == fIn.size()) {
    // The signal first: what arrives after it raises it again.
    uint64_t count = 0;
    if (::read(fSignal, &count, sizeof count) < 0) {
    }  // not raised
    fIn.clear();
    fInStart = 0;
    bool end = false;
    if (!fConnection->take(fSession, fIn, end, fError)) return kFailed;
    if (fIn.empty()) {
      fReadWait = kReadable;
      return end ? 0 : kWouldBlock;
    }
  }
  const size_t count = std::min(iRoom, fIn.size() - fInStart);
  std::memcpy(oBytes, fIn.data() + fInStart, count);
  fInStart += count;
  return static_cast<ssize_t>(count);
}

ssize_t PMqttChannel::write(const unsigned char* iBytes, size_t iCount) {
  const ssize_t taken = fConnection->publish(fSession, iBytes, iCount, fError);
  if (taken > 0) return taken;
  if (taken < 0) return kFailed;
  fWriteWait = kReadable;  // the signal says when the broker has acknowledged
  return kWouldBlock;
}

void PMqttChannel::endRequests() { fConnection->endRequests(fSession); }

namespace {

// The listing subscribes the presences at QoS 0, then the same filter again
// without retained messages: a broker sends the retained messages of the
// first subscription before it acknowledges the second (Mosquitto does: a
// QoS 0 message is written at once or dropped, never queued behind the
// acknowledgement, where a QoS 1 one past the 20 in flight would be), so
// that acknowledgement ends the listing. A broker that refuses the second
// has the listing end after a quiet moment instead.
struct PPresenceWatch {
  std::string fFilter, fRoot, fError;
  int fListing = 0, fMarker = 0;  // the subscriptions' packet IDs
  bool fGranted = false;
  bool fMarked = false;   // the second subscription was granted
  bool fUnmarked = false;  // or refused
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
  if (login.fClientId.empty()) login.fClientId = "zevofa-" + PMqttHandle::randomHex(16);
  std::unique_ptr<PMqttHandle> handle = PMqttHandle::create(iBroker, login, &watch, oError);
  if (!handle) return EINVAL;
  mosquitto_connect_v5_callback_set(handle->get(), [](mosquitto* iHandle, void* iWatch, int iCode, int, const mqtt5__property*) {
    PPresenceWatch& watch = *static_cast<PPresenceWatch*>(iWatch);
    if (iCode != 0) {
      watch.fFailure = ECONNREFUSED;
      watch.fError = "the broker refused the connection: " + PMqttHandle::reason(iCode);
      return;
    }
    mosquitto_subscribe_v5(iHandle, &watch.fListing, watch.fFilter.c_str(), 0, 0, nullptr);
    mosquitto_subscribe_v5(iHandle, &watch.fMarker, watch.fFilter.c_str(), 0, MQTT_SUB_OPT_SEND_RETAIN_NEVER, nullptr);
  });
  mosquitto_subscribe_v5_callback_set(handle->get(), [](mosquitto*, void* iWatch, int iMid, int, const int* iGranted, const mqtt5__property*) {
    PPresenceWatch& watch = *static_cast<PPresenceWatch*>(iWatch);
    if (iMid == watch.fMarker) {
      (iGranted[0] > 2 ? watch.fUnmarked : watch.fMarked) = true;
      return;
    }
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
    if (watch.fGranted && (watch.fMarked || (watch.fUnmarked && Clock::now() - watch.fLast >= std::chrono::milliseconds(iQuietMs)))) break;
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
