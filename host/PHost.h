// The host daemon: the framework's components, the transports and their
// listeners, the plug-ins, and the orderly way down.
//
// Start-up runs in the security order: prepare() reads everything, binds
// the listeners and loads the plug-ins while the process may still be
// privileged, and takes no peer; the caller then gives up its privileges;
// only serve() starts the workers and takes peers. No peer is ever served
// with privileges the host is about to give up.
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

class PDescriptorBudget;
class PTlsTransport;

class PHost {
 public:
  PHost() = default;
  ~PHost();  // stops
  PHost(const PHost&) = delete;
  PHost& operator=(const PHost&) = delete;

  // Creates and registers the components, binds the listeners, loads the
  // plug-ins; takes no peer yet. False with oError (for people) when
  // anything fails; whatever was begun is undone.
  bool prepare(const PHostSettings& iSettings, PConfigManager* iConfigManager, std::string& oError);
  // Starts the workers and takes peers on every listener. False with oError
  // (everything stopped) when it cannot.
  bool serve(std::string& oError);
  // Where the host listens, as the listeners report it.
  const std::vector<std::string>& endpoints() const { return fEndpoints; }
  // After the privileges are given up: every file a reload would read that
  // this process cannot read now, with why ("tls.key /etc/zevo/tls/host.key:
  // Permission denied"); each is logged as a warning.
  std::vector<std::string> unreadableOnReload(const PTlsSettings& iTls);
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
  // The steps of prepare(), in their order; each false with oError.
  bool openLog(const PHostSettings& iSettings, std::string& oError);
  bool createComponents(const PHostSettings& iSettings, PConfigManager* iConfigManager, std::string& oError);
  bool addTransports(const PHostSettings& iSettings, std::string& oError);
  bool openListeners(const PHostSettings& iSettings, std::string& oError);
  bool refuseInsecureTcp(const PHostSettings& iSettings, std::string& oError);
  void giveRoles(const PHostSettings& iSettings);
  bool loadPlugins(const PHostSettings& iSettings, PConfigManager* iConfigManager, std::string& oError);

  template <class... Args>
  void logInfo(const wchar_t* iFormat, const Args&... iArgs);
  template <class... Args>
  void logProblem(bool iError, const wchar_t* iFormat, const Args&... iArgs);  // else a warning

  PBaseptr<ILogger> fLogger;  // the host's own named logger
  PBaseptr<ILogger> fAudit;   // the audit's
  PBaseptr<PEventDispatcher> fDispatcher;
  PBaseptr<PComms> fComms;
  std::shared_ptr<PTlsTransport> fTls;  // the TLS transport, when the host has TLS material
  std::shared_ptr<PDescriptorBudget> fBudget;
  std::vector<std::unique_ptr<PPluginLoader>> fPlugins;
  std::vector<std::string> fEndpoints;
  bool fRunning = false;
};
