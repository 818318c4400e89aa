// The broker transport ("mqtt://BROKER[:PORT]", "mqtts://..."): the host
// dials out to an MQTT 5 broker and serves the requesters that reach its
// device's request topics there (docs/mqtt.md). Its "listener" is the
// connection to the broker (PMqttBroker.h); each requester's session
// (ROOT/DEVICE/req/NAME/SESSION) is one PSession with its own link, whose
// identity is "mqtt:NAME", as the broker's access list vouches for it. The
// sessions are not local: they count against the network share.
#pragma once

#include <memory>
#include <string>

#include "PMqttSettings.h"
#include "zevo/core/PComms.h"
#include "zevo/core/PTransport.h"

class PMqttTransport final : public PTransport {
 public:
  // iTls: the mqtts scheme, TLS with iSettings.fTls.
  PMqttTransport(bool iTls, PMqttSettings iSettings) : fTls(iTls), fSettings(std::move(iSettings)) {}
  const char* scheme() const override { return fTls ? "mqtts" : "mqtt"; }
  // Checks the settings and reads the password and the TLS material (the
  // host may still be privileged); connects once start() is called.
  // ERR_INVALID_ARG with oError: no device ID, a path in the endpoint, a file
  // that cannot be read.
  int listen(PComms& iComms, const PEndpoint& iEndpoint, std::unique_ptr<PTransportListener>& oListener,
             std::string& oError) override;

 private:
  const bool fTls;
  const PMqttSettings fSettings;
};
