// What the broker transport serves with (host settings mqtt.*, docs/mqtt.md).
#pragma once

#include <string>

#include "PTlsSettings.h"

struct PMqttSettings {
  std::string fDevice;                // the device ID: topics ROOT/DEVICE/...; required
  std::string fRoot = "zevo";         // the topics' root (mqtt.prefix)
  std::string fUsername;              // the login at the broker; empty: none
  std::string fPasswordFile;          // its password, the file's first line; empty: none
  int fKeepaliveS = 30;               // MQTT keep-alive
  int fInflight = 16;                 // reply messages of one session the broker has not acknowledged
  int fReconnectMaxS = 30;            // the longest wait between attempts to reach the broker
  std::string fVersion;               // the host's version, in its presence
  PTlsSettings fTls;                  // mqtts: tls.ca checks the broker, tls.cert and tls.key are the host's
};
