#include "PMqtt.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <random>

void PMqttHandle::init() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

std::unique_ptr<PMqttHandle> PMqttHandle::create(const PEndpoint& iBroker, const PMqttLogin& iLogin, void* iOwner,
                                                 std::string& oError) {
  init();
  mosquitto* handle = mosquitto_new(iLogin.fClientId.c_str(), true, iOwner);
  if (handle == nullptr) {
    oError = "cannot make an MQTT client: out of memory";
    return nullptr;
  }
  std::unique_ptr<PMqttHandle> made(new (std::nothrow) PMqttHandle(handle, iBroker, iLogin));
  if (!made) {
    mosquitto_destroy(handle);
    oError = "cannot make an MQTT client: out of memory";
    return nullptr;
  }
  mosquitto_int_option(handle, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_int_option(handle, MOSQ_OPT_TCP_NODELAY, 1);
  if (!iLogin.fUsername.empty() &&
      mosquitto_username_pw_set(handle, iLogin.fUsername.c_str(), iLogin.fPassword.empty() ? nullptr : iLogin.fPassword.c_str()) != 0) {
    oError = "the MQTT user name or password is not valid UTF-8";
    return nullptr;
  }
  if (iBroker.is("mqtts")) {
    // The material is read once: reconnecting needs no file the process may
    // no longer read. No session tickets are kept.
    made->fContext = PTls::newContext(false, iLogin.fCertFile, iLogin.fKeyFile, iLogin.fCaFile, oError);
    if (!made->fContext) return nullptr;
    SSL_CTX* context = made->fContext.get();
    SSL_CTX_sess_set_new_cb(context, nullptr);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    // libmosquitto reads a packet at a time: what TLS reads beyond it would
    // wait unseen by poll.
    SSL_CTX_set_read_ahead(context, 0);
    X509_VERIFY_PARAM* check = SSL_CTX_get0_param(context);
    in6_addr ignored;
    const bool address = inet_pton(AF_INET, iBroker.fHost.c_str(), &ignored) == 1 || inet_pton(AF_INET6, iBroker.fHost.c_str(), &ignored) == 1;
    const int named = address ? X509_VERIFY_PARAM_set1_ip_asc(check, iBroker.fHost.c_str())
                              : X509_VERIFY_PARAM_set1_host(check, iBroker.fHost.c_str(), iBroker.fHost.size());
    if (named != 1 || mosquitto_void_option(handle, MOSQ_OPT_SSL_CTX, context) != 0 ||
        mosquitto_int_option(handle, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0) != 0) {
      oError = "cannot use TLS for the broker " + iBroker.fHost;
      return nullptr;
    }
  }
  return made;
}

PMqttHandle::~PMqttHandle() { mosquitto_destroy(fHandle); }

int PMqttHandle::setWill(const std::string& iTopic, const std::string& iPayload, bool iRetain) {
  return mosquitto_will_set_v5(fHandle, iTopic.c_str(), static_cast<int>(iPayload.size()), iPayload.data(), 1, iRetain, nullptr);
}

int PMqttHandle::connect(std::string& oError) {
  errno = 0;
  const int result = fStarted ? mosquitto_reconnect_async(fHandle)
                              : mosquitto_connect_bind_async(fHandle, fBroker.fHost.c_str(), fBroker.fPort, fLogin.fKeepaliveS, nullptr);
  fStarted = true;
  if (result != MOSQ_ERR_SUCCESS) oError = error(result);
  return result;
}

int PMqttHandle::socket() const { return mosquitto_socket(fHandle); }

bool PMqttHandle::wantsWrite() const { return mosquitto_want_write(fHandle); }

int PMqttHandle::publish(const std::string& iTopic, const void* iBytes, size_t iCount, bool iRetain, const std::string* iResponse,
                         const std::string* iCorrelation, int& oMid) {
  mosquitto_property* properties = nullptr;
  int result = MOSQ_ERR_SUCCESS;
  if (iResponse != nullptr) result = mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC, iResponse->c_str());
  if (result == MOSQ_ERR_SUCCESS && iCorrelation != nullptr) {
    result = mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, iCorrelation->data(),
                                           static_cast<uint16_t>(iCorrelation->size()));
  }
  if (result == MOSQ_ERR_SUCCESS) {
    result = iCount > 0x7FFFFFFF ? MOSQ_ERR_PAYLOAD_SIZE
                                 : mosquitto_publish_v5(fHandle, &oMid, iTopic.c_str(), static_cast<int>(iCount), iBytes, 1, iRetain,
                                                        properties);
  }
  mosquitto_property_free_all(&properties);
  return result;
}

