#include "PFleet.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <vector>

#include "PFaCommands.h"
#include "PFaOutput.h"
#include "PProgressBar.h"
#include "zevo/PFd.h"
#include "zevo/protocol/PEndpoint.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

const char kDevicesUsage[] =
    "Usage: zevofa [OPTION]... devices [--json]\n"
    "Lists the hosts online at the MQTT broker -e mqtt[s]://BROKER[:PORT] (default\n"
    "$ZEVOFA_ENDPOINT), by the presence they keep there: device, version, modules.\n"
    "  --json   their presence messages, as a JSON array\n";

const char kFleetUsage[] =
    "Usage: zevofa [OPTION]... fleet [FLEET-OPTION]... get [-p] REMOTE... DIR\n"
    "       zevofa [OPTION]... fleet [FLEET-OPTION]... put [-p] LOCAL... REMOTE\n"
    "       zevofa [OPTION]... fleet [FLEET-OPTION]... sync [--delete] SRC DST\n"
    "       zevofa [OPTION]... fleet [FLEET-OPTION]... run COMMAND [ARG]...\n"
    "Does one thing on many hosts behind the MQTT broker -e mqtt[s]://BROKER[:PORT]\n"
    "(default $ZEVOFA_ENDPOINT), with the options of every command (--ca, --cert,\n"
    "--key, --mqtt-name, --mqtt-user, --mqtt-password-file, --mqtt-prefix,\n"
    "--chunk, --timeout...).\n"
    "\n"
    "  get REMOTE... DIR         files or trees of each device into DIR/DEVICE/, as\n"
    "                            zevofa get -r does\n"
    "  put LOCAL... REMOTE       files or trees to each device, as zevofa put -r does:\n"
    "                            each file replaced atomically\n"
    "  sync SRC DST              zevofa sync with each device: 'sync DIR :REMOTE'\n"
    "                            sends, 'sync :REMOTE DIR' receives into DIR/DEVICE/\n"
    "  run COMMAND [ARG]...      any one zevofa command on each device\n"
    "\n"
    "Fleet options:\n"
    "  -d, --devices LIST        devices, comma-separated: names, and patterns with\n"
    "                            * ? [...] matched against the devices online\n"
    "                            (required)\n"
    "      --parallel N          devices served at once, 1 to 256 (default 8)\n"
    "      --json                the outcome as one JSON object on standard output\n"
    "  -h, --help                show this help\n"
    "Options of get and put, as zevofa's (trees are always copied):\n"
    "  -r, --recursive           (always so)\n"
    "  -p, --preserve            keep modes and modification times\n"
    "      --continue            go on from what a cut transfer kept\n"
    "      --verify              compare the SHA-256 of each copy with its source\n"
    "Options of sync, as zevofa sync's (--verify too):\n"
    "      --delete              also delete what DST holds and SRC does not\n"
    "  -n, --dry-run             only say what would change\n"
    "      --checksum            compare files of the same size by their SHA-256\n"
    "\n"
    "A terminal shows one progress line per device. The end prints each device's\n"
    "messages (sync: its changes; run: its output), then a table of the devices.\n"
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
  std::string fCommand;  // devices, get, put, sync, run
  std::vector<std::string> fChildOptions;  // run: the options every command takes, as given
  std::vector<std::string> fGiven;         // options of zevofa's commands, to be checked against the command
  std::string fEndpoint;
  std::string fDevices;
  std::string fChunk;
  int fParallel = 8;
  bool fJson = false;
  bool fHelp = false;
  bool fDevicesHelp = false;
  PFaSettings fSettings;
  PFaArgs fArgs;  // the operands (run: the command and its arguments) and the options of get, put, sync
};

