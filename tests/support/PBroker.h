// A mosquitto broker of the build machine for the tests (never through a
// cross build's emulator): "mosquitto -c CONF" on a free loopback port,
// with the tests' lines added to its configuration, stopped when it goes.
#pragma once

#include <memory>
#include <string>

#include "PProcess.h"

class PBroker {
 public:
  // iLines: more configuration (an acl_file, max_packet_size...); iTls: the
  // listener speaks TLS with the tests' server certificate and demands a
  // client certificate of the tests' CA, whose common name is the login.
  explicit PBroker(const std::string& iLines = "", bool iTls = false);
  ~PBroker() { stop(); }
  // Whether mosquitto is there to run (a test without it skips).
  static bool available();
  bool start();  // true once it takes connections (on the same port as before)
  bool started() const { return fStarted; }  // the first start
  void stop();   // SIGTERM
  void kill();   // SIGKILL: the broker vanishes without a word
  int port() const { return fPort; }
  // "mqtt://127.0.0.1:PORT" (mqtts for TLS), and iPath after a '/'.
  std::string url(const std::string& iPath = "") const;
  std::string log() { return fChild ? fChild->err() + fChild->out() : ""; }
  // A password file of iUser with iPassword (mosquitto_passwd), for password_file.
  std::string passwords(const std::string& iUser, const std::string& iPassword);

  PTempDir fDir;

 private:
  std::string fLines;
  bool fTls;
  int fPort = 0;
  bool fStarted = false;
  std::unique_ptr<PChild> fChild;
};
