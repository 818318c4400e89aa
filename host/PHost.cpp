#include "PHost.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <thread>

#include "PAuditLog.h"
#include "PDescriptorBudget.h"
#include "PMqttTransport.h"
#include "PTcpTransport.h"
#include "PTlsTransport.h"
#include "PUnixTransport.h"
#include "PHandleOwnership.h"
#include "PModuleRoles.h"
#include "zevo/PErrors.h"
#include "zevo/PLogArgs.h"
#include "zevo/PPathPolicy.h"
#include "zevo/PUtils.h"
#include "zevo/core/PConfigManager.h"
#include "zevo/core/PSessionDirectory.h"
#include "zevo/protocol/PFileOpsProtocol.h"
#include "zevo/logger/PLogger.h"
#include "zevo/protocol/PEndpoint.h"
#include "zevo/zevoGetInstance.h"

namespace {

std::string describe(int iCode) {
  const char* name = PErrors::name(iCode);
  const char* meaning = PErrors::meaning(iCode);
  if (name == nullptr) return "code " + std::to_string(iCode);
  return std::string(meaning) + " (" + name + ", " + std::to_string(iCode) + ")";
}

}  // namespace

PHost::~PHost() { stop(); }

template <class... Args>
void PHost::logInfo(const wchar_t* iFormat, const Args&... iArgs) {
  if (!fLogger.isNull()) fLogger->logInfo(0, iFormat, "zevohost", zevoLogArg(iArgs)...);
}

template <class... Args>
void PHost::logProblem(bool iError, const wchar_t* iFormat, const Args&... iArgs) {
  if (fLogger.isNull()) return;
  if (iError) {
    fLogger->logError(0, iFormat, "zevohost", zevoLogArg(iArgs)...);
  } else {
    fLogger->logWarning(0, iFormat, "zevohost", zevoLogArg(iArgs)...);
  }
}

bool PHost::prepare(const PHostSettings& iSettings, PConfigManager* iConfigManager, std::string& oError) {
  stop();
  fRunning = true;
  if (openLog(iSettings, oError) && createComponents(iSettings, iConfigManager, oError) && addTransports(iSettings, oError) &&
      openListeners(iSettings, oError) && refuseInsecureTcp(iSettings, oError)) {
    giveRoles(iSettings);
    if (loadPlugins(iSettings, iConfigManager, oError)) return true;
  }
  stop();  // whatever was begun goes again
  return false;
}

bool PHost::serve(std::string& oError) {
  fBudget->measure();  // what is open now: listeners, the log, the workers' sets
  logInfo(L"[%s] descriptors: %d held as serving begins, the limit %d, %d kept from transfers (transfer.fd_reserve)",
          static_cast<int>(fBudget->held()), static_cast<int>(PDescriptorBudget::limit()), static_cast<int>(fBudget->reserve()));
  int result = fDispatcher->start();
  if (result == 0) result = fComms->start();
  if (result != 0) {
    oError = "cannot start serving: " + describe(result);
    stop();
    return false;
  }
  for (const std::string& where : fEndpoints) logInfo(L"[%s] listening on %ls", PUtils::wide(where));
  return true;
}

// Logger first, so that everything after it can log. The plug-ins' own logs
// ("zevop.*") are developer detail: a level lower than they say.
bool PHost::openLog(const PHostSettings& iSettings, std::string& oError) {
  PBaseptr<ILogger> logger;
  PLoggerSettings log;
  log.fLevel = iSettings.fLogLevel;
  log.fIdentifier = "zevohost";
  log.fDetailPrefixes = {L"zevop."};
  if (iSettings.fLogTarget == "syslog") log.fTarget = LOG_TARGET_SYSLOG;
  if (iSettings.fLogTarget == "journal") log.fTarget = LOG_TARGET_JOURNAL;
  if (iSettings.fLogTarget.compare(0, 5, "file:") == 0) {
    log.fTarget = LOG_TARGET_FILE;
    log.fFilePath = PUtils::wide(iSettings.fLogTarget.substr(5)).str();
  }
  if (log.fTarget == LOG_TARGET_JOURNAL && !PLoggerComponent::hasJournal()) {
    oError = "cannot log to the journal: this zevohost was built without libsystemd";
    return false;
  }
  const int result = PLoggerComponent::create(log, logger);
  if (result != 0) {
    oError = "cannot open the log " + iSettings.fLogTarget + ": " + describe(result);
    return false;
  }
  zevoRegisterInstance(PLiteral(ZEVO_ID_LOGGER), logger.get());
  logger->getLogger(PLiteral(L"zevohost.log"), fLogger);
  logger->getLogger(PLiteral(L"zevohost.audit"), fAudit);
  return true;
}