// One option, its name as given (-e, --endpoint) and its value: kExitOk,
// or kExitUsage said.
int takeOption(std::string iName, const std::string& iValue, PFleetArguments& ioArguments) {
  PFaSettings& settings = ioArguments.fSettings;
  if (iName == "-e") iName = "--endpoint";
  if (iName == "-d") iName = "--devices";
  if (kValueOptions.count(iName) != 0 && iName != "--endpoint" && iName != "--devices" && iName != "--parallel") {
    ioArguments.fChildOptions.insert(ioArguments.fChildOptions.end(), {iName, iValue});
  }
  if (iName == "--endpoint") {
    ioArguments.fEndpoint = iValue;
  } else if (iName == "--devices") {
    ioArguments.fDevices = iValue;
  } else if (iName == "--parallel") {
    const long long parallel = iValue.find_first_not_of("0123456789") == std::string::npos ? parseBytes(iValue) : -1;
    if (parallel < 1 || parallel > 256) return usage("--parallel must be 1 to 256, not '" + iValue + "'");
    ioArguments.fParallel = static_cast<int>(parallel);
  } else if (iName == "--ca" || iName == "--cert" || iName == "--key") {
    (iName == "--ca" ? settings.fTls.fCaFile : iName == "--cert" ? settings.fTls.fCertFile : settings.fTls.fKeyFile) = iValue;
  } else if (isMqttOption(iName)) {
    return takeMqttOption(iName, iValue, settings.fMqtt);
  } else if (iName == "--chunk") {
    ioArguments.fChunk = iValue;
  } else if (iName == "--window") {
    const long long window = parseBytes(iValue);
    if (window < 1 || window > kMaxWindow) return usage("--window must be 1 to 1024, not '" + iValue + "'");
    settings.fOptions.fWindow = static_cast<int>(window);
  } else if (iName == "--timeout" || iName == "--connect-timeout") {
    const int ms = parseSeconds(iValue);
    if (ms < 1) return usage(iName + " must be 0.001 to 86400 seconds, not '" + iValue + "'");
    (iName == "--timeout" ? settings.fOptions.fReplyTimeoutMs : settings.fOptions.fConnectTimeoutMs) = ms;
  } else if (iName == "--json") {
    ioArguments.fJson = true;
  } else if (iName == "-h" || iName == "--help") {
    ioArguments.fHelp = true;
  } else if (iName == "-v" || iName == "--verbose" || iName == "-q" || iName == "--quiet") {
    const bool verbose = iName == "-v" || iName == "--verbose";
    (verbose ? settings.fVerbose : settings.fQuiet) = true;
    ioArguments.fChildOptions.push_back(verbose ? "--verbose" : "--quiet");
  } else {
    const std::string name = iName == "-R" ? "-r" : iName;
    for (const PFaOption& option : kFaOptions) {
      if (name != option.fLong && !(name.size() == 2 && name[1] == option.fShort && option.fShort != 0)) continue;
      ioArguments.fArgs.*option.fField = true;
      ioArguments.fGiven.push_back(option.fLong);
      return kExitOk;
    }
    return usage("unknown option " + iName);
  }
  return kExitOk;
}

int parse(int iArgc, char** iArgv, PFleetArguments& oArguments) {
  bool fleet = false;
  for (int i = 1; i < iArgc; ++i) {
    std::string word = iArgv[i];
    if (word.size() < 2 || word[0] != '-' || word == "--") {
      if (word == "--" && ++i >= iArgc) break;
      word = iArgv[i];
      if (oArguments.fCommand.empty() && (word == "fleet" || word == "help") && !fleet) {
        fleet = word == "fleet";
        oArguments.fHelp = oArguments.fHelp || word == "help";
        continue;
      }
      if (oArguments.fCommand.empty()) {
        oArguments.fCommand = word;
        if (word == "run") {  // the rest is the command each device runs
          for (++i; i < iArgc; ++i) oArguments.fArgs.fOperands.push_back(iArgv[i]);
        }
        continue;
      }
      oArguments.fArgs.fOperands.push_back(word);
      continue;
    }
    const size_t equals = word.find('=');
    int status = kExitOk;
    if (word.compare(0, 2, "--") == 0) {  // --name, --name=VALUE, --name VALUE
      const std::string name = word.substr(0, equals);
      std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
      if (equals == std::string::npos && kValueOptions.count(name) != 0) {
        if (i + 1 >= iArgc) return usage("option " + name + " needs a value");
        value = iArgv[++i];
      }
      status = takeOption(name, value, oArguments);
    } else {  // -vp, -eVALUE, -e VALUE, -dLIST
      for (size_t at = 1; at < word.size() && status == kExitOk; ++at) {
        const std::string name = std::string("-") + word[at];
        if (name != "-e" && name != "-d") {
          status = takeOption(name, "", oArguments);
          continue;
        }
        if (at + 1 == word.size() && i + 1 >= iArgc) return usage("option " + name + " needs a value");
        status = takeOption(name, at + 1 < word.size() ? word.substr(at + 1) : iArgv[++i], oArguments);
        break;
      }
    }
    if (status != kExitOk) return status;
  }
  oArguments.fDevicesHelp = !fleet;
  if (!fleet) oArguments.fCommand = "devices";
  if (fleet && oArguments.fCommand == "devices") return usage("fleet has no command devices: zevofa devices");
  return kExitOk;
}

