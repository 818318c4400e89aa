// What each transport proves of its peers: the Unix socket the user and
// groups the kernel tells, plain TCP the address, TLS the certificate (of the
// host's CA, on its allow-list). Real handshakes with the tests' certificates.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <regex>

#include "PCommsHarness.h"
#include "zevo/protocol/PFileAccessProtocol.h"

namespace {

// Remembers who sent the last request: peer, identity, fingerprint, role, groups.
class PWhoWatcher : public PSessionWatcher {
 public:
  bool answer(const PSessionInfo& iSession, const PCommsMessage&, PCommsMessage&) override {
    std::lock_guard<std::mutex> lock(fLock);
    fLast = iSession.fPeer + " " + iSession.fIdentity + " " + iSession.fFingerprint + " " + sessionRoleName(iSession.fRole) + " [";
    for (const gid_t group : iSession.fGroups) fLast += " " + std::to_string(group);
    fLast += " ]";
    return false;
  }
  void replied(const PSessionInfo&, const PCommsMessage&, const PCommsMessage&, size_t) override {}
  std::vector<PRelease> ended(const PSessionInfo&) override { return {}; }
  std::string last() {
    std::lock_guard<std::mutex> lock(fLock);
    return fLast;
  }

 private:
  std::mutex fLock;
  std::string fLast;
};

class Transports : public PCommsTest {
 protected:
  std::shared_ptr<PWhoWatcher> who = std::make_shared<PWhoWatcher>();
};

}  // namespace

TEST_F(Transports, TlsServesOnlyAllowedCertificatesOfItsCaAndEverySessionKnowsWhoItServes) {
  PCommsSettings settings;
  settings.fHandshakeTimeoutMs = 2000;  // a handshake under an emulator takes its time
  start(settings, [&](PComms& iComms) { iComms.watch(PLiteral(kFileAccessModuleW), who); }, testTls({"client-a"}));
  const std::string uid = std::to_string(::getuid()), port = ":[0-9]+ ";
  std::string groups = " " + std::to_string(::getgid());  // its primary group, then the supplementary ones
  std::vector<gid_t> supplementary(static_cast<size_t>(::getgroups(0, nullptr)));
  supplementary.resize(static_cast<size_t>(::getgroups(static_cast<int>(supplementary.size()), supplementary.data())));
  for (const gid_t group : supplementary) groups += " " + std::to_string(group);
  const std::pair<std::string, std::string> served[] = {
      {at("tls"), "tls:127\\.0\\.0\\.1" + port + "cert:client-a sha256:[0-9a-f]{64} write \\[ \\]"},
      {at("unix"), "unix:[0-9]+:" + uid + " uid:" + uid + "  write \\[" + groups + " \\]"},
      {at("tcp"), "tcp:127\\.0\\.0\\.1" + port + "tcp:127\\.0\\.0\\.1  write \\[ \\]"}};
  for (const auto& [endpoint, peer] : served) {
    PWireClient client(endpoint);
    EXPECT_EQ(kIsExists, static_cast<uint32_t>(client.call(kIsExists, {}).fWord));
    EXPECT_TRUE(std::regex_match(who->last(), std::regex(peer))) << who->last();
  }
  // Refused at the handshake; every other peer is served on.
  for (const PTlsFiles& refused : {PTlsFiles{"ca", ""}, PTlsFiles{"ca", "stranger"}, PTlsFiles{"ca", "expired"},
                                   PTlsFiles{"ca", "clientb"}, PTlsFiles{"ca", "client", true}}) {
    PWireClient client;
    EXPECT_FALSE(client.connect(at("tls"), refused)) << refused.fCert << refused.fOld;
    PWireClient good(at("tls"));
    EXPECT_EQ(kIsExists, static_cast<uint32_t>(good.call(kIsExists, {}).fWord));
  }
  // Plain bytes on the TLS port are never served; a peer that never shakes
  // hands is let go.
  PWireClient plain("tcp:" + at("tls").substr(4)), silent("tcp:" + at("tls").substr(4)), good(at("tls"));
  PWireFrame reply;
  EXPECT_TRUE(plain.send(1, kIsExists, {}));
  EXPECT_FALSE(plain.receive(reply));
  EXPECT_TRUE(silent.closedByPeer(milliseconds(5000)));
  EXPECT_EQ(kIsExists, static_cast<uint32_t>(good.call(kIsExists, {}).fWord));
}


// A socket systemd passes is served only when it is a listening stream
// socket of the transport's own family; anything else is refused, and its
// descriptor closed.
TEST_F(Transports, APassedSocketIsServedOnlyWhenItFitsItsTransport) {
  const auto tcpListening = [] {
    PFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd.get(), 4) != 0) fd.reset();
    return fd;
  };
  std::tuple<const char*, std::string, PFd> refused[] = {
      {"a datagram socket", "unix", PFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))},
      {"a stream socket that does not listen", "unix", PFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))},
      {"a TCP socket given as a Unix one", "unix", tcpListening()},
      {"a scheme nobody serves", "ftp", streamSocket(fDir / "ftp.sock", true)},
  };
  std::string passed;
  fBeforeStart = [&](PComms& ioComms) {
    const int held = descriptorCount();
    for (auto& [what, scheme, fd] : refused) {
      ASSERT_TRUE(fd.valid()) << what;
      std::string where, error;
      EXPECT_NE(0, ioComms.adopt(scheme, fd.release(), where, error)) << what;
      EXPECT_FALSE(error.empty()) << what;
    }
    EXPECT_EQ(held - 4, descriptorCount()) << "each refused descriptor is closed";
    std::string error;
    ASSERT_EQ(0, ioComms.adopt("unix", streamSocket(fDir / "passed.sock", true).release(), passed, error)) << error;
  };
  start();
  EXPECT_EQ(static_cast<int>(kIsExists), PWireClient(passed).call(kIsExists, {}).fWord) << passed;
}
