// One connection to an MQTT 5 broker that carries requesters' sessions with
// hosts (docs/mqtt.md), each a PMqttChannel: its request and response
// topics, the presence of its device. A thread of the connection's own
// reads, writes and keeps it alive; libmosquitto is called under fMutex
// only, by that thread and by the sessions' callers (publishing requests,
// subscribing and unsubscribing topics). What arrives for a session is kept
// for it and its signal (an eventfd, the descriptor its caller waits on) is
// raised.
//
// A connection made for one session has that session's close message as
// its will, so that a requester that vanishes ends its session; a connection
// shared by many (PMqttConnections) has no will, one will being unable to
// end many sessions: a requester that vanishes leaves those to the host's
// idle time-out.
//
// Internal to the client library. Threading: every member function may be
// called by any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PMqtt.h"
#include "zevo/PFd.h"
#include "zevo/PStdMutex.h"
#include "zevo/protocol/PEndpoint.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

// A session's topics and its device.
struct PMqttSessionTopics {
  std::string fRequest, fResponse, fPresence, fDevice;
};

class PMqttConnection {
 public:
  static constexpr size_t kMessageTarget = 64 * 1024;
  static constexpr int kInflight = 16;  // a session's request messages the broker has not acknowledged

  // Begins connecting to iBroker (mqtt: or mqtts:) with iLogin (an empty
  // client ID: "zevofa-" and 16 random hex digits) and starts the thread;
  // iWill: the topic of the will's empty message, or empty for none. 0 with
  // oConnection; EINVAL (a file or a name that cannot serve), ENOMEM or
  // ECONNREFUSED (the connection cannot be begun) with oError.
  static int create(const PEndpoint& iBroker, const PMqttLogin& iLogin, const std::string& iWill,
                    std::shared_ptr<PMqttConnection>& oConnection, std::string& oError);
  // Stops the thread, disconnects cleanly (a second at most for the socket
  // to take what waits). Its sessions have detached before.
  ~PMqttConnection();
  PMqttConnection(const PMqttConnection&) = delete;
  PMqttConnection& operator=(const PMqttConnection&) = delete;

  // A session begins: its topics are subscribed (once connected) and its
  // device's presence watched; iSignal is raised at each change (not owned).
  uint64_t attach(const PMqttSessionTopics& iTopics, int iSignal) ZEVO_EXCLUDES(fMutex);
  // While opening: 0 once subscribed with its device online, EAGAIN while
  // not yet, else ECONNREFUSED (the broker refused or lost the connection
  // or a subscription) or EHOSTDOWN (the device is offline), with oError.
  // After iWaitedMs, said as a time-out: ETIMEDOUT or EHOSTDOWN.
  int opened(uint64_t iSession, int iWaitedMs, std::string& oError) ZEVO_EXCLUDES(fMutex);
  // Moves what arrived for the session into oBytes (swapped: oBytes is
  // empty before); oEnd: the host ended the session; false once the
  // session is broken (oError).
  bool take(uint64_t iSession, std::vector<unsigned char>& oBytes, bool& oEnd, std::string& oError) ZEVO_EXCLUDES(fMutex);
  // Publishes whole frames of iBytes (up to kMessageTarget together, or one
  // larger frame; what is no whole frame as it is) as one request: the
  // bytes taken, 0 while kInflight are unacknowledged, or -1 (oError).
  ssize_t publish(uint64_t iSession, const unsigned char* iBytes, size_t iCount, std::string& oError) ZEVO_EXCLUDES(fMutex);
  // The close message: the host answers what it has and ends the session.
  void endRequests(uint64_t iSession) ZEVO_EXCLUDES(fMutex);
  // The session ends here: the close message unless it ended, its topics
  // unsubscribed; its signal is not raised any more.
  void detach(uint64_t iSession) ZEVO_EXCLUDES(fMutex);

  // Sessions attached, and whether more may be: not once it was lost.
  size_t sessions() const ZEVO_EXCLUDES(fMutex);
  bool usable() const ZEVO_EXCLUDES(fMutex);

 private:
  struct Session {
    PMqttSessionTopics fTopics;
    int fSignal = -1;
    std::vector<unsigned char> fIn;  // what arrived, not taken yet
    uint64_t fNextCorrelation = 1;
    int fInflight = 0;
    bool fSubscribing = false, fSubscribed = false, fOnline = false;
    bool fEnded = false;   // the host ended the session
    bool fClosed = false;  // endRequests
    bool fLost = false;    // broken (fError)
    int fFailure = 0;      // while opening: what opened() answers
    std::string fError, fEpoch;
  };
  struct Device {
    int fSessions = 0;
    bool fSubscribed = false;  // its presence
    bool fKnown = false;       // and that has arrived
    std::string fState, fEpoch;
  };

