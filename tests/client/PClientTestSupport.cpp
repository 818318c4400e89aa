#include "PClientTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>

extern char** environ;

namespace fs = std::filesystem;

std::vector<unsigned char> allByteValues(size_t iCount) {
  std::vector<unsigned char> bytes = patternBytes(iCount, 77);
  // The first half counts through every value again and again.
  for (size_t i = 0; i < iCount / 2; ++i) bytes[i] = static_cast<unsigned char>(i % 256);
  return bytes;
}

std::string textOf(const std::vector<unsigned char>& iBytes) { return std::string(iBytes.begin(), iBytes.end()); }

std::vector<std::string> makeTree(const std::string& iRoot) {
  const std::map<std::string, std::vector<unsigned char>> files = {
      {"a.txt", {'h', 'e', 'l', 'l', 'o', '\n'}},
      {"empty.txt", {}},
      {"bin/all.bin", allByteValues(300000)},
      {"bin/odd.bin", patternBytes(8193, 3)},
      {"nested/also-empty.txt", {}},
      {"nested/deeper/deepest/leaf.txt", {'l', 'e', 'a', 'f'}},
      {"Gr\xC3\xBC\xC3\x9F" "e.txt", {0x00, 0xFF, 0x00}},
  };
  fs::create_directories(iRoot + "/empty-dir");
  fs::create_directories(iRoot + "/nested/deeper/empty-dir");
  std::vector<std::string> names;
  for (const auto& [name, bytes] : files) {
    fs::create_directories(fs::path(iRoot + "/" + name).parent_path());
    writeFile(iRoot + "/" + name, bytes);
    names.push_back(name);
  }
  return names;
}

bool sameTree(const std::string& iLeft, const std::string& iRight, std::string& iWhy) {
  std::map<std::string, bool> left;  // relative path -> is a directory
  std::map<std::string, bool> right;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(iLeft, error)) {
    left[fs::relative(entry.path(), iLeft).string()] = entry.is_directory();
  }
  for (const auto& entry : fs::recursive_directory_iterator(iRight, error)) {
    right[fs::relative(entry.path(), iRight).string()] = entry.is_directory();
  }
  if (error) {
    iWhy = error.message();
    return false;
  }
  for (const auto& [name, isDir] : left) {
    const auto found = right.find(name);
    if (found == right.end()) {
      iWhy = name + " is missing from " + iRight;
      return false;
    }
    if (found->second != isDir) {
      iWhy = name + " is a directory on one side only";
      return false;
    }
    if (!isDir && readFile(iLeft + "/" + name) != readFile(iRight + "/" + name)) {
      iWhy = name + " differs";
      return false;
    }
  }
  if (left.size() != right.size()) {
    iWhy = iRight + " holds more than " + iLeft;
    return false;
  }
  return true;
}

PClientHost::PClientHost() {
  fs::create_directories(secret());
  useDefaultConfig();
}

// ---------------------------------------------------------------- PZevofa

PZevofa::PZevofa(const std::vector<std::string>& iArgs, const PZevofaSetup& iSetup) {
  // A child that stops reading its input must not end the test.
  ::signal(SIGPIPE, SIG_IGN);
  int in[2];
  int out[2];
  int err[2] = {-1, iSetup.fStderrFd};
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
  if (iSetup.fStderrFd < 0 && pipe2(err, O_CLOEXEC) != 0) return;
  std::vector<std::string> args = {ZEVOFA};
  args.insert(args.end(), iArgs.begin(), iArgs.end());
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "ZEVOFA_", 7) != 0) environment.push_back(*entry);
  }
  environment.insert(environment.end(), iSetup.fEnvironment.begin(), iSetup.fEnvironment.end());
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  fPid = spawnProgram(args, {in[0], out[1], err[1]}, envp.data(), iSetup.fCwd);
  ::close(in[0]);
  ::close(out[1]);
  if (err[0] >= 0) ::close(err[1]);
  fIn = in[1];
  fOutReader = std::thread(collectOutput, out[0], std::ref(fOut));
  if (err[0] >= 0) fErrReader = std::thread(collectOutput, err[0], std::ref(fErr));
}

PZevofa::~PZevofa() {
  if (fPid > 0) wait(std::chrono::milliseconds(5000));
  closeInput();
  if (fOutReader.joinable()) fOutReader.join();
  if (fErrReader.joinable()) fErrReader.join();
}

bool PZevofa::write(const std::vector<unsigned char>& iBytes) {
  size_t done = 0;
  while (done < iBytes.size()) {
    pollfd waiting{fIn, POLLOUT, 0};
    if (::poll(&waiting, 1, 10000) <= 0) return false;
    const ssize_t written = ::write(fIn, iBytes.data() + done, iBytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

void PZevofa::closeInput() {
  if (fIn >= 0) ::close(fIn);
  fIn = -1;
}

void PZevofa::signal(int iSignal) {
  if (fPid > 0) ::kill(fPid, iSignal);
}

std::string PZevofa::output() { return fOut.text(); }

PRun PZevofa::wait(std::chrono::milliseconds iTimeout) {
  PRun run;
  closeInput();
  if (fPid > 0) run.fExit = waitExit(fPid, iTimeout);
  fPid = -1;
  if (fOutReader.joinable()) fOutReader.join();
  if (fErrReader.joinable()) fErrReader.join();
  run.fOut = fOut.text();
  run.fErr = fErr.text();
  return run;
}

PRun runZevofa(const std::vector<std::string>& iArgs, const std::string& iInput, const PZevofaSetup& iSetup) {
  PZevofa zevofa(iArgs, iSetup);
  if (!iInput.empty()) zevofa.write(std::vector<unsigned char>(iInput.begin(), iInput.end()));
  return zevofa.wait();
}

// ----------------------------------------------------------- PSilentServer

PSilentServer::PSilentServer() : fPath(fDir / "silent.sock") {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, fPath.c_str(), sizeof address.sun_path - 1);
  fFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::bind(fFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fFd, 16) != 0) {
    ::close(fFd);
    fFd = -1;
  }
}

PSilentServer::~PSilentServer() {
  if (fFd >= 0) ::close(fFd);
}