// The path rules, the dispatcher (its workers not yet started), the comms
// component with the watchers of the file-access module.
bool PHost::createComponents(const PHostSettings& iSettings, PConfigManager* iConfigManager, std::string& oError) {
  zevoRegisterInstance(PLiteral(ZEVO_ID_CONFIG_MANAGER), iConfigManager);
  // Before any plug-in loads: every path a peer names is judged with it.
  PPathPolicy::setSymlinks(iSettings.fSymlinks);
  PPathPolicy::setMounts(iSettings.fMounts);
  logInfo(L"[%s] symbolic links in paths: %ls", PUtils::wide(PPathPolicy::symlinksName(iSettings.fSymlinks)));
  logInfo(L"[%s] mount points in paths: %ls", PUtils::wide(PPathPolicy::mountsName(iSettings.fMounts)));

  int workers = iSettings.fWorkers;
  if (workers <= 0) workers = std::max(2, static_cast<int>(std::thread::hardware_concurrency()));
  int result = PEventDispatcher::create(workers, fDispatcher);
  if (result != 0) {
    oError = "cannot create the event dispatcher: " + describe(result);
    return false;
  }
  zevoRegisterInstance(PLiteral(ZEVO_ID_EVENT_DISPATCHER), fDispatcher.get());

  PCommsSettings comms;
  comms.fFrameMax = static_cast<uint32_t>(iSettings.fFrameMax);
  comms.fConnectionMax = static_cast<int>(iSettings.fConnectionMax);
  comms.fReadAhead = static_cast<size_t>(iSettings.fReadAhead);
  comms.fPerIdentityMax = static_cast<int>(iSettings.fPerIdentity);
  comms.fWriteReserve = static_cast<int>(iSettings.fWriteReserve);
  comms.fLocalReserve = static_cast<int>(iSettings.fLocalReserve);
  comms.fHandshakeMax = static_cast<int>(iSettings.fHandshakeMax);
  comms.fHandshakePerAddress = static_cast<int>(iSettings.fHandshakePerAddress);
  comms.fHandshakeTimeoutMs = static_cast<int>(iSettings.fHandshakeTimeout * 1000);
  comms.fFrameTimeoutMs = static_cast<int>(iSettings.fFrameTimeout * 1000);
  comms.fIdleTimeoutMs = static_cast<int>(iSettings.fIdleTimeout * 1000);
  comms.fMemoryMax = static_cast<size_t>(iSettings.fMemoryMax);
  result = PComms::create(fDispatcher.get(), comms, fComms);
  if (result != 0) {
    oError = "cannot create the comms component: " + describe(result);
    return false;
  }
  fComms->setLogger(fLogger);
  // The file-access module's transfers belong to the session that opened
  // them; the audit sees them closed when a session ends, so it comes after.
  PComms* serving = fComms.get();  // the watchers go with it
  fBudget = std::make_shared<PDescriptorBudget>(iSettings.fFdReserve, iSettings.fConnectionMax + iSettings.fHandshakeMax,
                                                [serving] { return serving->connectionCount(); });
  // Each module's handles belong to the session that opened them; the
  // roles come after, so that another session's handle stays unknown to a
  // read session; the audit last, since it logs the refusals and sees the
  // handles of an ended session released.
  // A file-access transfer holds one descriptor; a file-operations upload
  // two (its file and its directory), and a connection may hold many more
  // of them (handle.max): uploads committed together are flushed together.
  for (const PModuleTraits* module : {&kFileAccessTraits, &kFileOpsTraits}) {
    const PLiteral id(module->fModuleW);
    const bool ops = module == &kFileOpsTraits;
    fComms->watch(id, std::make_shared<PHandleOwnership>(*module, iSettings.fTransferIsolation,
                                                         static_cast<int>(ops ? iSettings.fHandleMax : iSettings.fTransferMax),
                                                         fBudget, ops ? 2 : 1));
    fComms->watch(id, std::make_shared<PModuleRoles>(*module));
    fComms->watch(id, std::make_shared<PAuditLog>(*module, fAudit, iSettings.fTransferIsolation));
  }
  zevoRegisterInstance(PLiteral(ZEVO_ID_COMMS), fComms.get());
  PBaseptr<PSessionDirectory> sessions(new PSessionDirectory(static_cast<unsigned int>(iSettings.fFrameMax)));
  zevoRegisterInstance(PLiteral(ZEVO_ID_SESSIONS), sessions.get());
  return true;
}

