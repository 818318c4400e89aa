#include "PHostProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <thread>

#include "PEmulation.h"

extern char** environ;

pid_t spawnProgram(std::vector<std::string> iArgs, const int (&iFds)[3], char* const* iEnvironment,
                   const std::string& iCwd) {
  const std::vector<std::string> emulator = zevoEmulatorArgs();
  iArgs.insert(iArgs.begin(), emulator.begin(), emulator.end());
  std::vector<char*> argv;
  for (std::string& arg : iArgs) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd) {
    if (iFds[fd] >= 0) posix_spawn_file_actions_adddup2(&actions, iFds[fd], fd);
  }
  if (!iCwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, iCwd.c_str());
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), iEnvironment ? iEnvironment : environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int waitExit(pid_t iPid, std::chrono::milliseconds iTimeout) {
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + iTimeout;
  while (waitpid(iPid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(iPid, SIGKILL);
      waitpid(iPid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void PCollectedText::append(const char* iData, size_t iSize) {
  PStdMutexLock lock(fLock);
  fText.append(iData, iSize);
}

std::string PCollectedText::text() {
  PStdMutexLock lock(fLock);
  return fText;
}

void PCollectedText::clear() {
  PStdMutexLock lock(fLock);
  fText.clear();
}

void collectOutput(int iFd, PCollectedText& ioText) {
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(iFd, buffer, sizeof buffer);
    if (got > 0) {
      ioText.append(buffer, static_cast<size_t>(got));
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  ::close(iFd);
}

namespace {

// The program started with its standard error on a pipe: its pid, the
// pipe's read end in oErr.
pid_t spawnWithStderr(const std::vector<std::string>& iArgs, int& oErr) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = spawnProgram(iArgs, {-1, -1, pipeFds[1]});
  ::close(pipeFds[1]);
  oErr = pipeFds[0];
  return pid;
}

}  // namespace

PHostProcess::PHostProcess() { std::filesystem::create_directories(fDir / "etc"); std::filesystem::create_directories(fDir / "data"); }

PHostProcess::~PHostProcess() {
  if (fPid > 0) stop();
  if (fReader.joinable()) fReader.join();
}

void PHostProcess::setConfig(const std::string& iSet, const std::string& iText) {
  std::ofstream(fDir / ("etc/" + iSet + ".conf")) << iText;
}

void PHostProcess::useDefaultConfig(const std::string& iExtraHostLines) {
  setConfig("zevohost", "plugins = " ZEVO_FILEACCESS_PLUGIN "\nlisten = unix:" + (fDir / "host.sock") +
                            "\nlog.level = debug\n" + iExtraHostLines);
  setConfig("zevop.fileaccess", "fileaccess.read =\nfileaccess.write =\nfileaccess.read.recursive = " + data() +
                                    "\nfileaccess.write.recursive = " + data() + "\n");
}

bool PHostProcess::start(const std::vector<std::string>& iExtraArgs) {
  std::vector<std::string> args = {ZEVOHOST, "--config-dir", configDir()};
  args.insert(args.end(), iExtraArgs.begin(), iExtraArgs.end());
  if (fReader.joinable()) fReader.join();
  fOutput.clear();
  int err = -1;
  fPid = spawnWithStderr(args, err);
  if (fPid <= 0) return false;
  fReader = std::thread(collectOutput, err, std::ref(fOutput));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = output();
    const size_t at = text.find("zevohost: listening on ");
    if (at != std::string::npos) {
      const size_t end = text.find('\n', at);
      if (end != std::string::npos) {
        fEndpoint = text.substr(at + 23, end - at - 23);
        return true;
      }
    }
    int status = 0;
    if (waitpid(fPid, &status, WNOHANG) == fPid) {
      fPid = -1;
      fReader.join();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int PHostProcess::stop() {
  if (fPid <= 0) return -1;
  ::kill(fPid, SIGTERM);
  const int status = waitExit(fPid, std::chrono::seconds(30));
  fPid = -1;
  fReader.join();
  return status;
}

int PHostProcess::runToExit(const std::vector<std::string>& iArgs, std::string& oStderr, int iTimeoutSeconds) {
  std::vector<std::string> args = {ZEVOHOST};
  args.insert(args.end(), iArgs.begin(), iArgs.end());
  int err = -1;
  const pid_t pid = spawnWithStderr(args, err);
  if (pid <= 0) return -1;
  PCollectedText text;
  std::thread reader(collectOutput, err, std::ref(text));
  const int status = waitExit(pid, std::chrono::seconds(iTimeoutSeconds));
  reader.join();
  oStderr = text.text();
  return status;
}

std::string PHostProcess::output() { return fOutput.text(); }

bool PHostProcess::waitForOutput(const std::string& iText, std::chrono::milliseconds iTimeout) {
  const auto deadline = std::chrono::steady_clock::now() + iTimeout;
  while (output().find(iText) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

int PHostProcess::descriptorsOn(const std::string& iPath) const {
  int count = 0;
  const std::string dir = "/proc/" + std::to_string(fPid) + "/fd";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    std::error_code ignored;
    if (std::filesystem::read_symlink(entry.path(), ignored).string() == iPath) ++count;
  }
  return count;
}

long PHostProcess::residentKiB() const {
  std::ifstream status("/proc/" + std::to_string(fPid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
  }
  return -1;
}

PWireClient::~PWireClient() { close(); }

void PWireClient::close() {
  if (fFd >= 0) ::close(fFd);
  fFd = -1;
}

bool PWireClient::connect(const std::string& iEndpoint) {
  close();
  if (iEndpoint.compare(0, 5, "unix:") == 0) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = iEndpoint.substr(5);
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    fFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
  } else if (iEndpoint.compare(0, 4, "tcp:") == 0) {
    const std::string rest = iEndpoint.substr(4);
    const size_t colon = rest.rfind(':');
    std::string host = rest.substr(0, colon);
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), rest.substr(colon + 1).c_str(), &hints, &found) != 0) return false;
    fFd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected = ::connect(fFd, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (connected) return true;
  }
  close();
  return false;
}

bool PWireClient::sendRaw(const std::vector<unsigned char>& iBytes) {
  size_t done = 0;
  while (done < iBytes.size()) {
    const ssize_t sent = ::send(fFd, iBytes.data() + done, iBytes.size() - done, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

bool PWireClient::sendRequest(uint32_t iExchange, uint32_t iAction, const std::vector<unsigned char>& iPayload,
                              const std::string& iModule) {
  std::vector<unsigned char> frame;
  PFrame::append(frame, FRAME_REQUEST, iExchange, iAction, iModule, iPayload.data(), iPayload.size());
  return sendRaw(frame);
}

bool PWireClient::readExactly(unsigned char* oBytes, size_t iCount, std::chrono::steady_clock::time_point iDeadline) {
  size_t done = 0;
  while (done < iCount) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(iDeadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd waiting{fFd, POLLIN, 0};
    if (::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) return false;
    const ssize_t got = ::recv(fFd, oBytes + done, iCount - done, 0);
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool PWireClient::receive(PWireFrame& oFrame, std::chrono::milliseconds iTimeout) {
  const auto deadline = std::chrono::steady_clock::now() + iTimeout;
  unsigned char header[kFrameHeader];
  if (!readExactly(header, sizeof header, deadline)) return false;
  const uint32_t length = PFrame::readU32(header);
  if (length < kFrameMinLength) return false;
  std::vector<unsigned char> rest(length - kFrameMinLength);
  if (!readExactly(rest.data(), rest.size(), deadline)) return false;
  const size_t moduleLength = size_t(header[13]) | size_t(header[14]) << 8;
  if (moduleLength > rest.size()) return false;
  oFrame.fKind = header[4];
  oFrame.fExchange = PFrame::readU32(header + 5);
  oFrame.fWord = static_cast<int32_t>(PFrame::readU32(header + 9));
  oFrame.fModule.assign(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(moduleLength));
  oFrame.fPayload.assign(rest.begin() + static_cast<std::ptrdiff_t>(moduleLength), rest.end());
  return true;
}

PWireFrame PWireClient::call(uint32_t iAction, const std::vector<unsigned char>& iPayload) {
  const uint32_t exchange = fNextExchange++;
  PWireFrame reply;
  EXPECT_TRUE(sendRequest(exchange, iAction, iPayload));
  EXPECT_TRUE(receive(reply)) << "no reply to action " << iAction;
  EXPECT_EQ(FRAME_REPLY, reply.fKind);
  EXPECT_EQ(exchange, reply.fExchange);
  return reply;
}

bool PWireClient::closedByPeer(std::chrono::milliseconds iTimeout) {
  pollfd waiting{fFd, POLLIN, 0};
  if (::poll(&waiting, 1, static_cast<int>(iTimeout.count())) <= 0) return false;
  unsigned char byte;
  return ::recv(fFd, &byte, 1, MSG_DONTWAIT) == 0;
}
