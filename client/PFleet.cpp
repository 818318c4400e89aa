#include "PFleet.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <vector>

#include "PFaCommands.h"
#include "PProgressBar.h"
#include "zevo/PFd.h"
#include "zevo/protocol/PEndpoint.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

const char kFleetUsage[] =
    "Usage: zevofa [OPTION]... devices [--json]\n"
    "       zevofa [OPTION]... fleet [FLEET-OPTION]... get REMOTE DIR\n"
    "       zevofa [OPTION]... fleet [FLEET-OPTION]... put LOCAL REMOTE\n"
    "       zevofa [OPTION]... fleet [FLEET-OPTION]... run COMMAND [ARG]...\n"
    "Reaches hosts behind the MQTT broker -e mqtt[s]://BROKER[:PORT] (default\n"
    "$ZEVOFA_ENDPOINT) with the options of every command (--ca, --cert, --key,\n"
    "--mqtt-name, --mqtt-user, --mqtt-password-file, --mqtt-prefix, --timeout...).\n"
    "\n"
    "  devices                   the hosts online, by the presence they keep at the\n"
    "                            broker: device, version, modules\n"
    "  fleet get REMOTE DIR      REMOTE (a file or a directory tree) of each device\n"
    "                            into DIR/DEVICE/\n"
    "  fleet put LOCAL REMOTE    LOCAL (a file or a directory tree) to each device,\n"
    "                            as zevofa put -r does\n"
    "  fleet run COMMAND [ARG]...  any one zevofa command on each device; its output\n"
    "                            is shown device by device\n"
    "\n"
    "Fleet options:\n"
    "  -d, --devices LIST        devices, comma-separated: names, and patterns with\n"
    "                            * ? [...] matched against the devices online\n"
    "                            (required)\n"
    "      --parallel N          devices served at once, 1 to 256 (default 8)\n"
    "      --json                the outcome as JSON on standard output\n"
    "  -h, --help                show this help\n"
    "\n"
    "A terminal shows one progress line per device; a summary follows the end.\n"
    "Exit status: 0 every device succeeded, 1 one or more failed, 2 usage error,\n"
    "4 the broker cannot be reached or names no such device, 130 interrupted.\n";

// Options of every command that take a value, and the fleet's own.
const std::set<std::string> kValueOptions = {"--endpoint", "--ca", "--cert", "--key", "--chunk", "--window", "--timeout",
                                             "--connect-timeout", "--mqtt-name", "--mqtt-user", "--mqtt-password-file",
                                             "--mqtt-prefix", "--devices", "--parallel"};

int usage(const std::string& iText) {
  std::fprintf(stderr, "zevofa: %s\nTry 'zevofa fleet --help'.\n", iText.c_str());
  return kExitUsage;
}

// The index of the command word, or iArgc.
int commandAt(int iArgc, char** iArgv) {
  for (int i = 1; i < iArgc; ++i) {
    const std::string word = iArgv[i];
    if (word == "--") return i + 1 < iArgc ? i + 1 : iArgc;
    if (word.size() < 2 || word[0] != '-') return i;
    if (word.compare(0, 2, "--") == 0) {
      if (word.find('=') == std::string::npos && kValueOptions.count(word) != 0) ++i;
      continue;
    }
    const size_t value = word.find_first_of("ed", 1);  // -e and -d take a value
    if (value != std::string::npos && value + 1 == word.size()) ++i;
  }
  return iArgc;
}

struct PFleetArguments {
  std::string fCommand;  // devices, get, put, run
  std::vector<std::string> fOperands;
  std::vector<std::string> fChildOptions;  // run: the options every command takes, as given
  std::string fEndpoint;
  std::string fDevices;
  std::string fChunk;
  int fParallel = 8;
  bool fJson = false;
  bool fHelp = false;
  PFaSettings fSettings;
};

long long parseCount(const std::string& iText) {
  if (iText.empty() || iText.find_first_not_of("0123456789") != std::string::npos || iText.size() > 9) return -1;
  return std::stoll(iText);
}

int parseSecondsMs(const std::string& iText) {
  char* end = nullptr;
  const double seconds = std::strtod(iText.c_str(), &end);
  if (iText.empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0.001 || seconds > 86400) return -1;
  return static_cast<int>(std::lround(seconds * 1000));
}

