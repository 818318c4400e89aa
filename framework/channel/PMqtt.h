// libmosquitto as both ends of a host behind an MQTT 5 broker use it
// (docs/mqtt.md): a handle made with the options they share (MQTT 5, a
// clean start with no session kept, the login, TLS 1.3 through a context
// of the project's own), connected without waiting, QoS 1
// publishing with the request and reply properties, and the properties read
// back. The owner drives the handle from its own thread (its reactor or its
// poll loop), never from libmosquitto's: mosquitto_loop_read/write/misc on
// the socket's readiness. Internal to the transports and the client library.
//
// Threading: a handle is used by one thread at a time; init() by any.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <string>

#include "PTls.h"
#include "zevo/protocol/PEndpoint.h"

struct mosquitto;
struct mqtt5__property;

// Who this end is to the broker, and what it checks of it.
struct PMqttLogin {
  std::string fClientId;
  std::string fUsername;  // empty: none (the broker's anonymous access)
  std::string fPassword;
  // mqtts: the CA certificates the broker's certificate must be signed by
  // (checked for the broker's host name or address), and this end's own
  // certificate and key (both or neither).
  std::string fCaFile, fCertFile, fKeyFile;
  int fKeepaliveS = 30;
};

class PMqttHandle {
 public:
  // Once per process, before the first handle; thread-safe.
  static void init();
  // iDigits random hexadecimal digits (client IDs, session names, epochs).
  static std::string randomHex(size_t iDigits);
  // A handle for iBroker (mqtt: or mqtts:, whose TLS material is read now),
  // not connected; its callbacks get iOwner. Null with oError.
  static std::unique_ptr<PMqttHandle> create(const PEndpoint& iBroker, const PMqttLogin& iLogin, void* iOwner,
                                             std::string& oError);
  ~PMqttHandle();  // closes its connection (without DISCONNECT: a will goes out)
  PMqttHandle(const PMqttHandle&) = delete;
  PMqttHandle& operator=(const PMqttHandle&) = delete;

  mosquitto* get() const { return fHandle; }
  const PEndpoint& broker() const { return fBroker; }
  // A will at QoS 1: what the broker publishes when this end vanishes.
  int setWill(const std::string& iTopic, const std::string& iPayload, bool iRetain);
  // Begins a connection without waiting (the first or a later one): 0, or a
  // mosquitto error with oError in words. The socket (socket()) then waits
  // for the connection to be written.
  int connect(std::string& oError);
  int socket() const;  // -1 while not connected
  // A QoS 1 message; iResponse and iCorrelation (may be null) become its
  // response topic and correlation data. 0 with oMid, or a mosquitto error
  // (MOSQ_ERR_OVERSIZE_PACKET: larger than the broker takes).
  int publish(const std::string& iTopic, const void* iBytes, size_t iCount, bool iRetain, const std::string* iResponse,
              const std::string* iCorrelation, int& oMid);
  // Reads what arrived (the callbacks run), writes what waits and keeps the
  // connection alive: 0, or the mosquitto error that ended the connection
  // (the on_disconnect callback has run; socket() is -1).
  int turn(bool iReadable);
  bool wantsWrite() const;

  // A property of a packet's list: a string, binary data, a number.
  static bool stringOf(const mqtt5__property* iProperties, int iIdentifier, std::string& oValue);
  static bool bytesOf(const mqtt5__property* iProperties, int iIdentifier, std::string& oValue);
  static uint32_t numberOf(const mqtt5__property* iProperties, int iIdentifier, uint32_t iDefault);
  // A mosquitto error, a reason code (MQTT 5) or a CONNACK code in words.
  static std::string error(int iCode);
  static std::string reason(int iReasonCode);

 private:
  PMqttHandle(mosquitto* iHandle, const PEndpoint& iBroker, const PMqttLogin& iLogin)
      : fHandle(iHandle), fBroker(iBroker), fLogin(iLogin) {}
  mosquitto* fHandle;
  PEndpoint fBroker;
  PMqttLogin fLogin;
  PSslContext fContext;  // mqtts: read once, used by every connection
  bool fStarted = false;
};
