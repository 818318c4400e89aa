// The host daemon: the framework's components, the plug-ins, the sockets,
// and the orderly way down.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "PHostSettings.h"
#include "zevo/ILogger.h"
#include "zevo/core/PComms.h"
#include "zevo/core/PConfigManager.h"
#include "zevo/core/PEventDispatcher.h"
#include "zevo/core/PPluginLoader.h"

class PHost {
 public:
  PHost() = default;
  ~PHost();  // stops
  PHost(const PHost&) = delete;
  PHost& operator=(const PHost&) = delete;

  // Creates and registers the components, listens, loads the plug-ins and
  // starts serving. False with oError (for people) when anything fails;
  // whatever was started is stopped again.
  bool start(const PHostSettings& iSettings, PConfigManager* iConfigManager, std::string& oError);
  // Where the host listens, as the sockets report it.
  const std::vector<std::string>& endpoints() const { return fEndpoints; }
  // New TLS material (SIGHUP) for the handshakes to come; connected peers
  // stay. iError: why the settings could not be read (empty: they could).
  // Logs the outcome; on any failure the material in use stays.
  void reloadTls(const PTlsSettings& iTls, const std::string& iError);
  // Stops accepting, lets the workers finish what they hold, ends every
  // connection (closing the transfers it left open), releases the listeners
  // and plug-ins so that each service destroys itself, and gives back every
  // component.
  void stop();

 private:
  template <class... Args>
  void logInfo(const wchar_t* iFormat, const Args&... iArgs);
  template <class... Args>
  void logProblem(bool iError, const wchar_t* iFormat, const Args&... iArgs);  // else a warning

  PBaseptr<ILogger> fLogger;  // the host's own named logger
  PBaseptr<PEventDispatcher> fDispatcher;
  PBaseptr<PComms> fComms;
  std::vector<std::unique_ptr<PPluginLoader>> fPlugins;
  std::vector<std::string> fEndpoints;
  bool fRunning = false;
  bool fTls = false;  // TLS material was loaded at start
};