// One line per transport the host serves; the TLS one only with its material.
bool PHost::addTransports(const PHostSettings& iSettings, std::string& oError) {
  fComms->addTransport(std::make_shared<PUnixTransport>(iSettings.fSocketMode, iSettings.fSocketGroup));
  fComms->addTransport(std::make_shared<PTcpTransport>());
  PMqttSettings broker = iSettings.fMqtt;
  broker.fVersion = ZEVO_VERSION;
  broker.fTls = iSettings.fTls;
  fComms->addTransport(std::make_shared<PMqttTransport>(false, broker));
  fComms->addTransport(std::make_shared<PMqttTransport>(true, broker));
  if (!hasTls(iSettings.fTls)) return true;
  std::string error;
  if (PTlsTransport::create(iSettings.fTls, fTls, error) != 0) {
    oError = "TLS: " + error;
    return false;
  }
  fComms->addTransport(fTls);
  logInfo(L"[%s] TLS certificate %ls, CA %ls, %d allow-list entries", PUtils::wide(iSettings.fTls.fCertFile),
          PUtils::wide(iSettings.fTls.fCaFile), static_cast<int>(iSettings.fTls.fAllow.size()));
  return true;
}

// Sockets systemd passed replace the host's own (their files are
// systemd's; a TCP one speaks TLS when the host has TLS material); else
// the 'listen' endpoints.
bool PHost::openListeners(const PHostSettings& iSettings, std::string& oError) {
  for (const PPassedSocket& passed : iSettings.fPassedSockets) {
    std::string where, error;
    const std::string scheme = passed.fUnix ? "unix" : fTls ? "tls" : "tcp";
    if (fComms->adopt(scheme, passed.fFd, where, error) != 0) {
      oError = "cannot serve the socket systemd passed: " + error;
      return false;
    }
    fEndpoints.push_back(where);
  }
  if (!iSettings.fPassedSockets.empty()) {
    logInfo(L"[%s] serving the sockets systemd passed; 'listen' is not used");
    return true;
  }
  for (const std::string& endpoint : iSettings.fListen) {
    if (endpoint.compare(0, 4, "tls:") == 0 && !fTls) {
      oError = "cannot listen on " + endpoint + ": TLS needs tls.cert, tls.key and tls.ca (--tls-cert, --tls-key, --tls-ca)";
      return false;
    }
    std::string where, error;
    if (fComms->listen(endpoint, where, error) != 0) {
      oError = "cannot listen on " + endpoint + ": " + error;
      return false;
    }
    fEndpoints.push_back(where);
  }
  return true;
}

// Plain TCP is for this machine alone: elsewhere it would let anyone who
// reaches the port read and change files, unauthenticated, in clear text.
bool PHost::refuseInsecureTcp(const PHostSettings& iSettings, std::string& oError) {
  for (const std::string& where : fEndpoints) {
    PEndpoint bound;
    std::string ignored;
    if (PEndpoint::parse(where, bound, ignored) != 0 || (!bound.is("tcp") && !bound.is("mqtt")) || isLoopback(bound.fHost)) continue;
    if (!iSettings.fTcpInsecure && bound.is("mqtt")) {
      oError = "refusing to reach the broker " + where + " in clear text, not on a loopback address: the login, the "
               "requests and the files would cross the network unprotected. Use mqtts://, a broker on this machine, "
               "or set tcp.insecure = on";
      return false;
    }
    if (!iSettings.fTcpInsecure) {
      oError = "refusing to serve plain TCP on " + where + ", not a loopback address: whoever reaches it would read and "
               "change files unauthenticated and in clear text. Serve it with TLS (tls:HOST:PORT with tls.cert, "
               "tls.key and tls.ca), bind it to 127.0.0.1, or set tcp.insecure = on";
      return false;
    }
    logProblem(false, L"[%s] %ls serves plain TCP beyond this machine (tcp.insecure = on): whoever reaches it reads and "
               L"changes files, unauthenticated and in clear text", PUtils::wide(where));
  }
  return true;
}

