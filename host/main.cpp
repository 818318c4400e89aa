// zevohost: loads the plug-ins named in its configuration and serves peers
// over sockets until SIGTERM or SIGINT.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <string>

#include "PHost.h"
#include "PPrivileges.h"
#include "PSystemd.h"
#include "zevo/PErrors.h"
#include "zevo/core/PConfigManager.h"

namespace {

int fail(const std::string& iMessage) {
  std::fprintf(stderr, "zevohost: %s\n", iMessage.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  PHostOptions options;
  std::string error;
  if (!parseHostOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "zevohost: %s\nTry 'zevohost --help'.\n", error.c_str());
    return 2;
  }
  if (options.fHelp) {
    std::fputs(hostUsage().c_str(), stdout);
    std::printf("\nPlug-in directory: %s\n", defaultPluginDir().c_str());
    return 0;
  }
  if (options.fSettingsTable) {
    std::fputs(hostSettingsTable().c_str(), stdout);
    return 0;
  }
  if (options.fVersion) {
    std::puts("zevohost " ZEVO_VERSION);
    return 0;
  }

  // A daemon that holds a descriptor per peer and transfer takes what the
  // system allows it (the hard limit, up to 65536) rather than the soft one.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max == RLIM_INFINITY ? 65536 : std::min<rlim_t>(files.rlim_max, 65536);
    ::setrlimit(RLIMIT_NOFILE, &files);
  }

  // Signals are taken by this thread alone, with sigwait; every thread
  // started from here on inherits the blocked set.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  PHostSettings settings;
  if (!options.fConfigDir.empty()) settings.fConfigDir = options.fConfigDir;
  struct stat info;
  if (::stat(settings.fConfigDir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return fail("configuration directory " + settings.fConfigDir + " does not exist (see --config-dir)");
  }
  // Absolute and without "..": the plug-ins load their sets after the host
  // has changed to "/".
  if (char* real = ::realpath(settings.fConfigDir.c_str(), nullptr)) {
    settings.fConfigDir = real;
    std::free(real);
  }
  PBaseptr<PConfigManager> configManager;
  int result = PConfigManager::create(settings.fConfigDir, configManager);
  if (result != 0) return fail("cannot use the configuration directory " + settings.fConfigDir);
  // The host's own set is optional: without it, defaults and options rule.
  PBaseptr<PConfig> hostConfig;
  std::string configError;
  result = configManager->load(PLiteral(L"zevohost"), hostConfig, configError);
  if (result != 0 && result != ERR_CONFIG_NO_SET) return fail(configError);
  for (const std::string& warning : unknownHostKeys(hostConfig.get())) {
    std::fprintf(stderr, "zevohost: warning: %s\n", warning.c_str());
  }
  if (!resolveHostSettings(hostConfig.get(), options, settings, error)) return fail(error);
  hostConfig = static_cast<PConfig*>(nullptr);
  if (!PSystemd::passedSockets(settings.fPassedSockets, error)) return fail(error);
  // Relative paths of a reload mean what they meant at start.
  char here[PATH_MAX];
  const std::string startDir = getcwd(here, sizeof here) != nullptr ? here : "";

  // A path without any "/" must mean the same to the access policy, which
  // judges it as lying in "/", and to the file system.
  if (chdir("/") != 0) return fail(std::string("cannot change to /: ") + std::strerror(errno));

  // The security order: read and bind everything and load the plug-ins,
  // give up the privileges, and only then take peers.
  PHost host;
  if (!host.prepare(settings, configManager.get(), error)) return fail(error);
  if (settings.fUser != static_cast<uid_t>(-1)) {
    if (!dropPrivileges(settings.fUser, settings.fGroup, error)) {
      host.stop();  // never serves with the privileges it was asked to give up
      return fail("cannot run as user " + std::to_string(settings.fUser) + ": " + error);
    }
    for (const std::string& unreadable : host.unreadableOnReload(settings.fTls)) {
      std::fprintf(stderr, "zevohost: warning: SIGHUP cannot reload the TLS material as user %u: %s\n",
                   static_cast<unsigned int>(settings.fUser), unreadable.c_str());
    }
  }
  if (!host.serve(error)) return fail(error);
  std::string status;
  for (const std::string& where : host.endpoints()) {
    std::fprintf(stderr, "zevohost: listening on %s\n", where.c_str());
    status += (status.empty() ? "listening on " : ", ") + where;
  }
  std::fflush(stderr);
  PSystemd::notifyReady(status);

  for (;;) {
    int taken = 0;
    if (sigwait(&signals, &taken) != 0) continue;
    if (taken == SIGHUP) {  // the TLS material again; the rest needs a restart
      PTlsSettings tls;
      result = configManager->load(PLiteral(L"zevohost"), hostConfig, configError);
      if (result == 0 || result == ERR_CONFIG_NO_SET) {
        configError.clear();
        resolveTlsSettings(hostConfig.get(), options, startDir, tls, configError);
      }
      hostConfig = static_cast<PConfig*>(nullptr);
      host.reloadTls(tls, configError);
      continue;
    }
    std::fprintf(stderr, "zevohost: %s received, shutting down\n", taken == SIGTERM ? "SIGTERM" : "SIGINT");
    break;
  }
  PSystemd::notifyStopping();
  host.stop();
  std::fprintf(stderr, "zevohost: stopped\n");
  return 0;
}
