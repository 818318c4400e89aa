// zevofa: the command-line client of the file-access service, in the manner
// of scp and adb push/pull.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "PFaCommands.h"
#include "PFleet.h"

namespace {

const char* const kDefaultEndpoint = "unix:/run/zevo/zevohost.sock";

const char kUsage[] =
    "Usage: zevofa [OPTION]... COMMAND [ARG]...\n"
    "Copies files to and from a zevo file-access host and manages its directories.\n"
    "\n"
    "Commands:\n"
    "  ls [-l] REMOTE            list a directory (-l: kind and size of each entry)\n"
    "  stat REMOTE               whether REMOTE exists, its kind and size\n"
    "  mkdir REMOTE...           create directories with their parents\n"
    "  rm REMOTE...              delete files\n"
    "  rmdir REMOTE...           delete empty directories\n"
    "  get [-r] REMOTE [LOCAL]   download a file, or a tree with -r ('-': standard output)\n"
    "  put [-r] LOCAL REMOTE     upload a file, or a tree with -r ('-': standard input)\n"
    "  help [COMMAND]            show this help, or a command's\n"
    "  devices [--json]          the hosts online at an mqtt:// broker\n"
    "  fleet get|put|run ...     a command on many hosts behind a broker (zevofa fleet --help)\n"
    "\n"
    "Options (before or after the command):\n"
    "  -e, --endpoint ENDPOINT   unix:PATH, tcp:HOST:PORT, tcp:[IPv6]:PORT, tls:HOST:PORT or\n"
    "                            mqtt[s]://BROKER[:PORT]/DEVICE (a host behind a broker)\n"
    "                            (default: $ZEVOFA_ENDPOINT, else unix:/run/zevo/zevohost.sock)\n"
    "      --ca FILE             for tls: the CA certificates (PEM) the host's certificate must\n"
    "                            be signed by (default $ZEVOFA_CA)\n"
    "      --cert FILE           for tls: this client's certificate, PEM (default $ZEVOFA_CERT)\n"
    "      --key FILE            its private key, PEM (default $ZEVOFA_KEY)\n"
    "                            (for mqtts: the broker's CA, and this client's certificate)\n"
    "      --mqtt-name NAME      the requester's name through a broker, the host's mqtt:NAME\n"
    "                            (default $ZEVOFA_MQTT_NAME, else --mqtt-user, else the login)\n"
    "      --mqtt-user NAME      the login at the broker (default $ZEVOFA_MQTT_USER)\n"
    "      --mqtt-password-file FILE  its password, the file's first line\n"
    "                            (default $ZEVOFA_MQTT_PASSWORD, the password itself)\n"
    "      --mqtt-prefix ROOT    the broker's topic root (default $ZEVOFA_MQTT_PREFIX, else zevo)\n"
    "      --chunk BYTES         bytes per request: get 1 to 8192 (default 8192),\n"
    "                            put 1 to 1048528 (default 64K); K and M suffixes\n"
    "      --window N            requests in flight during a transfer, 1 to 1024 (default 16)\n"
    "      --timeout SECONDS     longest wait for any reply (default 30)\n"
    "      --connect-timeout SECONDS  longest wait to connect (default 5)\n"
    "  -v, --verbose             say what is done\n"
    "  -q, --quiet               no progress bar, no warnings\n"
    "  -h, --help                show help (zevofa get --help: the command's)\n"
    "      --version             show the version\n"
    "\n"
    "Remote paths are absolute paths on the host. A progress bar is drawn on\n"
    "standard error when it is a terminal. Ctrl-C cancels a transfer cleanly\n"
    "(the remote transfer is closed); a second Ctrl-C ends zevofa at once.\n"
    "\n"
    "Exit status:\n"
    "  0    success\n"
    "  1    the service refused or failed an operation (also: stat found nothing)\n"
    "  2    usage error\n"
    "  3    local file error\n"
    "  4    cannot connect, connection lost, time-out, or a transport error\n"
    "  5    a transfer's size check failed (the file changed while it was copied)\n"
    "  130  interrupted (SIGINT or SIGTERM)\n";

const std::map<std::string, const char*> kCommandHelp = {
    {"ls",
     "Usage: zevofa ls [-l] REMOTE\n"
     "Lists the directory REMOTE, one name a line, sorted. A file lists as itself.\n"
     "  -l   also the kind (file, dir, other) and the size of each entry\n"},
    {"stat",
     "Usage: zevofa stat REMOTE\n"
     "Prints whether REMOTE exists, whether it is a file or a directory, and a\n"
     "file's size. Exit status 1 when nothing exists there.\n"},
    {"mkdir",
     "Usage: zevofa mkdir REMOTE...\n"
     "Creates each directory with its missing parents; one that exists already is\n"
     "fine, a file in the way is an error.\n"},
    {"rm",
     "Usage: zevofa rm REMOTE...\n"
     "Deletes each file (not directories: see rmdir).\n"},
    {"rmdir",
     "Usage: zevofa rmdir REMOTE...\n"
     "Deletes each empty directory.\n"},
    {"get",
     "Usage: zevofa get [-r] REMOTE [LOCAL]\n"
     "Downloads the file REMOTE to LOCAL.\n"
     "  LOCAL missing        ./NAME, NAME being the last component of REMOTE\n"
     "  LOCAL a directory    LOCAL/NAME\n"
     "  LOCAL '-'            standard output\n"
     "  -r, --recursive      REMOTE may be a directory: its whole tree is copied\n"
     "                       (into LOCAL/NAME when LOCAL exists, else as LOCAL)\n"
     "A file is written under a temporary name beside LOCAL and renamed once it is\n"
     "complete and its size checked: a failed download leaves LOCAL as it was.\n"},
    {"put",
     "Usage: zevofa put [-r] LOCAL REMOTE\n"
     "Uploads the file LOCAL to REMOTE (created, or emptied first).\n"
     "  REMOTE a directory, or ending in '/'   REMOTE/NAME, NAME being LOCAL's name\n"
     "  LOCAL '-'            standard input (REMOTE must then name a file)\n"
     "  -r, --recursive      LOCAL may be a directory: its whole tree is copied\n"
     "                       (into REMOTE/NAME when REMOTE is a directory, else as\n"
     "                       REMOTE); links to directories and special files are\n"
     "                       skipped with a warning (exit status 3)\n"
     "REMOTE is required: the host has no current directory. After the upload the\n"
     "remote size must equal the bytes sent. A failed upload leaves the bytes sent\n"
     "so far in the remote file.\n"},
    {"help",
     "Usage: zevofa help [COMMAND]\n"
     "Shows the program's help, or COMMAND's.\n"},
};

struct PArguments {
  std::string fCommand;
  std::vector<std::string> fOperands;
  std::string fEndpoint;
  std::string fChunk;
  bool fLong = false;
  bool fRecursive = false;
  bool fHelp = false;
  bool fVersion = false;
  PFaSettings fSettings;
};

int usageError(const std::string& iText) {
  std::fprintf(stderr, "zevofa: %s\nTry 'zevofa --help'.\n", iText.c_str());
  return kExitUsage;
}

// A count with an optional K or M suffix; -1 when malformed.
long long parseBytes(const std::string& iText) {
  if (iText.empty() || iText[0] < '0' || iText[0] > '9') return -1;
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(iText.c_str(), &end, 10);
  if (errno != 0) return -1;
  const std::string suffix = end;
  if (suffix == "K" || suffix == "k" || suffix == "KiB") {
    value *= 1024;
  } else if (suffix == "M" || suffix == "m" || suffix == "MiB") {
    value *= 1024 * 1024;
  } else if (!suffix.empty()) {
    return -1;
  }
  return value;
}

// Seconds (fractions allowed) as milliseconds; -1 when malformed or not
// 0.001 to 86400.
int parseSeconds(const std::string& iText) {
  if (iText.empty()) return -1;
  char* end = nullptr;
  const double seconds = std::strtod(iText.c_str(), &end);
  if (*end != '\0' || !std::isfinite(seconds) || seconds < 0.001 || seconds > 86400) return -1;
  return static_cast<int>(std::lround(seconds * 1000));
}

// Fills oArguments from argv; an exit code other than kExitOk on a usage
// error (said).
int parseArguments(int iArgc, char** iArgv, PArguments& oArguments) {
  PFaSettings& settings = oArguments.fSettings;
  bool optionsEnded = false;
  for (int i = 1; i < iArgc; ++i) {
    std::string word = iArgv[i];
    if (optionsEnded || word == "-" || word.size() < 2 || word[0] != '-') {
      if (oArguments.fCommand.empty()) {
        oArguments.fCommand = word;
      } else {
        oArguments.fOperands.push_back(word);
      }
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    // The value of an option: "--opt=V", "--opt V", "-eV" or "-e V".
    auto valueOf = [&](const std::string& iName, size_t iInline, std::string& oValue) -> bool {
      if (iInline < word.size()) {
        oValue = word.substr(iInline);
        return true;
      }
      if (i + 1 >= iArgc) {
        usageError("option " + iName + " needs a value");
        return false;
      }
      oValue = iArgv[++i];
      return true;
    };
    if (word.compare(0, 2, "--") == 0) {
      const size_t equals = word.find('=');
      const std::string name = word.substr(0, equals);
      const size_t valueAt = equals == std::string::npos ? word.size() : equals + 1;
      std::string value;
      if (name == "--endpoint") {
        if (!valueOf(name, valueAt, oArguments.fEndpoint)) return kExitUsage;
      } else if (name == "--ca" || name == "--cert" || name == "--key") {
        PClientTls& tls = settings.fTls;
        if (!valueOf(name, valueAt, name == "--ca" ? tls.fCaFile : name == "--cert" ? tls.fCertFile : tls.fKeyFile)) {
          return kExitUsage;
        }
      } else if (isMqttOption(name)) {
        if (!valueOf(name, valueAt, value) || takeMqttOption(name, value, settings.fMqtt) != kExitOk) return kExitUsage;
      } else if (name == "--chunk") {
        if (!valueOf(name, valueAt, oArguments.fChunk)) return kExitUsage;
      } else if (name == "--window") {
        if (!valueOf(name, valueAt, value)) return kExitUsage;
        const long long window = parseBytes(value);
        if (window < 1 || window > kMaxWindow) return usageError("--window must be 1 to 1024, not '" + value + "'");
        settings.fOptions.fWindow = static_cast<int>(window);
      } else if (name == "--timeout" || name == "--connect-timeout") {
        if (!valueOf(name, valueAt, value)) return kExitUsage;
        const int ms = parseSeconds(value);
        if (ms < 1) return usageError(name + " must be 0.001 to 86400 seconds, not '" + value + "'");
        (name == "--timeout" ? settings.fOptions.fReplyTimeoutMs : settings.fOptions.fConnectTimeoutMs) = ms;
      } else if (equals != std::string::npos) {
        return usageError("option " + name + " takes no value");
      } else if (name == "--verbose") {
        settings.fVerbose = true;
      } else if (name == "--quiet") {
        settings.fQuiet = true;
      } else if (name == "--help") {
        oArguments.fHelp = true;
      } else if (name == "--version") {
        oArguments.fVersion = true;
      } else if (name == "--recursive") {
        oArguments.fRecursive = true;
      } else if (name == "--long") {
        oArguments.fLong = true;
      } else {
        return usageError("unknown option " + name);
      }
      continue;
    }
    for (size_t at = 1; at < word.size(); ++at) {
      const char letter = word[at];
      if (letter == 'e') {
        if (!valueOf("-e", at + 1, oArguments.fEndpoint)) return kExitUsage;
        break;
      }
      switch (letter) {
        case 'v': settings.fVerbose = true; break;
        case 'q': settings.fQuiet = true; break;
        case 'h': oArguments.fHelp = true; break;
        case 'r':
        case 'R': oArguments.fRecursive = true; break;
        case 'l': oArguments.fLong = true; break;
        default: return usageError(std::string("unknown option -") + letter);
      }
    }
  }
  return kExitOk;
}

void onSignal(int) { gInterrupted = 1; }

void installSignals() {
  // Without SA_RESTART a blocked read returns and the transfer is cancelled;
  // SA_RESETHAND lets a second signal end the program at once.
  struct sigaction action {};
  action.sa_handler = onSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A reader of standard output that has gone is an error to report.
  signal(SIGPIPE, SIG_IGN);
}

int run(PArguments& ioArguments) {
  const std::string& command = ioArguments.fCommand;
  const std::vector<std::string>& operands = ioArguments.fOperands;
  if (ioArguments.fVersion) {
    std::puts("zevofa " ZEVO_VERSION);
    return kExitOk;
  }
  if (command == "help" || command.empty()) {
    if (command.empty() && !ioArguments.fHelp) return usageError("no command given");
    if (operands.empty()) {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    const auto found = kCommandHelp.find(operands[0]);
    if (found == kCommandHelp.end() || operands.size() > 1) return usageError("no help for '" + operands[0] + "'");
    std::fputs(found->second, stdout);
    return kExitOk;
  }
  const auto help = kCommandHelp.find(command);
  if (help == kCommandHelp.end()) return usageError("unknown command '" + command + "'");
  if (ioArguments.fHelp) {
    std::fputs(help->second, stdout);
    return kExitOk;
  }

  size_t least = 1;
  size_t most = 1;
  if (command == "mkdir" || command == "rm" || command == "rmdir") most = static_cast<size_t>(-1);
  if (command == "get") most = 2;
  if (command == "put") least = most = 2;
  if (operands.size() < least || operands.size() > most) {
    if (command == "put" && operands.size() == 1) {
      return usageError("put needs LOCAL and REMOTE (the host has no current directory)");
    }
    return usageError(operands.size() < least ? command + ": missing operand" : command + ": too many operands");
  }
  if (ioArguments.fLong && command != "ls") return usageError("-l is an option of ls only");
  if (ioArguments.fRecursive && command != "get" && command != "put") {
    return usageError("-r is an option of get and put only");
  }

  PFaSettings& settings = ioArguments.fSettings;
  if (!ioArguments.fChunk.empty()) {
    const long long chunk = parseBytes(ioArguments.fChunk);
    const long long largest = command == "get" ? kMaxReadChunk : kMaxWriteChunk;
    if (chunk < 1 || chunk > largest) {
      return usageError("--chunk must be 1 to " + std::to_string(largest) + " bytes for " + command + ", not '" +
                        ioArguments.fChunk + "'");
    }
    (command == "get" ? settings.fOptions.fReadChunk : settings.fOptions.fWriteChunk) = static_cast<int>(chunk);
  }
  settings.fEndpoint = ioArguments.fEndpoint;
  if (settings.fEndpoint.empty()) {
    const char* fromEnvironment = std::getenv("ZEVOFA_ENDPOINT");
    settings.fEndpoint = fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : kDefaultEndpoint;
  }
  for (const auto& [variable, path] : {std::pair{"ZEVOFA_CA", &settings.fTls.fCaFile},
                                      {"ZEVOFA_CERT", &settings.fTls.fCertFile},
                                      {"ZEVOFA_KEY", &settings.fTls.fKeyFile}}) {
    const char* fromEnvironment = std::getenv(variable);
    if (path->empty() && fromEnvironment != nullptr) *path = fromEnvironment;
  }
  mqttFromEnvironment(settings.fMqtt);
  settings.fProgress = !settings.fQuiet && isatty(STDERR_FILENO) == 1;

  PFaSession session(settings);
  int status = session.connect();
  if (status != kExitOk) return status;
  if (command == "ls") {
    status = session.ls(operands[0], ioArguments.fLong);
  } else if (command == "stat") {
    status = session.stat(operands[0]);
  } else if (command == "mkdir") {
    status = session.mkdir(operands);
  } else if (command == "rm") {
    status = session.rm(operands);
  } else if (command == "rmdir") {
    status = session.rmdir(operands);
  } else if (command == "get") {
    status = session.get(operands[0], operands.size() > 1 ? operands[1] : "", ioArguments.fRecursive);
  } else {
    status = session.put(operands[0], operands[1], ioArguments.fRecursive);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  installSignals();
  if (isFleetCommand(argc, argv)) return fleetMain(argc, argv);  // devices, fleet: PFleet.h
  PArguments arguments;
  int status = parseArguments(argc, argv, arguments);
  if (status == kExitOk) status = run(arguments);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    const int error = errno;
    faMessage(std::string("local: cannot write standard output: ") + std::strerror(error));
    if (status == kExitOk) status = kExitLocal;
  }
  return status;
}
