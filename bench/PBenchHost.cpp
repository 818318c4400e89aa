#include "PBenchHost.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "zevo/client/PClient.h"

extern char** environ;

double secondsSince(BenchClock::time_point iStart) { return std::chrono::duration<double>(BenchClock::now() - iStart).count(); }

double median(std::vector<double> iValues) {
  if (iValues.empty()) return 0;
  std::sort(iValues.begin(), iValues.end());
  const size_t middle = iValues.size() / 2;
  return iValues.size() % 2 ? iValues[middle] : (iValues[middle - 1] + iValues[middle]) / 2;
}

void die(const std::string& iMessage) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, iMessage.c_str());
  std::exit(1);
}

void PBenchHost::start(const std::string& iRoot, bool iNetwork, bool iFileOps) {
  const std::string etc = iRoot + (iNetwork ? "/etc-net" : "/etc"), socket = iRoot + (iNetwork ? "/net.sock" : "/host.sock");
  std::filesystem::create_directories(etc);
  std::ofstream(etc + "/zevohost.conf") << "plugins = " ZEVO_FILEACCESS_PLUGIN << (iFileOps ? ", " ZEVO_FILEOPS_PLUGIN : "")
                                        << "\nlog.level = warning\nlisten = unix:" << socket
                                        << (iNetwork ? ", tcp:127.0.0.1:0, tls:127.0.0.1:0\ntls.cert = " ZEVO_TEST_CERTS
                                                       "/server.pem\ntls.key = " ZEVO_TEST_CERTS "/server.key\ntls.ca = "
                                                       ZEVO_TEST_CERTS "/ca.pem\nrole.write = *"
                                                     : "")
                                        << "\n";
  std::ofstream(etc + "/zevop.fileaccess.conf")
      << "fileaccess.read =\nfileaccess.write =\nfileaccess.read.recursive = " << iRoot
      << "/data\nfileaccess.write.recursive = " << iRoot << "/data\n";
  std::vector<std::string> args = {ZEVOHOST, "--config-dir", etc};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::string said = etc + "/host.err";  // where it says its ports
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int spawned = posix_spawn(&fPid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) die("cannot start zevohost");
  fEndpoint = "unix:" + socket;
  int listening = 0;
  for (int i = 0; i < 500 && listening < (iNetwork ? 3 : 1); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(said);
    listening = 0;
    for (std::string line; std::getline(in, line) && !in.eof();) {
      if (line.find("zevohost: listening on ") != 0) continue;
      ++listening;
      if (line.find("on tcp:") != std::string::npos) fTcp = line.substr(23);
      if (line.find("on tls:") != std::string::npos) fTls = line.substr(23);
    }
  }
  PClient probe;
  if (listening < (iNetwork ? 3 : 1) || probe.connect(fEndpoint) != 0) die("zevohost did not start");
}

void PBenchHost::stop() {
  if (fPid <= 0) return;
  ::kill(fPid, SIGTERM);
  int status = 0;
  waitpid(fPid, &status, 0);
  fPid = -1;
}

long PBenchHost::memory(const char* iField) const {
  if (fPid <= 0) return -1;
  std::ifstream status("/proc/" + std::to_string(fPid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, std::strlen(iField), iField) == 0) return std::stol(line.substr(std::strlen(iField)));
  }
  return -1;
}
