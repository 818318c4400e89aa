// A requester's session with a host behind an MQTT 5 broker, as a byte
// channel (docs/mqtt.md): what is written leaves as request messages of
// whole frames (QoS 1, with the session's response topic and a correlation
// number) on the session's request topic; the payloads of the reply
// messages are what is read. An empty reply message is the end of the
// session's bytes (read() answers 0). The host's presence is watched: its
// going offline, or coming back as another connection, breaks the channel.
//
// The connection to the broker is this channel's own; its socket (a
// duplicate, see open) is what the caller waits on: readable for read() and
// for write() while the messages in flight are at their limit, as
// readWait()/writeWait() say. The will of the connection is the close
// message, so that a requester that vanishes ends its session too.
// Internal to the client library and the tests.
//
// Threading: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PByteChannel.h"
#include "PMqtt.h"
#include "zevo/PFd.h"
#include "zevo/protocol/PEndpoint.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

struct PMqttRequester {
  std::string fRoot;     // the topics' root; empty: PMqttTopics::kDefaultRoot
  std::string fDevice;   // the host's device ID
  std::string fName;     // the requester's name (its identity on the host: mqtt:NAME)
  std::string fSession;  // empty: 16 random hex digits
  PMqttLogin fLogin;     // an empty client ID: "zevofa-" and the session
};

class PMqttChannel final : public PByteChannel {
 public:
  // Connects to the broker iBroker (mqtt: or mqtts:), subscribes the
  // session's response topic and the device's presence, and waits until the
  // device is online, all within iTimeoutMs. 0 with oChannel and oFd (a
  // duplicate of the connection's socket, the caller's to close after the
  // channel); otherwise EINVAL (a name or a file that cannot serve),
  // ETIMEDOUT, ECONNREFUSED (the broker cannot be reached, or refuses this
  // login or a subscription) or EHOSTDOWN (the device is offline or unknown),
  // with oError in words.
  static int open(const PEndpoint& iBroker, const PMqttRequester& iRequester, int iTimeoutMs,
                  std::unique_ptr<PMqttChannel>& oChannel, PFd& oFd, std::string& oError);
  // Sends the close message unless the session has ended, disconnects
  // cleanly (waiting a second at most for the socket to take it).
  ~PMqttChannel() override;

  ssize_t read(unsigned char* oBytes, size_t iRoom) override;
  // Takes whole frames (up to kMessageTarget together, or one larger frame;
  // bytes that are no whole frame as they are) and publishes them as one
  // message. kFailed when the broker takes no message that large.
  ssize_t write(const unsigned char* iBytes, size_t iCount) override;
  bool pending() const override;
  // The close message: the host answers what it has and ends the session.
  // Nothing more may be written.
  void endRequests();

  // The presence messages the broker iBroker keeps under iRoot (empty: the
  // default), by device: collected until none has arrived for iQuietMs
  // after the subscription was granted, within iTimeoutMs. 0, or an errno
  // value as open() answers, with oError.
  static int presences(const PEndpoint& iBroker, const std::string& iRoot, const PMqttLogin& iLogin, int iTimeoutMs,
                       int iQuietMs, std::vector<std::pair<std::string, std::string>>& oPresences, std::string& oError);

  static constexpr size_t kMessageTarget = 64 * 1024;
  static constexpr int kInflight = 16;  // request messages the broker has not acknowledged

 private:
  PMqttChannel() = default;
  void turn();
  bool opened() const { return fSubscribed == 2 && fOnline; }
  void fail(const std::string& iWhy);
  static void onConnect(mosquitto*, void* iSelf, int iCode, int, const mqtt5__property* iProperties);
  static void onSubscribe(mosquitto*, void* iSelf, int, int iCount, const int* iGranted, const mqtt5__property*);
  static void onMessage(mosquitto*, void* iSelf, const mosquitto_message* iMessage, const mqtt5__property*);
  static void onPublish(mosquitto*, void* iSelf, int, int iReason, const mqtt5__property*);
  static void onDisconnect(mosquitto*, void* iSelf, int iCode, const mqtt5__property*);

  std::unique_ptr<PMqttHandle> fHandle;
  std::string fRequestTopic, fResponseTopic, fPresenceTopic, fDevice;
  std::vector<unsigned char> fIn;  // reply bytes not read yet, from fInStart
  size_t fInStart = 0;
  uint64_t fNextCorrelation = 1;
  int fInflight = 0;
  uint32_t fPacketMax = 0;  // the broker's maximum packet size (0: its protocol's)
  int fSubscribed = 0;      // subscriptions granted
  bool fConnected = false;
  bool fOnline = false;     // the device's presence said online
  bool fEnded = false;      // the host ended the session
  bool fClosed = false;     // endRequests
  bool fLost = false;       // the channel is broken (fError)
  int fFailure = 0;         // while opening: the errno value open answers
  std::string fEpoch;       // of the device's connection when the session began
};
