#include "PProcess.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <sstream>

#include "PMqttChannel.h"
#include "PTls.h"
#include "zevo/protocol/PEndpoint.h"
#include "zevo/protocol/PFileAccessProtocol.h"

extern char** environ;

PChild::PChild(std::vector<std::string> iArgs, const PSpawn& iSpawn) {
  ::signal(SIGPIPE, SIG_IGN);  // a child that stops reading must not end the test
  int input[2] = {-1, -1};
  if (pipe2(input, O_CLOEXEC) == 0) fIn.reset(input[1]);
  for (PFd& text : fText) text.reset(memfd_create("zevo-test-output", MFD_CLOEXEC));
  // The emulator of a cross build (ctest sets ZEVO_EMULATOR) comes first.
  std::istringstream emulator(std::getenv("ZEVO_EMULATOR") && !iSpawn.fNative ? std::getenv("ZEVO_EMULATOR") : "");
  iArgs.insert(iArgs.begin(), std::istream_iterator<std::string>(emulator), std::istream_iterator<std::string>());
  if (iSpawn.fListenFd >= 0) {  // LISTEN_PID names the program itself: a shell sets it, then execs
    iArgs.insert(iArgs.begin(), {"/bin/sh", "-c", "LISTEN_PID=$$ LISTEN_FDS=1 exec \"$@\"", "sh"});
  }
  if (iSpawn.fFileLimit > 0) {
    iArgs.insert(iArgs.begin(), {"/bin/sh", "-c", "ulimit -n " + std::to_string(iSpawn.fFileLimit) + " && exec \"$@\"", "sh"});
  }
  std::vector<char*> argv, envp;
  for (std::string& arg : iArgs) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = iSpawn.fEnvironment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string name = std::string(*entry).substr(0, std::string(*entry).find('=') + 1);
    const auto set = [&](const std::string& iSet) { return iSet.compare(0, name.size(), name) == 0; };
    if (std::none_of(iSpawn.fEnvironment.begin(), iSpawn.fEnvironment.end(), set)) environment.push_back(*entry);
  }
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fText[0].get(), 1);
  posix_spawn_file_actions_adddup2(&actions, fText[1].get(), 2);
  if (iSpawn.fListenFd >= 0) posix_spawn_file_actions_adddup2(&actions, iSpawn.fListenFd, 3);
  if (!iSpawn.fCwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, iSpawn.fCwd.c_str());
  if (posix_spawn(&fPid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) fPid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
}