// The operands and options of the fleet's command: kExitOk, or kExitUsage said.
int checkUsage(PFleetArguments& ioArguments) {
  const std::string& command = ioArguments.fCommand;
  const std::vector<std::string>& operands = ioArguments.fArgs.fOperands;
  if (command != "devices" && command != "get" && command != "put" && command != "sync" && command != "run") {
    return usage("unknown fleet command '" + command + "'");
  }
  // get, put and sync take the options of zevofa's own (--json is the fleet's).
  for (const std::string& option : ioArguments.fGiven) {
    if (command == "run" || option == "--json" || !commandTakes(command, option)) return usage(option + " is no option of fleet " + command);
  }
  if (command == "devices") return operands.empty() ? kExitOk : usage("devices takes no operand");
  if (ioArguments.fDevices.empty()) return usage("fleet " + command + " needs --devices");
  if (command == "run") {
    if (operands.empty()) return usage("fleet run needs a command");
    if (operands[0] == "fleet" || operands[0] == "devices") return usage("fleet run runs a command on one device each: not " + operands[0]);
    return kExitOk;
  }
  if (operands.size() < 2 || (command == "sync" && operands.size() != 2)) {
    return usage("fleet " + command + (command == "sync" ? " needs SRC and DST" : " needs two operands or more"));
  }
  if (std::find(operands.begin(), operands.end(), "-") != operands.end()) return usage("fleet " + command + " takes no standard input or output");
  std::vector<std::string> remotes;
  if (command == "get") remotes.assign(operands.begin(), operands.end() - 1);
  if (command == "put") remotes = {operands.back()};
  for (const std::string& operand : operands) {
    if (command == "sync" && operand[0] == ':') remotes.push_back(operand.substr(1));
  }
  if (command == "sync" && remotes.size() != 1) {
    return usage("fleet sync copies between here and each device: write the remote side as :PATH (sync DIR :/data/dir, sync :/data/dir DIR)");
  }
  for (const std::string& remote : remotes) {
    if (remote.empty() || remote[0] != '/') return usage("remote paths are absolute (the host has no current directory): '" + remote + "'");
  }
  if (!ioArguments.fChunk.empty()) {
    const long long chunk = parseBytes(ioArguments.fChunk);
    if (chunk < 1 || chunk > (64 << 20)) return usage("--chunk must be 1 to 64M bytes, not '" + ioArguments.fChunk + "'");
    ioArguments.fSettings.fChunk = chunk;
  }
  ioArguments.fArgs.fRecursive = command != "sync";
  return kExitOk;
}