int PMqttHandle::turn(bool iReadable) {
  int result = MOSQ_ERR_SUCCESS;
  bool readable = iReadable;
  for (int round = 0; round < 16 && readable && result == MOSQ_ERR_SUCCESS && socket() >= 0; ++round) {
    result = mosquitto_loop_read(fHandle, 1);
    if (result != MOSQ_ERR_SUCCESS || socket() < 0) break;
    // More arrived meanwhile, or TLS holds bytes it has read already.
    SSL* tls = static_cast<SSL*>(mosquitto_ssl_get(fHandle));
    pollfd waiting{socket(), POLLIN, 0};
    readable = (tls != nullptr && SSL_has_pending(tls) == 1) || ::poll(&waiting, 1, 0) > 0;
  }
  if (result == MOSQ_ERR_SUCCESS && socket() >= 0 && wantsWrite()) result = mosquitto_loop_write(fHandle, 1);
  if (result == MOSQ_ERR_SUCCESS && socket() >= 0) result = mosquitto_loop_misc(fHandle);
  return result == MOSQ_ERR_SUCCESS && socket() < 0 ? MOSQ_ERR_NO_CONN : result;
}

bool PMqttHandle::stringOf(const mqtt5__property* iProperties, int iIdentifier, std::string& oValue) {
  char* value = nullptr;
  if (mosquitto_property_read_string(iProperties, iIdentifier, &value, false) == nullptr || value == nullptr) return false;
  oValue = value;
  free(value);
  return true;
}

bool PMqttHandle::bytesOf(const mqtt5__property* iProperties, int iIdentifier, std::string& oValue) {
  void* value = nullptr;
  uint16_t length = 0;
  if (mosquitto_property_read_binary(iProperties, iIdentifier, &value, &length, false) == nullptr) return false;
  oValue.assign(static_cast<const char*>(value), length);
  free(value);
  return true;
}

uint32_t PMqttHandle::numberOf(const mqtt5__property* iProperties, int iIdentifier, uint32_t iDefault) {
  uint32_t value = 0;
  return mosquitto_property_read_int32(iProperties, iIdentifier, &value, false) != nullptr ? value : iDefault;
}

std::string PMqttHandle::error(int iCode) {
  const char* said = iCode == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(iCode);
  std::string text = said != nullptr ? said : "error " + std::to_string(iCode);
  // Said within a sentence of ours: "The connection was lost." as "the connection was lost".
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) && std::islower(static_cast<unsigned char>(text[1]))) {
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  }
  return text;
}

std::string PMqttHandle::reason(int iReasonCode) {
  const char* text = mosquitto_reason_string(iReasonCode);
  return std::string(text != nullptr ? text : "reason") + " (0x" + "0123456789abcdef"[(iReasonCode >> 4) & 0xF] +
         "0123456789abcdef"[iReasonCode & 0xF] + ")";
}

std::string PMqttHandle::randomHex(size_t iDigits) {
  static thread_local std::random_device source;
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  while (text.size() < iDigits) {
    const unsigned int value = source();
    for (int i = 0; i < 8 && text.size() < iDigits; ++i) text += kHex[(value >> (4 * i)) & 0xF];
  }
  return text;
}
