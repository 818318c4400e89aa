// The host's connection to an MQTT 5 broker and the sessions served through
// it (docs/mqtt.md). Everything runs on one worker of the reactor: the
// broker's socket (a duplicate of libmosquitto's, so that the reactor never
// holds a number the library has closed), a timer (keep-alive and the
// back-off between attempts to reach the broker) and a wake-up (a session's
// link interrupted from another thread).
//
// On each connection the host gets a new epoch, subscribes its request
// topics and publishes its presence (retained; the will says offline). A
// message on ROOT/DEVICE/req/NAME/SESSION goes to that session, begun by
// its first message (admitted by the host's gate as "mqtt:NAME"); an empty
// one ends it. Replies go out in messages of whole frames to the session's
// response topic, each with the correlation data of the request message in
// which the frames it answers ended, at most mqtt.inflight messages of one
// session unacknowledged by the broker (past that the session is not
// served, as a socket that takes no bytes). Losing the broker ends every
// session; the host then tries again, waiting longer each time.
//
// Internal to the broker transport. Threading: the reactor's worker; the
// links' interrupt from any thread; start and stop on the host's thread;
// the shut-down (closeAll) once the workers have stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "PMqtt.h"
#include "PMqttSettings.h"
#include "zevo/PFd.h"
#include "zevo/core/PReactor.h"
#include "zevo/core/PSession.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

// The frames that end within the bytes fed to it, the bytes cut anywhere.
class PFrameCounter {
 public:
  size_t feed(const unsigned char* iBytes, size_t iCount);

 private:
  unsigned char fLength[4] = {};
  size_t fHave = 0;   // bytes of the length field read
  uint64_t fLeft = 0; // bytes of the frame after its length field still to come
  bool fBroken = false;  // a length below the minimum: the session ends there
};

class PMqttBroker;

// One requester's session (PTransportLink: interrupted by the comms' sweep).
class PMqttLink final : public PTransportLink {
 public:
  PMqttLink(PMqttBroker& iBroker, std::string iKey, std::string iResponse) : fBroker(iBroker), fKey(std::move(iKey)), fResponse(std::move(iResponse)) {}
  void interrupt(bool iHard) override;
  void shutdownNow() override;

  struct Message {
    std::vector<unsigned char> fBytes;  // empty: the close message
    size_t fTaken = 0;
  };
  struct Answer {
    std::string fCorrelation;
    size_t fFrames = 0;  // request frames of that message still unanswered
  };

  PMqttBroker& fBroker;
  const std::string fKey;       // "NAME/SESSION"
  const std::string fResponse;  // its response topic
  std::optional<PSession> fSession;
  std::deque<Message> fPending;  // request messages the session has not taken
  size_t fPendingBytes = 0;
  PFrameCounter fCounter;
  std::deque<Answer> fAnswers;
  int fInflight = 0;
  std::atomic<int> fInterrupted{0};  // 1: serve soon; 2: end now
};

class PMqttBroker {
 public:
  PMqttBroker(PComms& iComms, const char* iScheme, const PMqttSettings& iSettings, std::unique_ptr<PMqttHandle> iHandle,
              std::string iWhere);
  // Says goodbye (offline presence, DISCONNECT) and leaves the reactor.
  ~PMqttBroker();
  PMqttBroker(const PMqttBroker&) = delete;
  PMqttBroker& operator=(const PMqttBroker&) = delete;

  int start();  // host thread: joins the reactor; the first attempt follows at once
  // The listener goes (closeAll): with sessions left, the broker stays until
  // the last of them has ended.
  void outlive(std::shared_ptr<PMqttBroker> iSelf);
  void stop() { fStopped.store(true, std::memory_order_release); }
  const std::string& where() const { return fWhere; }
  void wake();  // any thread: serve the interrupted links soon
  void shutdown(PMqttLink& iLink);  // closeAll: what can be written goes, then the link ends

 private:
  friend class PMqttLink;
  struct Handler final : PReactorHandler {
    Handler(PMqttBroker& iBroker, void (PMqttBroker::*iCall)(uint32_t)) : fBroker(iBroker), fCall(iCall) {}
    void onReady(uint32_t iEvents) override { (fBroker.*fCall)(iEvents); }
    PMqttBroker& fBroker;
    void (PMqttBroker::*fCall)(uint32_t);
  };

  void onSocket(uint32_t iEvents);
  void onTimer(uint32_t);
  void onWake(uint32_t);
  void attempt();                // a new connection to the broker
  void lost(const std::string& iWhy);  // the connection ended: every session with it
  void watchSocket();            // the reactor's interest in the socket, as libmosquitto needs it
  void afterTurn(int iResult);   // the connection lost, or the sessions that have work served
  void serve(PMqttLink& iLink);  // feeds, serves, publishes; ends the link once its session is finished
  bool publishOutput(PMqttLink& iLink);  // false when the session's output cannot be sent (it then ends)
  void finish(PMqttLink& iLink, bool iFarewell);  // the session ends; iFarewell: the close message goes to its requester
  void refuse(const std::string& iResponse, const std::string& iCorrelation, int iCode, const std::string& iWhy);
  void bury(const std::string& iKey);  // an ended session's key answers ERR_COMMS_CLOSED from now on
  void message(const mosquitto_message& iMessage, const mqtt5__property* iProperties);
  PMqttLink* begin(const std::string& iName, const std::string& iSession, const std::string& iCorrelation);
  static void onConnect(mosquitto*, void* iSelf, int iCode, int, const mqtt5__property* iProperties);
  static void onMessage(mosquitto*, void* iSelf, const mosquitto_message* iMessage, const mqtt5__property* iProperties);
  static void onPublish(mosquitto*, void* iSelf, int iMid, int iReason, const mqtt5__property*);
  static void onDisconnect(mosquitto*, void* iSelf, int iCode, const mqtt5__property*);

  PComms& fComms;
  const std::string fScheme;
  const PMqttSettings fSettings;
  std::unique_ptr<PMqttHandle> fHandle;
  const std::string fWhere;
  const std::string fRequests, fPresence;  // the topics subscribed and published
  std::shared_ptr<PMqttBroker> fSelf;       // while a link holds the broker after the listener went
  Handler fSocketHandler{*this, &PMqttBroker::onSocket};
  Handler fTimerHandler{*this, &PMqttBroker::onTimer};
  Handler fWakeHandler{*this, &PMqttBroker::onWake};
  PFd fSocket;  // the duplicate in the reactor, while connecting or connected
  PFd fTimer, fWake;
  int fWorker = 0;
  bool fStarted = false;
  std::atomic<bool> fStopped{false};
  enum State { kIdle, kConnecting, kConnected } fState = kIdle;
  int64_t fSince = 0;           // steady ms: the attempt began (kConnecting) or the next is due (kIdle)
  int fFailures = 0;            // attempts failed in a row
  std::string fEpoch;
  uint32_t fPacketMax = 0;      // the broker's maximum packet size (CONNACK); 0: none
  std::string fLost;            // why the connection ended (a callback saw it)
  std::map<std::string, std::unique_ptr<PMqttLink>> fLinks;  // by "NAME/SESSION"
  std::set<PMqttLink*> fBusy;   // links with work since the last turn
  std::map<int, PMqttLink*> fInflight;  // message ID -> its session's link
  std::set<std::string> fBuried;
  std::deque<std::string> fBuriedOrder;
};
