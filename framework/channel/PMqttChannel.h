// A requester's session with a host behind an MQTT 5 broker, as a byte
// channel (docs/mqtt.md): what is written leaves as request messages of
// whole frames (QoS 1, with the session's response topic and a correlation
// number) on the session's request topic; the payloads of the reply
// messages are what is read. An empty reply message is the end of the
// session's bytes (read() answers 0). The host's presence is watched: its
// going offline, or coming back as another connection, breaks the channel.
//
// The session goes over a connection to the broker (PMqttConnection.h): its
// own, or one it shares with other sessions. What the caller waits on is
// the session's signal (an eventfd, see open): readable whenever read() or
// a write() that answered kWouldBlock may go on.
// Internal to the client library.
//
// Threading: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PByteChannel.h"
#include "PMqtt.h"
#include "PMqttConnection.h"
#include "zevo/PFd.h"
#include "zevo/protocol/PEndpoint.h"

struct PMqttRequester {
  std::string fRoot;     // the topics' root; empty: PMqttTopics::kDefaultRoot
  std::string fDevice;   // the host's device ID
  std::string fName;     // the requester's name (its identity on the host: mqtt:NAME)
  std::string fSession;  // empty: 16 random hex digits
  PMqttLogin fLogin;     // an empty client ID: "zevofa-" and the session
};

class PMqttChannel final : public PByteChannel {
 public:
  // Connects to the broker iBroker (mqtt: or mqtts:), through a connection
  // of iShared when given, else one of its own whose will is the session's
  // close message; subscribes the session's response topic and the
  // device's presence, and waits until the device is online, all within
  // iTimeoutMs. 0 with oChannel and oFd (the session's signal, the
  // caller's to close after the channel); otherwise EINVAL (a name or a
  // file that cannot serve), ETIMEDOUT, ECONNREFUSED (the broker cannot be
  // reached, or refuses this login or a subscription) or EHOSTDOWN (the
  // device is offline or unknown), with oError in words.
  static int open(const PEndpoint& iBroker, const PMqttRequester& iRequester, int iTimeoutMs, PMqttConnections* iShared,
                  std::unique_ptr<PMqttChannel>& oChannel, PFd& oFd, std::string& oError);
  // Sends the close message unless the session has ended; a connection of
  // its own is then disconnected cleanly.
  ~PMqttChannel() override;

  ssize_t read(unsigned char* oBytes, size_t iRoom) override;
  // Takes whole frames (up to 64 KiB together, or one larger frame; bytes
  // that are no whole frame as they are) and publishes them as one
  // message. kFailed when the broker takes no message that large.
  ssize_t write(const unsigned char* iBytes, size_t iCount) override;
  bool pending() const override { return fInStart < fIn.size(); }
  // The close message: the host answers what it has and ends the session.
  // Nothing more may be written.
  void endRequests();

  // The presence messages the broker iBroker keeps under iRoot (empty: the
  // default), by device: collected until the broker has sent them all (a
  // second subscription's acknowledgement follows them), or, where it
  // refuses that one, until none has arrived for iQuietMs; within
  // iTimeoutMs. 0, or an errno value as open() answers, with oError.
  static int presences(const PEndpoint& iBroker, const std::string& iRoot, const PMqttLogin& iLogin, int iTimeoutMs,
                       int iQuietMs, std::vector<std::pair<std::string, std::string>>& oPresences, std::string& oError);

 private:
  PMqttChannel() = default;

  std::shared_ptr<PMqttConnection> fConnection;
  uint64_t fSession = 0;
  int fSignal = -1;                // raised by the connection (oFd of open)
  std::vector<unsigned char> fIn;  // reply bytes taken, not read yet, from fInStart
  size_t fInStart = 0;
};
