#include "PBroker.h"

#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace {

// The program of the build machine: on PATH or in /usr/sbin.
std::string programPath(const std::string& iName) {
  std::istringstream path(std::string(std::getenv("PATH") ? std::getenv("PATH") : "") + ":/usr/sbin:/usr/bin");
  for (std::string dir; std::getline(path, dir, ':');) {
    if (!dir.empty() && ::access((dir + "/" + iName).c_str(), X_OK) == 0) return dir + "/" + iName;
  }
  return "";
}

int freePort() {
  PFd fd = streamSocket("", false);
  sockaddr_in address{};
  socklen_t size = sizeof address;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.sin_port);
}

}  // namespace

PBroker::PBroker(const std::string& iLines, bool iTls) : fLines(iLines), fTls(iTls) {
  if (available()) fStarted = start();
}

bool PBroker::available() { return !programPath("mosquitto").empty(); }

bool PBroker::start() {
  if (fPort == 0) fPort = freePort();
  // Run as root, mosquitto would become the user mosquitto, who cannot read the tests' keys.
  const passwd* me = ::getpwuid(::geteuid());
  std::string conf = "listener " + std::to_string(fPort) + " 127.0.0.1\nset_tcp_nodelay true\n";
  if (me != nullptr) conf += "user " + std::string(me->pw_name) + "\n";
  if (fTls) {
    conf += "cafile " + certificate("ca.pem") + "\ncertfile " + certificate("server.pem") + "\nkeyfile " +
            certificate("server.key") + "\nrequire_certificate true\nuse_identity_as_username true\n";
  }
  if (fLines.find("password_file") == std::string::npos && !fTls) conf += "allow_anonymous true\n";
  writeText(fDir / "mosquitto.conf", conf + fLines);
  PSpawn spawn;
  spawn.fNative = true;
  fChild = std::make_unique<PChild>(std::vector<std::string>{programPath("mosquitto"), "-c", fDir / "mosquitto.conf"}, spawn);
  return eventually([&] {
    if (!fChild->running()) return true;
    PFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(fPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }, 10) && fChild->running();
}

void PBroker::stop() {
  if (fChild && fChild->pid() > 0) ::kill(fChild->pid(), SIGTERM);
  if (fChild) fChild->wait();
}

void PBroker::kill() {
  if (fChild && fChild->pid() > 0) ::kill(fChild->pid(), SIGKILL);
  if (fChild) fChild->wait();
}

std::string PBroker::url(const std::string& iPath) const {
  return std::string(fTls ? "mqtts" : "mqtt") + "://127.0.0.1:" + std::to_string(fPort) + (iPath.empty() ? "" : "/" + iPath);
}

std::string PBroker::passwords(const std::string& iUser, const std::string& iPassword) {
  const std::string file = fDir / ("passwords-" + iUser);
  PSpawn spawn;
  spawn.fNative = true;
  PChild(std::vector<std::string>{programPath("mosquitto_passwd"), "-c", "-b", file, iUser, iPassword}, spawn).wait();
  return file;
}