  PMqttConnection() = default;
  void serve() ZEVO_EXCLUDES(fMutex);
  void wake() const;
  static void raise(int iSignal);
  void subscribe(uint64_t iId, Session& ioSession) ZEVO_REQUIRES(fMutex);
  void presence(Session& ioSession, const Device& iDevice) ZEVO_REQUIRES(fMutex);
  void lose(Session& ioSession, const std::string& iWhy) ZEVO_REQUIRES(fMutex);
  void loseAll(int iFailure, const std::string& iWhy) ZEVO_REQUIRES(fMutex);
  std::string where() const;

  // libmosquitto's callbacks, run by a call on the handle, under fMutex.
  static void onConnect(mosquitto*, void* iSelf, int iCode, int, const mqtt5__property* iProperties) ZEVO_NO_THREAD_SAFETY_ANALYSIS;
  static void onSubscribe(mosquitto*, void* iSelf, int iMid, int iCount, const int* iGranted,
                          const mqtt5__property*) ZEVO_NO_THREAD_SAFETY_ANALYSIS;
  static void onMessage(mosquitto*, void* iSelf, const mosquitto_message* iMessage, const mqtt5__property*) ZEVO_NO_THREAD_SAFETY_ANALYSIS;
  static void onPublish(mosquitto*, void* iSelf, int iMid, int iReason, const mqtt5__property*) ZEVO_NO_THREAD_SAFETY_ANALYSIS;
  static void onDisconnect(mosquitto*, void* iSelf, int iCode, const mqtt5__property*) ZEVO_NO_THREAD_SAFETY_ANALYSIS;
  void connected(int iCode, uint32_t iPacketMax) ZEVO_REQUIRES(fMutex);
  void subscribed(int iMid, int iCount, const int* iGranted) ZEVO_REQUIRES(fMutex);
  void arrived(const std::string& iTopic, const unsigned char* iBytes, size_t iCount) ZEVO_REQUIRES(fMutex);
  void acknowledged(int iMid, int iReason) ZEVO_REQUIRES(fMutex);

  mutable PStdMutex fMutex;
  std::unique_ptr<PMqttHandle> fHandle ZEVO_PT_GUARDED_BY(fMutex);
  PEndpoint fBroker;
  PFd fWake;  // raised for the thread: something to write, or stop
  std::thread fThread;
  bool fStopping ZEVO_GUARDED_BY(fMutex) = false;
  bool fConnected ZEVO_GUARDED_BY(fMutex) = false;
  bool fDead ZEVO_GUARDED_BY(fMutex) = false;  // refused or lost: no session may attach
  uint32_t fPacketMax ZEVO_GUARDED_BY(fMutex) = 0;  // the broker's (0: its protocol's)
  uint64_t fNextSession ZEVO_GUARDED_BY(fMutex) = 1;
  std::map<uint64_t, Session> fSessions ZEVO_GUARDED_BY(fMutex);
  std::map<std::string, uint64_t> fByResponse ZEVO_GUARDED_BY(fMutex);
  std::map<std::string, Device> fDevices ZEVO_GUARDED_BY(fMutex);  // by presence topic
  std::map<int, uint64_t> fSubscriptions ZEVO_GUARDED_BY(fMutex);  // SUBSCRIBE packet IDs: whose
  std::map<int, uint64_t> fRequests ZEVO_GUARDED_BY(fMutex);       // PUBLISH packet IDs: whose
};

// The connections that a client's sessions through brokers share: a
// session goes over a connection to its broker with its login that has
// fewer than iSessionsEach sessions, or over a new one. Threading: open()
// by any thread.
class PMqttConnections {
 public:
  explicit PMqttConnections(size_t iSessionsEach = 16) : fSessionsEach(iSessionsEach) {}
  PMqttConnections(const PMqttConnections&) = delete;
  PMqttConnections& operator=(const PMqttConnections&) = delete;

  // A connection for one more session: 0, or what create() answers.
  int connectionFor(const PEndpoint& iBroker, const PMqttLogin& iLogin, std::shared_ptr<PMqttConnection>& oConnection,
                    std::string& oError) ZEVO_EXCLUDES(fMutex);

 private:
  const size_t fSessionsEach;
  PStdMutex fMutex;
  std::multimap<std::string, std::shared_ptr<PMqttConnection>> fConnections ZEVO_GUARDED_BY(fMutex);  // by broker and login
};