int parse(int iArgc, char** iArgv, PFleetArguments& oArguments) {
  PFaSettings& settings = oArguments.fSettings;
  bool fleet = false;
  for (int i = 1; i < iArgc; ++i) {
    std::string word = iArgv[i];
    if (word.size() < 2 || word[0] != '-' || word == "--") {
      if (word == "--" && ++i >= iArgc) break;
      word = iArgv[i];
      if (oArguments.fCommand.empty() && (word == "fleet" || word == "help") && !fleet) {
        fleet = word == "fleet";
        if (word == "help") oArguments.fHelp = true;
        continue;
      }
      if (oArguments.fCommand.empty()) {
        oArguments.fCommand = word;
        if (word == "run") {  // the rest is the command each device runs
          for (++i; i < iArgc; ++i) oArguments.fOperands.push_back(iArgv[i]);
        }
        continue;
      }
      oArguments.fOperands.push_back(word);
      continue;
    }
    std::string name = word, value;
    const size_t equals = word.find('=');
    if (word.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      name = word.substr(0, equals);
      value = word.substr(equals + 1);
    } else if (word.size() > 2 && word[1] != '-') {  // -eVALUE, -dVALUE, -vq
      if (word[1] == 'e' || word[1] == 'd') {
        name = word.substr(0, 2);
        value = word.substr(2);
      } else {
        for (size_t at = 2; at < word.size(); ++at) {
          if (word[at] != 'v' && word[at] != 'q') return usage(std::string("unknown option -") + word[at]);
        }
        settings.fVerbose = settings.fVerbose || word.find('v') != std::string::npos;
        settings.fQuiet = settings.fQuiet || word.find('q') != std::string::npos;
        name = word.substr(0, 2);
      }
    }
    if (name == "-e") name = "--endpoint";
    if (name == "-d") name = "--devices";
    const bool takesValue = kValueOptions.count(name) != 0;
    if (takesValue && value.empty() && equals == std::string::npos && !(word.size() > 2 && word[1] != '-')) {
      if (i + 1 >= iArgc) return usage("option " + name + " needs a value");
      value = iArgv[++i];
    }
    const bool forChild = takesValue && name != "--endpoint" && name != "--devices" && name != "--parallel";
    if (forChild) {
      oArguments.fChildOptions.push_back(name);
      oArguments.fChildOptions.push_back(value);
    }
    if (name == "--endpoint") {
      oArguments.fEndpoint = value;
    } else if (name == "--devices") {
      oArguments.fDevices = value;
    } else if (name == "--parallel") {
      oArguments.fParallel = static_cast<int>(parseCount(value));
      if (oArguments.fParallel < 1 || oArguments.fParallel > 256) return usage("--parallel must be 1 to 256, not '" + value + "'");
    } else if (name == "--ca" || name == "--cert" || name == "--key") {
      (name == "--ca" ? settings.fTls.fCaFile : name == "--cert" ? settings.fTls.fCertFile : settings.fTls.fKeyFile) = value;
    } else if (isMqttOption(name)) {
      if (takeMqttOption(name, value, settings.fMqtt) != kExitOk) return kExitUsage;
    } else if (name == "--chunk") {
      oArguments.fChunk = value;
    } else if (name == "--window") {
      const long long window = parseCount(value);
      if (window < 1 || window > kMaxWindow) return usage("--window must be 1 to 1024, not '" + value + "'");
      settings.fOptions.fWindow = static_cast<int>(window);
    } else if (name == "--timeout" || name == "--connect-timeout") {
      const int ms = parseSecondsMs(value);
      if (ms < 1) return usage(name + " must be 0.001 to 86400 seconds, not '" + value + "'");
      (name == "--timeout" ? settings.fOptions.fReplyTimeoutMs : settings.fOptions.fConnectTimeoutMs) = ms;
    } else if (name == "--json") {
      oArguments.fJson = true;
    } else if (name == "-h" || name == "--help") {
      oArguments.fHelp = true;
    } else if (name == "-v" || name == "--verbose" || name == "-q" || name == "--quiet") {
      (name == "-v" || name == "--verbose" ? settings.fVerbose : settings.fQuiet) = true;
      oArguments.fChildOptions.push_back(name == "-v" || name == "--verbose" ? "--verbose" : "--quiet");
    } else {
      return usage("unknown option " + name);
    }
  }
  if (!fleet && oArguments.fCommand != "devices") oArguments.fCommand = fleet ? oArguments.fCommand : "devices";
  if (fleet && oArguments.fCommand == "devices") return usage("fleet has no command devices: zevofa devices");
  return kExitOk;
}

