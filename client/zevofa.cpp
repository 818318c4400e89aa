// zevofa: the command-line client of the file-access service, in the manner
// of scp, sftp, rsync and adb push/pull. It parses its command line and
// dispatches through the table of commands (kCommands); what each command
// does is in PFaCommands.h.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "PFaCommands.h"
#include "PFleet.h"

namespace {

const char* const kDefaultEndpoint = "unix:/run/zevo/zevohost.sock";

// What the command line gave.
struct PArguments {
  std::string fCommand;
  PFaArgs fArgs;
  std::vector<const PFaOption*> fGiven;  // command options, to be checked against the command
  std::string fEndpoint;
  std::string fChunk;
  bool fHelp = false;
  bool fVersion = false;
  PFaSettings fSettings;
};

// A command: its lines in the program's help, its own help, its operands,
// its options (long names) and what runs it.
struct PCommand {
  const char* fName;
  const char* fLines;
  const char* fHelp;
  size_t fLeast;
  size_t fMost;
  std::vector<const char*> fOptions;
  int (*fRun)(const PFaSettings& iSettings, const PFaArgs& iArgs);
};

constexpr size_t kAny = static_cast<size_t>(-1);

// A command on the host: connects, then runs iCommand; iTransfers: it copies
// files (the warning when the host lacks the file-operations module).
template <int (PFaSession::*iCommand)(const PFaArgs&), bool iTransfers = false>
int onHost(const PFaSettings& iSettings, const PFaArgs& iArgs) {
  PFaConsole console(iSettings, iArgs.fJson);
  PFaSession session(iSettings, console);
  const int status = session.connect(iTransfers);
  return status != kExitOk ? status : (session.*iCommand)(iArgs);
}

int help(const PFaSettings&, const PFaArgs&);

const std::vector<PCommand> kCommands = {
    {"ls", "  ls [-l] [--json] REMOTE...  list directories (-l: mode, size and time of each entry)\n",
     "Lists each directory REMOTE, one name a line, sorted. A file lists as itself.\n"
     "  -l, --long   also the mode, the size and the time of each entry\n"
     "  --json       one JSON object per entry: path, name, type, size, mode, mtime\n",
     1, kAny, {"--long", "--json"}, onHost<&PFaSession::ls>},
    {"stat", "  stat [--json] REMOTE...     whether REMOTE exists, its kind, size, mode and time\n",
     "Prints whether each REMOTE exists, its kind, a file's size, its mode and its\n"
     "modification time (a link: its target). Exit status 1 when one is missing.\n"
     "  --json   one JSON object per path\n",
     1, kAny, {"--json"}, onHost<&PFaSession::stat>},
    {"sum", "  sum [--json] REMOTE...      the SHA-256 of remote files, hashed on the host\n",
     "Prints the SHA-256 of each remote file as sha256sum does: 64 hex digits, two\n"
     "spaces, the path. The host hashes it; nothing is downloaded.\n"
     "  --json   one JSON object per file: path, sha256\n",
     1, kAny, {"--json"}, onHost<&PFaSession::sum>},
    {"whoami", "  whoami [--json]             this client's identity, role and granted trees\n",
     "Prints who the host takes this client for (identity), its role (read or\n"
     "write) and the directories and trees it may read and write.\n"
     "  --json   one JSON object\n",
     0, 0, {"--json"}, onHost<&PFaSession::whoami>},
    {"mkdir", "  mkdir REMOTE...             create directories with their parents\n",
     "Creates each directory with its missing parents; one that exists already is\n"
     "fine, a file in the way is an error.\n",
     1, kAny, {}, onHost<&PFaSession::mkdir>},
    {"rm", "  rm [-r] REMOTE...           delete files (-r: directories with all they hold)\n",
     "Deletes each file.\n"
     "  -r, --recursive   also directories, with everything below them\n",
     1, kAny, {"--recursive"}, onHost<&PFaSession::rm>},
    {"rmdir", "  rmdir REMOTE...             delete empty directories\n", "Deletes each empty directory.\n", 1, kAny, {},
     onHost<&PFaSession::rmdir>},
    {"mv", "  mv REMOTE... REMOTE         rename or move on the host\n",
     "Renames FROM to TO atomically, replacing a file there; several FROMs, or a TO\n"
     "that is a directory, go into it under their names.\n"
     "  --no-clobber   never replace: an existing TO is an error\n",
     2, kAny, {"--no-clobber"}, onHost<&PFaSession::mv>},
    {"chmod", "  chmod MODE REMOTE...        set permission bits (octal, such as 755)\n",
     "Sets the permission bits of each file or directory to MODE, octal 0 to 777.\n", 2, kAny, {},
     onHost<&PFaSession::chmod>},
    {"get", "  get [-rp] REMOTE... [LOCAL]  download files, or trees with -r ('-': standard output)\n",
     "Downloads each file REMOTE to LOCAL.\n"
     "  LOCAL missing        ./NAME, NAME being the last component of REMOTE\n"
     "  LOCAL a directory    LOCAL/NAME (required when there are several REMOTEs)\n"
     "  LOCAL '-'            standard output\n"
     "REMOTE may hold wildcards (*, ?, [...]), matched against the host's listings.\n"
     "  -r, --recursive      REMOTE may be a directory: its whole tree is copied\n"
     "                       (into LOCAL/NAME when LOCAL exists, else as LOCAL)\n"
     "  -p, --preserve       keep the remote modes and modification times\n"
     "  --continue           go on from the bytes a cut download kept\n"
     "  --verify             compare the SHA-256 of the copy with the remote file's\n"
     "A file is written under a temporary name beside LOCAL and renamed once it is\n"
     "complete and checked: a failed download leaves LOCAL as it was.\n",
     1, kAny, {"--recursive", "--preserve", "--continue", "--verify"}, onHost<&PFaSession::get, true>},
    {"put", "  put [-rp] LOCAL... REMOTE    upload files, or trees with -r ('-': standard input)\n",
     "Uploads each file LOCAL to REMOTE, atomically: nothing shows there until the\n"
     "whole file is on the host's storage; a failed upload leaves what was there.\n"
     "  REMOTE a directory, or ending in '/'   REMOTE/NAME, NAME being LOCAL's name\n"
     "                                         (required when there are several LOCALs)\n"
     "  LOCAL '-'            standard input (REMOTE must then name a file)\n"
     "  -r, --recursive      LOCAL may be a directory: its whole tree is copied\n"
     "                       (into REMOTE/NAME when REMOTE is a directory, else as\n"
     "                       REMOTE); links to directories and special files are\n"
     "                       skipped with a warning (exit status 3)\n"
     "  -p, --preserve       keep the local modes and modification times\n"
     "  --continue           go on with an upload that was cut, sending only the rest\n"
     "  --verify             compare the SHA-256 of the remote file with the local one\n"
     "REMOTE is required: the host has no current directory.\n",
     2, kAny, {"--recursive", "--preserve", "--continue", "--verify"}, onHost<&PFaSession::put, true>},
    {"sync", "  sync [--delete] SRC DST     copy what differs between trees (one side :REMOTE)\n",
     "Makes DST a copy of SRC, moving only the files that differ in size or time\n"
     "(or content, with --checksum), with their modes and times. One side is on\n"
     "the host, written :PATH: 'sync DIR :/data/dir' sends, 'sync :/data/dir DIR'\n"
     "receives. Each change is a line: ITEM PATH (docs/client.md).\n"
     "  --delete         also delete what DST holds and SRC does not\n"
     "  -n, --dry-run    only say what would change\n"
     "  --checksum       compare files of the same size by their SHA-256\n"
     "  --verify         compare the SHA-256 of each copy with its source\n"
     "  --json           one JSON object per change: item, action, path, type\n",
     2, 2, {"--delete", "--dry-run", "--checksum", "--verify", "--json"}, onHost<&PFaSession::sync, true>},
    {"help", "  help [COMMAND]              show this help, or a command's\n",
     "Shows the program's help, or COMMAND's.\n", 0, 1, {}, help},
};

const char kUsageHead[] =
    "Usage: zevofa [OPTION]... COMMAND [ARG]...\n"
    "Copies files to and from a zevo file-access host and manages its directories.\n"
    "\n"
    "Commands:\n";

const char kUsageTail[] =
    "  devices [--json]            the hosts online at an mqtt:// broker\n"
    "  fleet get|put|sync|run ...  a command on many hosts behind a broker (zevofa fleet --help)\n"
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
    "      --chunk BYTES         bytes per request of a transfer (default: the host's largest;\n"
    "                            without its file-operations module 8192 for get, 64K for put);\n"
    "                            K and M suffixes\n"
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
    "(the remote side is closed); a second Ctrl-C ends zevofa at once.\n"
    "\n"
    "Exit status:\n"
    "  0    success\n"
    "  1    the service refused or failed an operation (also: stat found nothing)\n"
    "  2    usage error\n"
    "  3    local file error\n"
    "  4    cannot connect, connection lost, time-out, or a transport error\n"
    "  5    a transfer's check failed (size or SHA-256: the file changed meanwhile)\n"
    "  130  interrupted (SIGINT or SIGTERM)\n";

const PCommand* findCommand(const std::string& iName) {
  for (const PCommand& command : kCommands) {
    if (iName == command.fName) return &command;
  }
  return nullptr;
}

int usageError(const std::string& iText) {
  std::fprintf(stderr, "zevofa: %s\nTry 'zevofa --help'.\n", iText.c_str());
  return kExitUsage;
}

int help(const PFaSettings&, const PFaArgs& iArgs) {
  if (iArgs.fOperands.empty()) {
    std::fputs(kUsageHead, stdout);
    for (const PCommand& command : kCommands) std::fputs(command.fLines, stdout);
    std::fputs(kUsageTail, stdout);
    return kExitOk;
  }
  const PCommand* command = findCommand(iArgs.fOperands[0]);
  if (command == nullptr) return usageError("no help for '" + iArgs.fOperands[0] + "'");
  std::printf("Usage: zevofa %s", command->fLines + 2);
  std::fputs(command->fHelp, stdout);
  return kExitOk;
}

// An option with a value: "--opt=V", "--opt V", "-eV" or "-e V".
bool optionValue(int iArgc, char** iArgv, int& ioAt, const std::string& iName, size_t iInline, std::string& oValue) {
  const std::string word = iArgv[ioAt];
  if (iInline < word.size()) {
    oValue = word.substr(iInline);
    return true;
  }
  if (ioAt + 1 >= iArgc) {
    usageError("option " + iName + " needs a value");
    return false;
  }
  oValue = iArgv[++ioAt];
  return true;
}

// A long option: kExitOk, or the exit code of a usage error (said).
int parseLong(int iArgc, char** iArgv, int& ioAt, PArguments& oArguments) {
  const std::string word = iArgv[ioAt];
  const size_t equals = word.find('=');
  const std::string name = word.substr(0, equals);
  const size_t valueAt = equals == std::string::npos ? word.size() : equals + 1;
  PFaSettings& settings = oArguments.fSettings;
  PClientTls& tls = settings.fTls;
  std::string value;
  std::string* target = name == "--endpoint" ? &oArguments.fEndpoint : name == "--ca" ? &tls.fCaFile : name == "--cert" ? &tls.fCertFile
                        : name == "--key" ? &tls.fKeyFile : name == "--chunk" ? &oArguments.fChunk : nullptr;
  if (target != nullptr) return optionValue(iArgc, iArgv, ioAt, name, valueAt, *target) ? kExitOk : kExitUsage;
  if (isMqttOption(name)) {
    if (!optionValue(iArgc, iArgv, ioAt, name, valueAt, value)) return kExitUsage;
    return takeMqttOption(name, value, settings.fMqtt);
  }
  if (name == "--window") {
    if (!optionValue(iArgc, iArgv, ioAt, name, valueAt, value)) return kExitUsage;
    const long long window = parseBytes(value);
    if (window < 1 || window > kMaxWindow) return usageError("--window must be 1 to 1024, not '" + value + "'");
    settings.fOptions.fWindow = static_cast<int>(window);
    return kExitOk;
  }
  if (name == "--timeout" || name == "--connect-timeout") {
    if (!optionValue(iArgc, iArgv, ioAt, name, valueAt, value)) return kExitUsage;
    const int ms = parseSeconds(value);
    if (ms < 1) return usageError(name + " must be 0.001 to 86400 seconds, not '" + value + "'");
    (name == "--timeout" ? settings.fOptions.fReplyTimeoutMs : settings.fOptions.fConnectTimeoutMs) = ms;
    return kExitOk;
  }
  if (equals != std::string::npos) return usageError("option " + name + " takes no value");
  bool* flag = name == "--verbose" ? &settings.fVerbose : name == "--quiet" ? &settings.fQuiet : name == "--help" ? &oArguments.fHelp
               : name == "--version" ? &oArguments.fVersion : nullptr;
  if (flag != nullptr) {
    *flag = true;
    return kExitOk;
  }
  for (const PFaOption& option : kFaOptions) {
    if (name != option.fLong) continue;
    oArguments.fArgs.*option.fField = true;
    oArguments.fGiven.push_back(&option);
    return kExitOk;
  }
  return usageError("unknown option " + name);
}

// Letters after one "-": kExitOk, or the exit code of a usage error (said).
int parseShort(int iArgc, char** iArgv, int& ioAt, PArguments& oArguments) {
  const std::string word = iArgv[ioAt];
  for (size_t at = 1; at < word.size(); ++at) {
    const char letter = word[at] == 'R' ? 'r' : word[at];
    if (letter == 'e') return optionValue(iArgc, iArgv, ioAt, "-e", at + 1, oArguments.fEndpoint) ? kExitOk : kExitUsage;
    bool* flag = letter == 'v' ? &oArguments.fSettings.fVerbose : letter == 'q' ? &oArguments.fSettings.fQuiet
                 : letter == 'h' ? &oArguments.fHelp : nullptr;
    if (flag != nullptr) {
      *flag = true;
      continue;
    }
    const PFaOption* found = nullptr;
    for (const PFaOption& option : kFaOptions) found = option.fShort == letter ? &option : found;
    if (found == nullptr) return usageError(std::string("unknown option -") + word[at]);
    oArguments.fArgs.*found->fField = true;
    oArguments.fGiven.push_back(found);
  }
  return kExitOk;
}

// Fills oArguments from argv; an exit code other than kExitOk on a usage
// error (said).
int parseArguments(int iArgc, char** iArgv, PArguments& oArguments) {
  bool optionsEnded = false;
  for (int i = 1; i < iArgc; ++i) {
    const std::string word = iArgv[i];
    if (optionsEnded || word == "-" || word.size() < 2 || word[0] != '-') {
      if (oArguments.fCommand.empty()) {
        oArguments.fCommand = word;
      } else {
        oArguments.fArgs.fOperands.push_back(word);
      }
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    const int status = word.compare(0, 2, "--") == 0 ? parseLong(iArgc, iArgv, i, oArguments) : parseShort(iArgc, iArgv, i, oArguments);
    if (status != kExitOk) return status;
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

// The operands of a command that name remote paths.
std::vector<std::string> remoteOperands(const std::string& iCommand, const std::vector<std::string>& iOperands) {
  if (iCommand == "help" || iOperands.empty()) return {};
  if (iCommand == "put") return {iOperands.back()};
  if (iCommand == "get") return iOperands.size() > 1 ? std::vector<std::string>(iOperands.begin(), iOperands.end() - 1) : iOperands;
  if (iCommand == "chmod") return {iOperands.begin() + 1, iOperands.end()};
  if (iCommand != "sync") return iOperands;
  std::vector<std::string> remote;
  for (const std::string& operand : iOperands) {
    if (operand.compare(0, 1, ":") == 0) remote.push_back(operand.substr(1));
  }
  return remote;
}

// The command's operands and options: kExitOk, or a usage error (said).
int checkUsage(const PCommand& iCommand, const PArguments& iArguments) {
  const size_t count = iArguments.fArgs.fOperands.size();
  const std::string name = iCommand.fName;
  const PFaArgs& args = iArguments.fArgs;
  if (name == "put" && count == 1) return usageError("put needs LOCAL and REMOTE (the host has no current directory)");
  if (count < iCommand.fLeast) return usageError(name + ": missing operand");
  if (count > iCommand.fMost) return usageError(name + ": too many operands");
  const auto& operands = args.fOperands;
  if (name == "get" && count > 1 && operands.back() == "-" && (args.fRecursive || count > 2)) {
    return usageError("only one file can be written to standard output");
  }
  if (name == "put" && std::find(operands.begin(), operands.end() - 1, "-") != operands.end() - 1 && (args.fRecursive || count > 2)) {
    return usageError("standard input is one file: put - REMOTE");
  }
  const std::vector<std::string> remotes = remoteOperands(name, operands);
  if (name == "sync" && remotes.size() != 1) {
    return usageError("sync copies between here and the host: write the remote side as :PATH (sync DIR :/data/dir, sync :/data/dir DIR)");
  }
  for (const std::string& remote : remotes) {
    if (remote.empty() || remote[0] != '/') {
      return usageError("remote paths are absolute (the host has no current directory): '" + remote + "'" +
                        (remote.empty() ? "" : "; did you mean '/" + remote + "'?"));
    }
  }
  for (const PFaOption* option : iArguments.fGiven) {
    bool allowed = false;
    std::string where;
    for (const PCommand& command : kCommands) {
      for (const char* own : command.fOptions) {
        if (own != std::string(option->fLong)) continue;
        allowed = allowed || &command == &iCommand;
        where += std::string(where.empty() ? "" : ", ") + command.fName;
      }
    }
    const size_t last = where.rfind(", ");
    if (last != std::string::npos) where.replace(last, 2, " and ");
    const std::string shown = option->fShort != 0 ? std::string("-") + option->fShort : option->fLong;
    if (!allowed) return usageError(shown + " is an option of " + where + " only");
  }
  return kExitOk;
}

// The connection's settings from the options and the environment.
int settle(PArguments& ioArguments) {
  PFaSettings& settings = ioArguments.fSettings;
  if (!ioArguments.fChunk.empty()) {
    const long long chunk = parseBytes(ioArguments.fChunk);
    if (chunk < 1 || chunk > (64 << 20)) return usageError("--chunk must be 1 to 64M bytes, not '" + ioArguments.fChunk + "'");
    settings.fChunk = chunk;
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
  settings.fOutTerminal = isatty(STDOUT_FILENO) == 1;
  settings.fErrTerminal = isatty(STDERR_FILENO) == 1;
  return kExitOk;
}

int run(PArguments& ioArguments) {
  if (ioArguments.fVersion) {
    std::puts("zevofa " ZEVO_VERSION);
    return kExitOk;
  }
  if (ioArguments.fCommand.empty()) return ioArguments.fHelp ? help({}, {}) : usageError("no command given");
  const PCommand* command = findCommand(ioArguments.fCommand);
  if (command == nullptr) return usageError("unknown command '" + ioArguments.fCommand + "'");
  if (ioArguments.fHelp) {
    PFaArgs about;
    about.fOperands = {command->fName};
    return help({}, command->fRun == help ? PFaArgs{} : about);
  }
  int status = checkUsage(*command, ioArguments);
  if (status == kExitOk) status = settle(ioArguments);
  return status == kExitOk ? command->fRun(ioArguments.fSettings, ioArguments.fArgs) : status;
}

}  // namespace

bool commandTakes(const std::string& iCommand, const std::string& iOption) {
  const PCommand* command = findCommand(iCommand);
  return command != nullptr && std::find(command->fOptions.begin(), command->fOptions.end(), iOption) != command->fOptions.end();
}

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