bool PChild::write(const std::vector<unsigned char>& iBytes) {
  for (size_t done = 0; done < iBytes.size();) {
    pollfd waiting{fIn.get(), POLLOUT, 0};
    if (::poll(&waiting, 1, 10000) <= 0) return false;
    const ssize_t written = ::write(fIn.get(), iBytes.data() + done, iBytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

bool PChild::running() {
  int status = 0;
  if (fPid <= 0 || waitpid(fPid, &status, WNOHANG) != fPid) return fPid > 0;
  fStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  fPid = -1;
  return false;
}

int PChild::wait(milliseconds iTimeout) {
  fIn.reset();
  if (!eventually([&] { return !running(); }, static_cast<int>(iTimeout.count() / 1000)) && fPid > 0) {
    ::kill(fPid, SIGKILL);
    waitpid(fPid, nullptr, 0);
    fPid = -1;
    fStatus = -1;
  }
  return fStatus;
}

std::string PChild::text(int iWhich) {
  std::string text;
  char buffer[65536];
  for (ssize_t got; (got = ::pread(fText[iWhich].get(), buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;) {
    text.append(buffer, static_cast<size_t>(got));
  }
  return text;
}

PHostProcess::PHostProcess() {
  for (const char* dir : {"etc", "data", "drop"}) std::filesystem::create_directories(fDir / dir);
}

void PHostProcess::useDefaultConfig(const std::string& iExtraHostLines) {
  setConfig("zevohost", std::string("plugins = " ZEVO_FILEACCESS_PLUGIN) + (fFileOps ? ", " ZEVO_FILEOPS_PLUGIN : "") +
                            "\nlisten = unix:" + (fDir / "host.sock") +
                            "\n" + (iExtraHostLines.find("log.level") == std::string::npos ? "log.level = debug\n" : "") +
                            iExtraHostLines);
  setConfig("zevop.fileaccess", "fileaccess.read =\nfileaccess.write =\nfileaccess.read.recursive = " + data() +
                                    "\nfileaccess.write.recursive = " + data() + ", " + (fDir / "drop") + "\n");
}

bool PHostProcess::start(const std::vector<std::string>& iExtraArgs, const std::string& iCwd, int iListenFd) {
  if (!std::filesystem::exists(fDir / "etc/zevohost.conf")) useDefaultConfig();
  std::vector<std::string> args = {ZEVOHOST, "--config-dir", configDir()};
  args.insert(args.end(), iExtraArgs.begin(), iExtraArgs.end());
  fChild = std::make_unique<PChild>(args, PSpawn{{}, iCwd, iListenFd, fFileLimit});
  fEndpoints.clear();
  const std::string said = "zevohost: listening on ";
  // Every --listen given is said (one at least: the configuration's).
  const long listens = std::max<long>(1, std::count(iExtraArgs.begin(), iExtraArgs.end(), "--listen"));
  eventually([&] {
    const std::string text = fChild->err();
    long lines = 0;
    for (size_t at = text.find(said); at != std::string::npos; at = text.find(said, at + 1)) ++lines;
    return !fChild->running() || (lines >= listens && text.back() == '\n');
  }, 30);
  const std::string text = fChild->err();
  for (size_t at = text.find(said); at != std::string::npos; at = text.find(said, at + 1)) {
    fEndpoints.push_back(text.substr(at + said.size(), text.find('\n', at) - at - said.size()));
  }
  return !fEndpoints.empty() && fChild->running();
}

int PHostProcess::stop() {
  if (pid() <= 0) return -1;
  ::kill(pid(), SIGTERM);
  return fChild->wait();
}

PFd streamSocket(const std::string& iPath, bool iListening) {
  PFd fd(::socket(iPath.empty() ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un un{};
  sockaddr_in in{};
  un.sun_family = AF_UNIX;
  iPath.copy(un.sun_path, sizeof un.sun_path - 1);
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool bound = iPath.empty() ? ::bind(fd.get(), reinterpret_cast<sockaddr*>(&in), sizeof in) == 0
                                   : ::bind(fd.get(), reinterpret_cast<sockaddr*>(&un), sizeof un) == 0;
  EXPECT_TRUE(bound && (!iListening || ::listen(fd.get(), 8) == 0));
  return fd;
}

bool PWireClient::connect(const std::string& iEndpoint, const PTlsFiles& iTls) {
  close();
  PEndpoint endpoint;
  std::string why;
  int fd = -1;
  if (PEndpoint::parse(iEndpoint, endpoint, why) != 0) return false;
  if (endpoint.is("mqtt")) {
    PMqttRequester requester;
    requester.fDevice = endpoint.fPath;
    requester.fName = "tester";
    std::unique_ptr<PMqttChannel> channel;
    EXPECT_EQ(0, PMqttChannel::open(endpoint, requester, 10000, nullptr, channel, fFd, why)) << why;
    fChannel = std::move(channel);
    return fChannel != nullptr;
  }
  if (endpoint.connect(10000, fd, why) != 0) return false;
  fFd.reset(fd);
  if (!endpoint.is("tls")) {
    fChannel = std::make_unique<PSocketChannel>(fFd.get());
    return true;
  }
  const std::string cert = iTls.fCert.empty() ? "" : certificate(iTls.fCert + ".pem");
  const std::string key = iTls.fCert.empty() ? "" : certificate(iTls.fCert + ".key");
  PSslContext context = PTls::newContext(false, cert, key, certificate(iTls.fCa + ".pem"), why);
  EXPECT_TRUE(context) << why;
  if (context && iTls.fOld) {
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context.get(), TLS1_2_VERSION);
  }
  std::unique_ptr<PTlsChannel> tls = context ? PTlsChannel::open(context.get(), fFd.get(), false, endpoint.fHost, why) : nullptr;
  fChannel = std::move(tls);
  for (int result = 0; fChannel && (result = fChannel->handshake()) != 1;) {
    if (result == PByteChannel::kFailed || !await(false, milliseconds(10000))) fChannel.reset();
  }
  return fChannel != nullptr;
}

bool PWireClient::await(bool iWrite, milliseconds iTimeout) {
  const bool readable = (iWrite ? fChannel->writeWait() : fChannel->readWait()) == PByteChannel::kReadable;
  pollfd waiting{fFd.get(), static_cast<short>(readable ? POLLIN : POLLOUT), 0};
  return ::poll(&waiting, 1, static_cast<int>(std::max<long long>(iTimeout.count(), 0))) > 0;
}

void PWireClient::close() {
  fChannel.reset();
  fFd.reset();
}

bool PWireClient::sendRaw(const std::vector<unsigned char>& iBytes) {
  for (size_t done = 0; fChannel && done < iBytes.size();) {
    const ssize_t sent = fChannel->write(iBytes.data() + done, iBytes.size() - done);
    if (sent == PByteChannel::kFailed || (sent == PByteChannel::kWouldBlock && !await(true, milliseconds(10000)))) return false;
    if (sent > 0) done += static_cast<size_t>(sent);
  }
  return fChannel != nullptr;
}

size_t PWireClient::offer(const std::vector<unsigned char>& iBytes) {
  const ssize_t sent = fChannel ? fChannel->write(iBytes.data(), iBytes.size()) : PByteChannel::kFailed;
  return sent > 0 ? static_cast<size_t>(sent) : 0;
}

bool PWireClient::send(uint32_t iExchange, uint32_t iAction, const std::vector<unsigned char>& iPayload) {
  std::vector<unsigned char> frame;
  PFrame::append(frame, FRAME_REQUEST, iExchange, iAction, kFileAccessModule, iPayload.data(), iPayload.size());
  return sendRaw(frame);
}

bool PWireClient::receive(PWireFrame& oFrame, milliseconds iTimeout) {
  const auto deadline = std::chrono::steady_clock::now() + iTimeout;
  std::vector<unsigned char> in;
  PFrameView view;
  size_t needed = kFrameHeader;
  while (fChannel) {
    if (fChannel->holdsOutput()) fChannel->flush();  // what offer() left in the channel goes on meanwhile
    const int parsed = PFrame::parse(in.data(), in.size(), 0xFFFFFFFFu, view, needed);
    if (parsed == 0) break;
    if (parsed != 1) return false;
    const size_t have = in.size();
    in.resize(needed);
    const ssize_t got = fChannel->read(in.data() + have, needed - have);
    in.resize(have + static_cast<size_t>(std::max<ssize_t>(got, 0)));
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (got == 0 || got == PByteChannel::kFailed || (got == PByteChannel::kWouldBlock && !await(false, left))) return false;
  }
  if (!fChannel) return false;
  oFrame.fKind = view.fKind;
  oFrame.fExchange = view.fExchange;
  oFrame.fWord = static_cast<int32_t>(view.fWord);
  oFrame.fModule.assign(view.fModule, view.fModuleLength);
  oFrame.fPayload.assign(view.fPayload, view.fPayload + view.fPayloadLength);
  return true;
}

PWireFrame PWireClient::call(uint32_t iAction, const std::vector<unsigned char>& iPayload) {
  const uint32_t exchange = fNextExchange++;
  PWireFrame reply;
  EXPECT_TRUE(send(exchange, iAction, iPayload));
  EXPECT_TRUE(receive(reply)) << "no reply to action " << iAction;
  EXPECT_EQ(FRAME_REPLY, reply.fKind);
  EXPECT_EQ(exchange, reply.fExchange);
  return reply;
}

void PWireClient::endSending() {
  if (auto* broker = dynamic_cast<PMqttChannel*>(fChannel.get())) return broker->endRequests();
  ::shutdown(fFd.get(), SHUT_WR);
}

bool PWireClient::closedByPeer(milliseconds iTimeout) {
  unsigned char byte;
  for (int round = 0; fChannel && round < 2; ++round) {  // what a reset or the end says comes after the wait
    const ssize_t got = fChannel->read(&byte, 1);
    if (got == 0 || got == PByteChannel::kFailed) return true;
    if (got > 0 || !await(false, iTimeout)) return false;
  }
  return false;
}
