#include "PMqttTransport.h"

#include <fstream>
#include <new>

#include "PMqttBroker.h"
#include "zevo/PErrors.h"
#include "zevo/protocol/PMqttTopics.h"

namespace {

// The connection to the broker, as the comms component sees a listener.
class PMqttListener final : public PTransportListener {
 public:
  explicit PMqttListener(std::shared_ptr<PMqttBroker> iBroker) : fBroker(std::move(iBroker)) {}
  ~PMqttListener() override { fBroker->outlive(fBroker); }
  int start() override { return fBroker->start(); }
  void stop() override { fBroker->stop(); }
  const std::string& where() const override { return fBroker->where(); }

 private:
  std::shared_ptr<PMqttBroker> fBroker;
};

}  // namespace

int PMqttTransport::listen(PComms& iComms, const PEndpoint& iEndpoint, std::unique_ptr<PTransportListener>& oListener,
                           std::string& oError) {
  if (!iEndpoint.fPath.empty()) {
    oError = "a broker's endpoint names no path (" + iEndpoint.text() + "): the topics are mqtt.prefix and mqtt.device";
    return ERR_INVALID_ARG;
  }
  if (fSettings.fDevice.empty()) {
    oError = "serving through a broker needs the device ID (mqtt.device, --mqtt-device)";
    return ERR_INVALID_ARG;
  }
  std::string why;
  if (!PMqttTopics::checkName(fSettings.fDevice, "mqtt.device", why) || !PMqttTopics::checkRoot(fSettings.fRoot, why)) {
    oError = why;
    return ERR_INVALID_ARG;
  }
  PMqttLogin login;
  login.fClientId = "zevohost-" + fSettings.fDevice;
  login.fUsername = fSettings.fUsername;
  login.fKeepaliveS = fSettings.fKeepaliveS;
  if (!fSettings.fPasswordFile.empty()) {
    std::ifstream file(fSettings.fPasswordFile);
    if (!file || !std::getline(file, login.fPassword)) {
      oError = "cannot read the broker's password from " + fSettings.fPasswordFile + " (mqtt.password_file)";
      return ERR_INVALID_ARG;
    }
    if (!login.fPassword.empty() && login.fPassword.back() == '\r') login.fPassword.pop_back();
  }
  if (fTls) {
    login.fCaFile = fSettings.fTls.fCaFile;
    login.fCertFile = fSettings.fTls.fCertFile;
    login.fKeyFile = fSettings.fTls.fKeyFile;
  }
  const std::string where = iEndpoint.text();
  std::unique_ptr<PMqttHandle> handle = PMqttHandle::create(iEndpoint, login, nullptr, why);
  if (!handle) {
    oError = why;
    return ERR_INVALID_ARG;
  }
  std::shared_ptr<PMqttBroker> broker(new (std::nothrow) PMqttBroker(iComms, scheme(), fSettings, std::move(handle), where));
  PMqttListener* listener = broker ? new (std::nothrow) PMqttListener(broker) : nullptr;
  if (listener == nullptr) return ERR_NO_MEMORY;
  oListener.reset(listener);
  return 0;
}