bool makeLocalDirs(const std::string& iPath) {
  for (size_t slash = iPath.find('/', 1);; slash = iPath.find('/', slash + 1)) {
    const std::string partial = iPath.substr(0, slash);
    if (!partial.empty() && ::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

// One device's run: what its session says goes here, and what the terminal
// shows of it. Written by its worker; read by the others once fState is 2
// (fDone and fTotal at any time).
class PDeviceRun final : public PFaReporter {
 public:
  explicit PDeviceRun(std::string iDevice) : fDevice(std::move(iDevice)) {}

  void message(const std::string& iText, bool iFailure) override {
    fMessages.push_back(iText);
    if (iFailure && fError.empty()) fError = iText;
  }
  void change(const PFaChange& iChange) override { fChanges.push_back(iChange); }
  void begin(const std::string&) override { fBase = fDone; }
  void progress(long long iDone, long long iTotal) override {
    fDone = fBase + iDone;
    fTotal = iTotal >= 0 ? fBase + iTotal : -1;
  }
  void end() override {}

  const std::string fDevice;
  std::atomic<int> fState{0};  // 0 waiting, 1 running, 2 done
  std::atomic<long long> fDone{0};
  std::atomic<long long> fTotal{-1};
  Clock::time_point fBegun;
  double fSeconds = 0;
  int fExit = 0;  // zevofa's exit status for this device
  std::string fError;  // the first failure said
  std::vector<std::string> fMessages;
  std::vector<PFaChange> fChanges;
  std::string fOut, fErr;  // run: the child's

 private:
  long long fBase = 0;  // bytes of the transfers before this one
};

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
      if (!entry.empty() && hasWildcard(entry)) {
        patterns.push_back(entry);
      } else if (!entry.empty() && seen.insert(entry).second) {
        oDevices.push_back(entry);
      }
      if (comma == std::string::npos) break;
      begin = comma + 1;
    }
    if (!patterns.empty()) {  // names alone need no listing
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
    for (const std::string& device : iDevices) fRuns.push_back(std::make_unique<PDeviceRun>(device));
    fEnded.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    const size_t parallel = std::min(fRuns.size(), static_cast<size_t>(fArguments.fParallel));
    for (size_t w = 0; w < parallel; ++w) {
      workers.emplace_back([&] {
        for (size_t i = next++; i < fRuns.size(); i = next++) {
          PDeviceRun& run = *fRuns[i];
          run.fBegun = Clock::now();
          run.fState = 1;
          if (gInterrupted != 0) {
            run.fExit = kExitInterrupted;
            run.fError = "interrupted before it began";
          } else {
            one(run);
          }
          run.fSeconds = std::chrono::duration<double>(Clock::now() - run.fBegun).count();
          run.fState = 2;
          const uint64_t one = 1;
          if (fEnded.valid() && ::write(fEnded.get(), &one, sizeof one) < 0) {
          }  // the watcher then looks at its next tick
        }
      });
    }
    watch();
    for (std::thread& worker : workers) worker.join();
    return report();
  }

 private:
  std::string endpointOf(const std::string& iDevice) const { return joinPath(fBroker, iDevice); }

  // get, put or sync through zevofa's own session, its words kept for the
  // device's report.
  void one(PDeviceRun& ioRun) {
    if (fArguments.fCommand == "run") return spawn(ioRun);
    PFaSettings settings = fArguments.fSettings;
    settings.fEndpoint = endpointOf(ioRun.fDevice);
    settings.fProgress = settings.fOutTerminal = settings.fErrTerminal = false;
    PFaArgs args = fArguments.fArgs;
    const std::string& command = fArguments.fCommand;
    // What comes from each device goes under DIR/DEVICE.
    const bool receives = command == "get" || (command == "sync" && args.fOperands[0][0] == ':');
    if (receives) {
      const std::string dir = args.fOperands.back();
      args.fOperands.back() = joinPath(dir, ioRun.fDevice);
      if (!makeLocalDirs(command == "get" ? args.fOperands.back() : dir)) {
        ioRun.fExit = kExitLocal;
        ioRun.message(std::string("local: cannot make ") + args.fOperands.back() + ": " + std::strerror(errno), true);
        return;
      }
    }
    PFaSession session(settings, ioRun);
    ioRun.fExit = session.connect(true);
    if (ioRun.fExit != kExitOk) return;
    ioRun.fExit = command == "get" ? session.get(args) : command == "put" ? session.put(args) : session.sync(args);
  }

  // zevofa itself, for one device: its output kept for the report.
  void spawn(PDeviceRun& ioRun) {
    const auto fail = [&](const std::string& iWhy) {
      ioRun.fExit = kExitLocal;
      ioRun.message(iWhy, true);
    };
    std::vector<std::string> words = {"zevofa"};
    words.insert(words.end(), fArguments.fChildOptions.begin(), fArguments.fChildOptions.end());
    words.push_back("--endpoint=" + endpointOf(ioRun.fDevice));
    words.push_back("--");
    words.insert(words.end(), fArguments.fArgs.fOperands.begin(), fArguments.fArgs.fOperands.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return fail(std::strerror(errno));
    PFd outRead(out[0]), outWrite(out[1]);
    if (::pipe2(err, O_CLOEXEC) != 0) return fail(std::strerror(errno));
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
    if (spawned != 0) return fail(std::string("cannot start zevofa: ") + std::strerror(spawned));
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
    ioRun.fExit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::string last = ioRun.fErr;
    while (!last.empty() && last.back() == '\n') last.pop_back();
    if (ioRun.fExit != 0) ioRun.fError = last.substr(last.rfind('\n') == std::string::npos ? 0 : last.rfind('\n') + 1);
  }

  // iTerminal: names escaped.
  std::string line(const PDeviceRun& iRun, bool iTerminal) const {
    const int state = iRun.fState;
    const double seconds = state == 2 ? iRun.fSeconds : state == 1 ? std::chrono::duration<double>(Clock::now() - iRun.fBegun).count() : 0;
    const std::string status = state == 0 ? "waiting" : state == 1 ? "running" : iRun.fExit == 0 ? "ok" : "FAILED";
    std::string bytes = iRun.fDone > 0 || iRun.fTotal > 0 ? formatBytes(static_cast<double>(iRun.fDone)) : "";
    if (iRun.fTotal > 0) bytes += " of " + formatBytes(static_cast<double>(iRun.fTotal));
    std::string detail;
    if (state == 2) {
      detail = iRun.fExit != 0 ? iRun.fError.substr(0, 120)
               : fArguments.fCommand == "sync" ? std::to_string(iRun.fChanges.size()) + (iRun.fChanges.size() == 1 ? " change" : " changes")
                                                : "";
    }
    char text[512];
    std::snprintf(text, sizeof text, "%-20s %-8s %-24s %6.1f s  %s", iRun.fDevice.c_str(), status.c_str(), bytes.c_str(), seconds,
                  shownName(detail, iTerminal).c_str());
    return text;
  }

  // A terminal: the devices' lines, redrawn; else a line as each ends.
  void watch() {
    const bool quiet = fArguments.fSettings.fQuiet || fArguments.fJson;
    const bool terminal = !quiet && isatty(STDERR_FILENO) == 1;
    std::vector<bool> said(fRuns.size(), false);
    bool drawn = false;
    for (;;) {
      bool all = true;
      for (const auto& run : fRuns) all = all && run->fState == 2;
      if (terminal) {
        std::string screen = drawn ? "\033[" + std::to_string(fRuns.size()) + "A" : "";
        for (const auto& run : fRuns) screen += "\r\033[K" + line(*run, true) + "\n";
        std::fputs(screen.c_str(), stderr);
        std::fflush(stderr);
        drawn = true;
      } else if (!quiet) {
        for (size_t i = 0; i < fRuns.size(); ++i) {
          if (said[i] || fRuns[i]->fState != 2) continue;
          said[i] = true;
          std::fprintf(stderr, "%s\n", line(*fRuns[i], false).c_str());
        }
      }
      if (all) return;
      // Until a device ends, or the next redraw.
      pollfd ended{fEnded.get(), POLLIN, 0};
      uint64_t count = 0;
      if (::poll(&ended, fEnded.valid() ? 1 : 0, 100) > 0 && ::read(fEnded.get(), &count, sizeof count) < 0) {
      }
    }
  }

  static Json deviceJson(const PDeviceRun& iRun, const std::string& iCommand) {
    Json device = {{"device", iRun.fDevice}, {"ok", iRun.fExit == 0}, {"exit", iRun.fExit}, {"seconds", iRun.fSeconds}};
    if (!iRun.fError.empty()) device["error"] = iRun.fError;
    if (iCommand == "run") {
      device["stdout"] = iRun.fOut;
      device["stderr"] = iRun.fErr;
      return device;
    }
    device["bytes"] = iRun.fDone.load();
    device["messages"] = iRun.fMessages;
    if (iCommand != "sync") return device;
    Json changes = Json::array();
    for (const PFaChange& change : iRun.fChanges) {
      changes.push_back({{"item", change.fItem}, {"action", change.fAction}, {"path", change.fPath}, {"type", kindName(change.fKind)}});
    }
    device["changes"] = changes;
    return device;
  }

  // Each device's words: the child's output (run), sync's changes and the
  // session's messages; iTerminal: names escaped, line by line.
  void printWords(const PDeviceRun& iRun, bool iTerminal) const {
    std::vector<std::string> lines;
    const auto add = [&lines](const std::string& iText) {
      for (size_t at = 0; at < iText.size();) {
        const size_t end = std::min(iText.find('\n', at), iText.size());
        lines.push_back(iText.substr(at, end - at));
        at = end + 1;
      }
    };
    add(iRun.fOut);
    for (const PFaChange& change : iRun.fChanges) {
      char item[16];
      std::snprintf(item, sizeof item, "%-7s ", change.fItem.c_str());
      lines.push_back(item + change.fPath + (change.fKind == PRemoteKind::kDir ? "/" : ""));
    }
    add(iRun.fErr);
    for (const std::string& message : iRun.fMessages) lines.push_back("zevofa: " + message);
    if (lines.empty() && fArguments.fCommand != "run") return;
    std::printf("== %s (exit status %d)\n", iRun.fDevice.c_str(), iRun.fExit);
    for (const std::string& text : lines) std::printf("%s\n", shownName(text, iTerminal).c_str());
  }

  int report() {
    size_t failed = 0;
    bool interrupted = gInterrupted != 0;
    Json devices = Json::array();
    for (const auto& run : fRuns) {
      failed += run->fExit != 0 ? 1 : 0;
      interrupted = interrupted || run->fExit == kExitInterrupted;
      if (fArguments.fJson) devices.push_back(deviceJson(*run, fArguments.fCommand));
    }
    if (fArguments.fJson) {
      const Json outcome = {{"command", fArguments.fCommand}, {"devices", devices}, {"ok", fRuns.size() - failed}, {"failed", failed}};
      std::printf("%s\n", outcome.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
    } else {
      const bool out = isatty(STDOUT_FILENO) == 1;
      for (const auto& run : fRuns) printWords(*run, out);
      std::printf("%-20s %-8s %-24s %8s  %s\n", "DEVICE", "STATUS", "BYTES", "TIME", "DETAIL");
      for (const auto& run : fRuns) std::printf("%s\n", line(*run, out).c_str());
      std::printf("%zu device%s: %zu ok, %zu failed\n", fRuns.size(), fRuns.size() == 1 ? "" : "s", fRuns.size() - failed, failed);
    }
    if (interrupted) return kExitInterrupted;
    // None reached: the broker, or no device named is there.
    const bool none = std::all_of(fRuns.begin(), fRuns.end(), [](const auto& iRun) { return iRun->fExit == kExitConnection; });
    return failed == 0 ? kExitOk : none ? kExitConnection : kExitRemote;
  }

  const PFleetArguments& fArguments;
  const std::string fBroker;
  std::vector<std::unique_ptr<PDeviceRun>> fRuns;
  PFd fEnded;              // counts the devices that ended, for the watcher
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
    if (command.empty() && !arguments.fHelp) return usage("fleet needs a command: get, put, sync or run");
    std::fputs(arguments.fDevicesHelp ? kDevicesUsage : kFleetUsage, stdout);
    return kExitOk;
  }
  status = checkUsage(arguments);
  if (status != kExitOk) return status;
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
  // The devices' sessions share broker connections, a few sessions each.
  if (command != "run") arguments.fSettings.fBrokers = std::make_shared<PBrokerShare>();
  PFleet fleet(arguments, broker.text());
  if (command == "devices") return fleet.devices();
  std::vector<std::string> devices;
  status = fleet.resolve(devices);
  return status != kExitOk ? status : fleet.run(devices);
}