// A device's run and what the terminal shows of it.
struct PDeviceRun {
  std::string fDevice;
  std::atomic<int> fState{0};  // 0 waiting, 1 running, 2 done
  std::atomic<long long> fDone{0};
  std::atomic<long long> fTotal{-1};
  Clock::time_point fBegun;
  double fSeconds = 0;
  int fExit = 0;  // zevofa's exit status for this device
  std::string fError, fOut, fErr;
};

std::string lastName(const std::string& iPath) {
  size_t end = iPath.size();
  while (end > 0 && iPath[end - 1] == '/') --end;
  const size_t slash = end == 0 ? std::string::npos : iPath.rfind('/', end - 1);
  return iPath.substr(slash == std::string::npos ? 0 : slash + 1, end - (slash == std::string::npos ? 0 : slash + 1));
}

std::string join(const std::string& iDir, const std::string& iName) {
  return !iDir.empty() && iDir.back() == '/' ? iDir + iName : iDir + "/" + iName;
}

bool makeLocalDirs(const std::string& iPath) {
  std::string partial;
  for (size_t at = 0; at != std::string::npos;) {
    const size_t slash = iPath.find('/', at + 1);
    partial = iPath.substr(0, slash);
    if (!partial.empty() && ::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return false;
    at = slash;
  }
  return true;
}

class PFleet {
 public:
  PFleet(const PFleetArguments& iArguments, std::string iBroker) : fArguments(iArguments), fBroker(std::move(iBroker)) {}

  // The devices the list names, patterns matched against those online.
  int resolve(std::vector<std::string>& oDevices) {
    std::vector<std::string> patterns;
    std::set<std::string> seen;
    size_t begin = 0;
    for (;;) {
      const size_t comma = fArguments.fDevices.find(',', begin);
      std::string entry = fArguments.fDevices.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
      entry.erase(0, entry.find_first_not_of(' '));
      entry.erase(entry.find_last_not_of(' ') + 1);
      if (!entry.empty() && entry.find_first_of("*?[") != std::string::npos) {
        patterns.push_back(entry);
      } else if (!entry.empty() && seen.insert(entry).second) {
        oDevices.push_back(entry);
      }
      if (comma == std::string::npos) break;
      begin = comma + 1;
    }
    if (!patterns.empty()) {
      std::vector<std::string> online;
      const int status = onlineDevices(online, nullptr);
      if (status != kExitOk) return status;
      for (const std::string& device : online) {
        for (const std::string& pattern : patterns) {
          if (fnmatch(pattern.c_str(), device.c_str(), 0) == 0 && seen.insert(device).second) oDevices.push_back(device);
        }
      }
    }
    if (oDevices.empty()) {
      faMessage("no device online matches --devices " + fArguments.fDevices);
      return kExitConnection;
    }
    return kExitOk;
  }

  // The devices online (and their presence, parsed), sorted.
  int onlineDevices(std::vector<std::string>& oDevices, Json* oPresences) {
    std::vector<PDevicePresence> found;
    PClientError error;
    const PFaSettings& settings = fArguments.fSettings;
    if (listPresences(fBroker, settings.fTls, settings.fMqtt, settings.fOptions.fConnectTimeoutMs, found, error) != 0) {
      faMessage(error.message());
      return error.fOrigin == PErrorOrigin::kArgument ? kExitUsage : kExitConnection;
    }
    std::map<std::string, Json> latest;
    for (const PDevicePresence& presence : found) {
      Json parsed = Json::parse(presence.fPresence, nullptr, false);
      if (!parsed.is_object() || parsed.value("state", "") != "online") {
        latest.erase(presence.fDevice);
        continue;
      }
      latest[presence.fDevice] = parsed;
    }
    for (auto& [device, presence] : latest) {
      oDevices.push_back(device);
      if (oPresences != nullptr) oPresences->push_back(presence);
    }
    return kExitOk;
  }

  int devices() {
    std::vector<std::string> online;
    Json presences = Json::array();
    const int status = onlineDevices(online, &presences);
    if (status != kExitOk) return status;
    if (fArguments.fJson) {
      std::printf("%s\n", presences.dump(2).c_str());
      return kExitOk;
    }
    std::printf("%-24s %-10s %s\n", "DEVICE", "VERSION", "MODULES");
    for (const Json& presence : presences) {
      std::string modules;
      for (const Json& module : presence.value("modules", Json::array())) {
        if (module.is_string()) modules += (modules.empty() ? "" : ", ") + module.get<std::string>();
      }
      std::printf("%-24s %-10s %s\n", presence.value("device", "").c_str(), presence.value("version", "").c_str(), modules.c_str());
    }
    return kExitOk;
  }

  int run(const std::vector<std::string>& iDevices) {
    for (const std::string& device : iDevices) {
      fRuns.push_back(std::make_unique<PDeviceRun>());
      fRuns.back()->fDevice = device;
    }
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    const size_t parallel = std::min(fRuns.size(), static_cast<size_t>(fArguments.fParallel));
    for (size_t w = 0; w < parallel; ++w) {
      workers.emplace_back([&] {
        for (size_t i = next++; i < fRuns.size(); i = next++) {
          PDeviceRun& run = *fRuns[i];
          run.fBegun = Clock::now();
          run.fState = 1;
          one(run);
          run.fSeconds = std::chrono::duration<double>(Clock::now() - run.fBegun).count();
          run.fState = 2;
        }
      });
    }
    watch();
    for (std::thread& worker : workers) worker.join();
    return report();
  }

 private:
  std::string endpointOf(const std::string& iDevice) const { return join(fBroker, iDevice); }

  void fail(PDeviceRun& ioRun, int iExit, const std::string& iWhy) {
    if (ioRun.fExit != 0) return;  // the first failure says most
    ioRun.fExit = iExit;
    ioRun.fError = iWhy;
  }

  void fail(PDeviceRun& ioRun, const PClient& iClient) {
    const PClientError& error = iClient.lastError();
    const int exit = error.fOrigin == PErrorOrigin::kRemote ? kExitRemote
                     : error.fOrigin == PErrorOrigin::kLocal ? kExitLocal
                     : error.fOrigin == PErrorOrigin::kTransfer ? (error.fCode == ERR_CLIENT_CANCELLED ? kExitInterrupted : kExitCheck)
                     : error.fOrigin == PErrorOrigin::kArgument ? kExitUsage : kExitConnection;
    fail(ioRun, exit, error.message());
  }

  PTransferControl control(PDeviceRun& ioRun, long long iBase) {
    PTransferControl control;
    control.fProgress = [&ioRun, iBase](long long iDone, long long) { ioRun.fDone = iBase + iDone; };
    control.fContinue = [] { return gInterrupted == 0; };
    return control;
  }

  void one(PDeviceRun& ioRun) {
    if (fArguments.fCommand == "run") return spawn(ioRun);
    PClient client(fArguments.fSettings.fOptions);
    client.setTls(fArguments.fSettings.fTls);
    client.setMqtt(fArguments.fSettings.fMqtt);
    if (client.connect(endpointOf(ioRun.fDevice)) != 0) return fail(ioRun, client);
    if (fArguments.fCommand == "get") {
      const std::string& remote = fArguments.fOperands[0];
      const std::string local = join(join(fArguments.fOperands[1], ioRun.fDevice), lastName(remote).empty() ? "root" : lastName(remote));
      if (!makeLocalDirs(join(fArguments.fOperands[1], ioRun.fDevice))) return fail(ioRun, kExitLocal, "cannot make " + local + ": " + std::strerror(errno));
      getAny(client, ioRun, remote, local);
    } else {
      const std::string& local = fArguments.fOperands[0];
      std::string remote = fArguments.fOperands[1];
      bool isFile = false;
      if (!remote.empty() && (remote.back() == '/' || (client.isFile(remote, isFile) == 0 && !isFile))) remote = join(remote, lastName(local));
      struct stat info;
      if (::stat(local.c_str(), &info) != 0) return fail(ioRun, kExitLocal, "local: " + local + ": " + std::strerror(errno));
      ioRun.fTotal = S_ISDIR(info.st_mode) ? -1 : static_cast<long long>(info.st_size);
      putAny(client, ioRun, local, remote);
    }
    client.close();
  }

  void getAny(PClient& ioClient, PDeviceRun& ioRun, const std::string& iRemote, const std::string& iLocal) {
    bool isFile = false;
    if (ioClient.isFile(iRemote, isFile) != 0) return fail(ioRun, ioClient);
    if (isFile) {
      long long size = -1, bytes = 0;
      if (ioClient.size(iRemote, size) == 0 && ioRun.fTotal < 0) ioRun.fTotal = size;
      if (ioClient.get(iRemote, PSink::file(iLocal), control(ioRun, ioRun.fDone), &bytes) != 0) return fail(ioRun, ioClient);
      return;
    }
    std::vector<std::string> names;
    if (ioClient.list(iRemote, names) != 0) return fail(ioRun, ioClient);
    if (::mkdir(iLocal.c_str(), 0777) != 0 && errno != EEXIST) return fail(ioRun, kExitLocal, "local: " + iLocal + ": " + std::strerror(errno));
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) continue;
      getAny(ioClient, ioRun, join(iRemote, name), join(iLocal, name));
      if (ioRun.fExit != 0 && !ioClient.isConnected()) return;
    }
  }

  void putAny(PClient& ioClient, PDeviceRun& ioRun, const std::string& iLocal, const std::string& iRemote) {
    struct stat info;
    if (::stat(iLocal.c_str(), &info) != 0) return fail(ioRun, kExitLocal, "local: " + iLocal + ": " + std::strerror(errno));
    if (S_ISREG(info.st_mode)) {
      if (ioClient.put(PSource::file(iLocal), iRemote, control(ioRun, ioRun.fDone)) != 0) fail(ioRun, ioClient);
      return;
    }
    if (!S_ISDIR(info.st_mode)) return;  // a special file stays here
    if (ioClient.makeDir(iRemote) != 0) return fail(ioRun, ioClient);
    DIR* listing = ::opendir(iLocal.c_str());
    if (listing == nullptr) return fail(ioRun, kExitLocal, "local: " + iLocal + ": " + std::strerror(errno));
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
    }
    ::closedir(listing);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      putAny(ioClient, ioRun, join(iLocal, name), join(iRemote, name));
      if (ioRun.fExit != 0 && !ioClient.isConnected()) return;
    }
  }

  // zevofa itself, for one device: its output kept for the report.
  void spawn(PDeviceRun& ioRun) {
    std::vector<std::string> words = {"zevofa"};
    words.insert(words.end(), fArguments.fChildOptions.begin(), fArguments.fChildOptions.end());
    words.push_back("--endpoint=" + endpointOf(ioRun.fDevice));
    words.push_back("--");
    words.insert(words.end(), fArguments.fOperands.begin(), fArguments.fOperands.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return fail(ioRun, kExitLocal, std::strerror(errno));
    PFd outRead(out[0]), outWrite(out[1]);
    if (::pipe2(err, O_CLOEXEC) != 0) return fail(ioRun, kExitLocal, std::strerror(errno));
    PFd errRead(err[0]), errWrite(err[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // This program, by its path: the link itself may name an emulator's.
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    self[length > 0 ? length : 0] = '\0';
    pid_t child = -1;
    const int spawned = posix_spawn(&child, length > 0 ? self : "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    outWrite.reset();
    errWrite.reset();
    if (spawned != 0) return fail(ioRun, kExitLocal, std::string("cannot start zevofa: ") + std::strerror(spawned));
    pollfd streams[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
    std::string* texts[2] = {&ioRun.fOut, &ioRun.fErr};
    for (int open = 2; open > 0;) {
      if (::poll(streams, 2, -1) < 0 && errno != EINTR) break;
      for (int s = 0; s < 2; ++s) {
        if (streams[s].fd < 0 || streams[s].revents == 0) continue;
        char buffer[4096];
        const ssize_t got = ::read(streams[s].fd, buffer, sizeof buffer);
        if (got > 0) {
          texts[s]->append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
          streams[s].fd = -1;
          --open;
        }
      }
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const int exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (exit != 0) {
      std::string last = ioRun.fErr;
      while (!last.empty() && last.back() == '\n') last.pop_back();
      fail(ioRun, exit, last.substr(last.rfind('\n') == std::string::npos ? 0 : last.rfind('\n') + 1));
    }
  }

  std::string line(const PDeviceRun& iRun) const {
    const int state = iRun.fState;
    const double seconds = state == 2 ? iRun.fSeconds : state == 1 ? std::chrono::duration<double>(Clock::now() - iRun.fBegun).count() : 0;
    std::string status = state == 0 ? "waiting" : state == 1 ? "running" : iRun.fExit == 0 ? "ok" : "FAILED";
    char text[512];
    std::string bytes = iRun.fDone > 0 || iRun.fTotal > 0 ? formatBytes(static_cast<double>(iRun.fDone)) : "";
    if (iRun.fTotal > 0) bytes += " of " + formatBytes(static_cast<double>(iRun.fTotal));
    std::snprintf(text, sizeof text, "%-20s %-8s %-24s %6.1f s  %s", iRun.fDevice.c_str(), status.c_str(), bytes.c_str(), seconds,
                  state == 2 ? iRun.fError.substr(0, 120).c_str() : "");
    return text;
  }

  // A terminal: the devices' lines, redrawn; else a line as each ends.
  void watch() {
    const bool terminal = !fArguments.fSettings.fQuiet && !fArguments.fJson && isatty(STDERR_FILENO) == 1;
    std::vector<bool> said(fRuns.size(), false);
    bool drawn = false;
    for (;;) {
      bool all = true;
      for (const auto& run : fRuns) all = all && run->fState == 2;
      if (terminal) {
        std::string screen = drawn ? "\033[" + std::to_string(fRuns.size()) + "A" : "";
        for (const auto& run : fRuns) screen += "\r\033[K" + line(*run) + "\n";
        std::fputs(screen.c_str(), stderr);
        std::fflush(stderr);
        drawn = true;
      } else if (!fArguments.fJson && !fArguments.fSettings.fQuiet) {
        for (size_t i = 0; i < fRuns.size(); ++i) {
          if (said[i] || fRuns[i]->fState != 2) continue;
          said[i] = true;
          std::fprintf(stderr, "%s\n", line(*fRuns[i]).c_str());
        }
      }
      if (all) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }

  int report() {
    size_t failed = 0;
    bool interrupted = false;
    Json devices = Json::array();
    for (const auto& run : fRuns) {
      failed += run->fExit != 0 ? 1 : 0;
      interrupted = interrupted || run->fExit == kExitInterrupted;
      Json device = {{"device", run->fDevice}, {"ok", run->fExit == 0}, {"exit", run->fExit}, {"seconds", run->fSeconds}};
      if (fArguments.fCommand != "run") device["bytes"] = run->fDone.load();
      if (!run->fError.empty()) device["error"] = run->fError;
      if (fArguments.fCommand == "run") {
        device["stdout"] = run->fOut;
        device["stderr"] = run->fErr;
      }
      devices.push_back(device);
    }
    if (fArguments.fJson) {
      const Json outcome = {{"command", fArguments.fCommand}, {"devices", devices}, {"ok", fRuns.size() - failed}, {"failed", failed}};
      std::printf("%s\n", outcome.dump(2).c_str());
    } else {
      if (fArguments.fCommand == "run") {
        for (const auto& run : fRuns) {
          std::printf("== %s (exit status %d)\n%s", run->fDevice.c_str(), run->fExit, run->fOut.c_str());
          if (!run->fOut.empty() && run->fOut.back() != '\n') std::printf("\n");
          if (!run->fErr.empty()) std::printf("%s%s", run->fErr.c_str(), run->fErr.back() == '\n' ? "" : "\n");
        }
      }
      std::printf("%-20s %-8s %-24s %8s  %s\n", "DEVICE", "STATUS", "BYTES", "TIME", "DETAIL");
      for (const auto& run : fRuns) std::printf("%s\n", line(*run).c_str());
      std::printf("%zu devices: %zu ok, %zu failed\n", fRuns.size(), fRuns.size() - failed, failed);
    }
    if (interrupted || gInterrupted != 0) return kExitInterrupted;
    return failed == 0 ? kExitOk : kExitRemote;
  }

  const PFleetArguments& fArguments;
  const std::string fBroker;
  std::vector<std::unique_ptr<PDeviceRun>> fRuns;
};

}  // namespace

bool isMqttOption(const std::string& iName) {
  return iName == "--mqtt-name" || iName == "--mqtt-user" || iName == "--mqtt-password-file" || iName == "--mqtt-prefix";
}

int takeMqttOption(const std::string& iName, const std::string& iValue, PClientMqtt& ioMqtt) {
  if (iName == "--mqtt-name") {
    ioMqtt.fName = iValue;
  } else if (iName == "--mqtt-user") {
    ioMqtt.fUsername = iValue;
  } else if (iName == "--mqtt-prefix") {
    ioMqtt.fRoot = iValue;
  } else {
    std::ifstream file(iValue);
    if (!file || !std::getline(file, ioMqtt.fPassword)) {
      std::fprintf(stderr, "zevofa: --mqtt-password-file: cannot read a password from %s\n", iValue.c_str());
      return kExitUsage;
    }
    if (!ioMqtt.fPassword.empty() && ioMqtt.fPassword.back() == '\r') ioMqtt.fPassword.pop_back();
  }
  return kExitOk;
}

void mqttFromEnvironment(PClientMqtt& ioMqtt) {
  for (const auto& [variable, value] : {std::pair{"ZEVOFA_MQTT_NAME", &ioMqtt.fName},
                                       {"ZEVOFA_MQTT_USER", &ioMqtt.fUsername},
                                       {"ZEVOFA_MQTT_PASSWORD", &ioMqtt.fPassword},
                                       {"ZEVOFA_MQTT_PREFIX", &ioMqtt.fRoot}}) {
    const char* given = std::getenv(variable);
    if (value->empty() && given != nullptr) *value = given;
  }
}

bool isFleetCommand(int iArgc, char** iArgv) {
  const int at = commandAt(iArgc, iArgv);
  if (at >= iArgc) return false;
  const std::string command = iArgv[at];
  if (command == "help") {
    const int next = at + 1;
    return next < iArgc && (std::string(iArgv[next]) == "fleet" || std::string(iArgv[next]) == "devices");
  }
  return command == "fleet" || command == "devices";
}

int fleetMain(int iArgc, char** iArgv) {
  PFleetArguments arguments;
  int status = parse(iArgc, iArgv, arguments);
  if (status != kExitOk) return status;
  const std::string& command = arguments.fCommand;
  if (arguments.fHelp || command.empty()) {
    if (command.empty() && !arguments.fHelp) return usage("fleet needs a command: get, put or run");
    std::fputs(kFleetUsage, stdout);
    return kExitOk;
  }
  const size_t operands = arguments.fOperands.size();
  if (command == "sync") return usage("fleet sync is not there yet: use fleet put");  // the place for it
  if (command != "devices" && command != "get" && command != "put" && command != "run") {
    return usage("unknown fleet command '" + command + "'");
  }
  if ((command == "get" || command == "put") && operands != 2) return usage("fleet " + command + " needs two operands");
  if (command == "run" && operands == 0) return usage("fleet run needs a command");
  if (command == "run" && (arguments.fOperands[0] == "fleet" || arguments.fOperands[0] == "devices")) {
    return usage("fleet run runs a command on one device each: not " + arguments.fOperands[0]);
  }
  if (command == "devices" && operands != 0) return usage("devices takes no operand");
  if (command != "devices" && arguments.fDevices.empty()) return usage("fleet " + command + " needs --devices");
  if (!arguments.fChunk.empty() && command != "run") {
    const long long chunk = parseCount(arguments.fChunk);
    const long long largest = command == "get" ? kMaxReadChunk : kMaxWriteChunk;
    if (chunk < 1 || chunk > largest) return usage("--chunk must be 1 to " + std::to_string(largest) + " bytes for " + command);
    (command == "get" ? arguments.fSettings.fOptions.fReadChunk : arguments.fSettings.fOptions.fWriteChunk) = static_cast<int>(chunk);
  }
  if (arguments.fEndpoint.empty() && std::getenv("ZEVOFA_ENDPOINT") != nullptr) arguments.fEndpoint = std::getenv("ZEVOFA_ENDPOINT");
  PEndpoint broker;
  std::string why;
  if (PEndpoint::parse(arguments.fEndpoint, broker, why) != 0 || (!broker.is("mqtt") && !broker.is("mqtts")) || !broker.fPath.empty()) {
    return usage("devices and fleet need a broker: -e mqtt[s]://BROKER[:PORT], not '" + arguments.fEndpoint + "'");
  }
  for (const auto& [variable, path] : {std::pair{"ZEVOFA_CA", &arguments.fSettings.fTls.fCaFile},
                                      {"ZEVOFA_CERT", &arguments.fSettings.fTls.fCertFile},
                                      {"ZEVOFA_KEY", &arguments.fSettings.fTls.fKeyFile}}) {
    const char* given = std::getenv(variable);
    if (path->empty() && given != nullptr) *path = given;
  }
  mqttFromEnvironment(arguments.fSettings.fMqtt);
  PFleet fleet(arguments, broker.text());
  if (command == "devices") return fleet.devices();
  std::vector<std::string> devices;
  status = fleet.resolve(devices);
  return status != kExitOk ? status : fleet.run(devices);
}