// Roles, now that the sockets are known. By default root, the host's own
// user (the one it runs as once it has given up its privileges) and the
// group of its Unix sockets write; nobody else is served until the
// configuration says.
void PHost::giveRoles(const PHostSettings& iSettings) {
  std::vector<PRolePattern> writers = iSettings.fRoleWrite;
  if (!iSettings.fRoleWriteSet) {
    const uid_t user = iSettings.fUser != static_cast<uid_t>(-1) ? iSettings.fUser : ::geteuid();
    std::vector<std::string> entries = {"uid:0"};
    if (user != 0) entries.push_back("uid:" + std::to_string(user));
    for (const std::string& where : fEndpoints) {
      struct stat info;
      if (where.compare(0, 6, "unix:/") != 0 || ::stat(where.c_str() + 5, &info) != 0) continue;
      const std::string group = "gid:" + std::to_string(info.st_gid);
      if (std::find(entries.begin(), entries.end(), group) == entries.end()) entries.push_back(group);
    }
    writers.clear();
    for (const std::string& entry : entries) {
      PRolePattern pattern;
      std::string ignored;
      if (parseRolePattern(entry, pattern, ignored)) writers.push_back(pattern);
    }
  }
  logInfo(L"[%s] role write: %ls%ls; role read: %ls", PUtils::wide(PRoleMap::describe(writers)),
          iSettings.fRoleWriteSet ? L"" : L" (the default: root, the host's user, the Unix sockets' group)",
          PUtils::wide(PRoleMap::describe(iSettings.fRoleRead)));
  fComms->setGate(std::make_shared<PRoleMap>(writers, iSettings.fRoleRead));
}

bool PHost::loadPlugins(const PHostSettings& iSettings, PConfigManager* iConfigManager, std::string& oError) {
  for (const std::string& path : iSettings.fPlugins) {
    auto loader = std::make_unique<PPluginLoader>();
    const std::string configErrorBefore = iConfigManager->lastError();
    const int result = loader->load(path.c_str());
    if (result != 0) {
      oError = "plug-in " + path + " failed to start: " + describe(result);
      if (!loader->lastError().empty()) oError += ": " + loader->lastError();
      // A configuration set the plug-in could not load says why.
      const std::string configError = iConfigManager->lastError();
      if (configError != configErrorBefore) oError += "\n  configuration: " + configError;
      return false;
    }
    logInfo(L"[%s] loaded plug-in %ls", PUtils::wide(path));
    fPlugins.push_back(std::move(loader));
  }
  return true;
}

std::vector<std::string> PHost::unreadableOnReload(const PTlsSettings& iTls) {
  std::vector<std::string> unreadable;
  if (!fTls) return unreadable;
  const std::pair<const char*, const std::string*> files[] = {
      {"tls.cert", &iTls.fCertFile}, {"tls.key", &iTls.fKeyFile}, {"tls.ca", &iTls.fCaFile}};
  for (const auto& [key, path] : files) {
    PFd fd(::open(path->c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.valid()) continue;
    unreadable.push_back(std::string(key) + " " + *path + ": " + std::strerror(errno));
    logProblem(false, L"[%s] SIGHUP will not reload the TLS material: %ls %ls cannot be read as the user the host runs as (%ls); "
               L"see docs/security.md for modes that work", PUtils::wide(key), PUtils::wide(*path), PUtils::wide(std::strerror(errno)));
  }
  return unreadable;
}

void PHost::reloadTls(const PTlsSettings& iTls, const std::string& iError) {
  if (!fRunning) return;
  if (!fTls) {
    logInfo(L"[%s] SIGHUP: the host serves without TLS, nothing to reload (restart to read the configuration again)");
    return;
  }
  std::string error = iError;
  if (error.empty() && !hasTls(iTls)) error = "tls.cert, tls.key and tls.ca are no longer set";
  if (error.empty() && fTls->reload(iTls, error) == 0) {
    logInfo(L"[%s] SIGHUP: reloaded the TLS material: certificate %ls, CA %ls, %d allow-list entries; new handshakes use it",
            PUtils::wide(iTls.fCertFile), PUtils::wide(iTls.fCaFile), static_cast<int>(iTls.fAllow.size()));
    return;
  }
  logProblem(true, L"[%s] SIGHUP: TLS material not reloaded, the previous one serves on: %ls", PUtils::wide(error));
}

void PHost::stop() {
  if (!fRunning) return;
  fRunning = false;
  if (!fComms.isNull()) fComms->stopAccepting();
  if (!fDispatcher.isNull()) fDispatcher->stop();  // the workers finish their turn and end
  if (!fComms.isNull()) fComms->closeAll();         // closes the transfers vanished peers left
  if (!fDispatcher.isNull()) fDispatcher->removeAllListeners();
  // Each plug-in's last reference goes; its services go with it, and give
  // back what they hold of the components.
  while (!fPlugins.empty()) {
    fPlugins.back()->unload();
    fPlugins.pop_back();
  }
  logInfo(L"[%s] stopped");
  fLogger = static_cast<ILogger*>(nullptr);
  fAudit = static_cast<ILogger*>(nullptr);
  fTls.reset();
  fBudget.reset();
  zevoClearInstances();
  fComms = static_cast<PComms*>(nullptr);
  fDispatcher = static_cast<PEventDispatcher*>(nullptr);
  fEndpoints.clear();
}
