// Frames, the event dispatcher, and the socket transport in-process: real
// sockets and workers, a test module behind them.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <thread>

#include "PFakes.h"
#include "PPayload.h"
#include "PProcess.h"
#include "PRoles.h"
#include "PTransferOwnership.h"
#include "zevo/ICommsEvent.h"
#include "zevo/core/PComms.h"
#include "zevo/core/PEventDispatcher.h"
#include "zevo/core/PLogThrottle.h"
#include "zevo/protocol/PEndpoint.h"
#include "zevo/protocol/PFileAccessProtocol.h"

namespace {

// Answers every request with its action as the status and its payload; a
// StartFileTransfer opens transfer 100, 101...; closes are recorded.
class PEchoModule : public PCounted<IEventListener> {
 public:
  void notify(const PLiteral&, IBase* iEvent, int) override {
    ICommsEvent* event = static_cast<ICommsEvent*>(iEvent);
    const PCommsMessage& request = *event->getMessage();
    PCommsMessage reply = request;
    reply.fModuleID = kFileAccessModuleW;
    if (request.fUint32 == kStartFileTransfer) {
      reply.fUint32 = 0;
      reply.fData.clear();
      PDataWriter(reply.fData).writeInt32(fNextID++);
    } else if (request.fUint32 == kListDir) {
      reply.fData.assign(kListing, 'n');  // a long listing
    } else if (request.fUint32 == kCloseFileTransfer) {
      std::lock_guard<std::mutex> lock(fLock);
      fClosed.insert(payloadOf<int>(request.fData));
    }
    fComms->send(event->getResponseID(), reply);
  }
  std::set<int> closed() {
    std::lock_guard<std::mutex> lock(fLock);
    return fClosed;
  }

  static constexpr size_t kListing = 256 * 1024;
  IComms* fComms = nullptr;
  std::atomic<int> fNextID{100};

 private:
  std::mutex fLock;
  std::set<int> fClosed;
};

Bytes frame(uint8_t iKind, uint32_t iExchange, uint32_t iWord, const std::string& iModule, const Bytes& iPayload = {}) {
  Bytes bytes;
  PFrame::append(bytes, iKind, iExchange, iWord, iModule, iPayload.data(), iPayload.size());
  return bytes;
}

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
  void replied(const PSessionInfo&, const PCommsMessage&, const PCommsMessage&) override {}
  std::vector<PRelease> ended(const PSessionInfo&) override { return {}; }
  std::string last() {
    std::lock_guard<std::mutex> lock(fLock);
    return fLast;
  }

 private:
  std::mutex fLock;
  std::string fLast;
};

class Comms : public ::testing::Test {
 protected:
  // With iTls, TLS and plain TCP listeners too (tlsWhere, tcpWhere).
  // iTransfers: open transfers per session (0: no limit).
  void start(PCommsSettings iSettings = {}, bool iIsolate = true, const PTlsSettings* iTls = nullptr, int iTransfers = 0) {
    ASSERT_EQ(0, PEventDispatcher::create(2, dispatcher));
    ASSERT_EQ(0, PComms::create(dispatcher.get(), iSettings, comms));
    ASSERT_EQ(0, comms->watch(PLiteral(kFileAccessModuleW), std::make_shared<PTransferOwnership>(iIsolate, iTransfers, kReserve)));
    ASSERT_EQ(0, comms->watch(PLiteral(kFileAccessModuleW), who));
    module.fComms = comms.get();
    PString topic(L"test.topic");
    ASSERT_EQ(0, dispatcher->addListener(PLiteral(L"test.topic"), &module));
    ASSERT_EQ(0, comms->bind(PLiteral(kFileAccessModuleW), topic));
    std::string error;
    ASSERT_EQ(0, comms->listen("unix:" + dir / "s.sock", where, error)) << error;
    ASSERT_EQ(0, comms->listen("tcp:127.0.0.1:0", tcpWhere, error)) << error;
    if (iTls != nullptr) {
      ASSERT_EQ(0, comms->setTls(*iTls, error)) << error;
      ASSERT_EQ(0, comms->listen("tls:127.0.0.1:0", tlsWhere, error)) << error;
    }
    ASSERT_EQ(0, dispatcher->start() + comms->start());
  }
  void TearDown() override {
    if (comms.isNull()) return;
    comms->stopAccepting();
    dispatcher->stop();
    comms->closeAll();
    dispatcher->removeAllListeners();
    comms = static_cast<PComms*>(nullptr);
    dispatcher = static_cast<PEventDispatcher*>(nullptr);
    EXPECT_EQ(0, module.refs());
    EXPECT_EQ(descriptors, descriptorCount());
  }

  static constexpr int kReserve = 32;
  int descriptors = descriptorCount();
  PTempDir dir;
  PEchoModule module;
  PBaseptr<PEventDispatcher> dispatcher;
  PBaseptr<PComms> comms;
  std::shared_ptr<PWhoWatcher> who = std::make_shared<PWhoWatcher>();
  std::string where, tlsWhere, tcpWhere;
};

}  // namespace

// Bad lengths: the transport errors below, and the fuzz target's invariants.
TEST(Frames, AFrameIsWrittenAndParsedFieldForField) {
  const Bytes payload = {0x86, 1, 0, 0, 0, 'x'};
  Bytes bytes = frame(FRAME_REQUEST, 0x01020304, kIsExists, "mod", payload);
  ASSERT_EQ((Bytes{20, 0, 0, 0, 1, 4, 3, 2, 1, 0xD2, 0x07, 0, 0, 3, 0, 'm', 'o', 'd', 0x86, 1, 0, 0, 0, 'x'}), bytes);
  PFrameView frame;
  size_t needed = 0;
  bytes.push_back(0xEE);  // the start of the next frame stays
  ASSERT_EQ(0, PFrame::parse(bytes.data(), bytes.size(), kDefaultFrameMax, frame, needed));
  EXPECT_EQ(std::make_tuple(FRAME_REQUEST, 0x01020304u, static_cast<uint32_t>(kIsExists), std::string("mod"), payload, bytes.size() - 1),
            std::make_tuple(frame.fKind, frame.fExchange, frame.fWord, std::string(frame.fModule, frame.fModuleLength),
                            Bytes(frame.fPayload, frame.fPayload + frame.fPayloadLength), frame.fSize));
}

TEST(Endpoints, OneParserForBothEnds) {
  PEndpoint endpoint;
  std::string error;
  for (const char* text : {"unix:/run/x.sock", "tcp:host:7070", "tcp:[::1]:0", "tcp:*:65535", "tcp::80"}) {
    EXPECT_EQ(0, PEndpoint::parse(text, endpoint, error)) << text;
    EXPECT_EQ(text, endpoint.text());
  }
  EXPECT_EQ("::1", (PEndpoint::parse("tcp:[::1]:9", endpoint, error), endpoint.fHost));
  for (const std::string& bad : std::vector<std::string>{"", "unix:", "unix:" + std::string(108, 'p'), std::string("unix:a\0b", 8), "tcp:",
                                                         "tcp:h", "tcp:h:65536", "tcp:h:-1", "tcp:h:8x", "udp:h:1", "/run/x.sock"}) {
    EXPECT_EQ(ERR_INVALID_ARG, PEndpoint::parse(bad, endpoint, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

TEST(LogThrottle, LetsABurstThroughThenItsRateAndCountsWhatItDrops) {
  PLogThrottle throttle(2, 3);  // 2 a second, 3 at once
  const auto start = PLogThrottle::Clock::now();
  unsigned long dropped = 99;
  int passed = 0;
  for (int i = 0; i < 10; ++i) passed += throttle.admit(dropped, start) ? 1 : 0;
  EXPECT_EQ(std::make_pair(3, 0ul), std::make_pair(passed, dropped));
  EXPECT_FALSE(throttle.admit(dropped, start + std::chrono::milliseconds(400))) << "0.8 of a line earned";
  EXPECT_TRUE(throttle.admit(dropped, start + std::chrono::milliseconds(600)));
  EXPECT_EQ(8ul, dropped);
  passed = 0;
  for (int i = 0; i < 10; ++i) passed += throttle.admit(dropped, start + std::chrono::seconds(60)) ? 1 : 0;
  EXPECT_EQ(3, passed) << "an idle minute earns no more than the burst";
}

TEST(EventDispatcher, HoldsEachListenerOnceUntilRemovedOrItEnds) {
  PEchoModule first, second;
  {
    PBaseptr<PEventDispatcher> dispatcher;
    ASSERT_EQ(0, PEventDispatcher::create(2, dispatcher));
    ASSERT_EQ(0, dispatcher->addListener(PLiteral(L"t"), &first) + dispatcher->addListener(PLiteral(L"u"), &second));
    EXPECT_EQ(ERR_ALREADY, dispatcher->addListener(PLiteral(L"t"), &first));
    EXPECT_EQ(ERR_INVALID_ARG, dispatcher->addListener(PLiteral(L"t"), nullptr));
    EXPECT_EQ(0, dispatcher->removeListener(PLiteral(L"t"), &first));
    EXPECT_EQ(ERR_NO_INSTANCE, dispatcher->removeListener(PLiteral(L"t"), &first));
    EXPECT_EQ(std::make_pair(0, 1), std::make_pair(first.refs(), second.refs()));
  }
  EXPECT_EQ(0, second.refs()) << "the dispatcher's end gives back what it held";
}

TEST_F(Comms, PipelinedRequestsOfManyPeersComeBackInOrder) {
  start();
  std::vector<std::thread> peers;
  for (int p = 0; p < 4; ++p) {
    peers.emplace_back([&, p] {
      PWireClient client(where);
      for (uint32_t i = 0; i < 300; ++i) ASSERT_TRUE(client.send(1000 + i, 3000 + p, Bytes(i % 50, static_cast<unsigned char>(i))));
      for (uint32_t i = 0; i < 300; ++i) {
        PWireFrame reply;
        ASSERT_TRUE(client.receive(reply));
        EXPECT_EQ(std::make_tuple(FRAME_REPLY, 1000 + i, 3000 + p, std::string(kFileAccessModule), Bytes(i % 50, static_cast<unsigned char>(i))),
                  std::make_tuple(reply.fKind, reply.fExchange, static_cast<uint32_t>(reply.fWord), reply.fModule, reply.fPayload));
      }
    });
  }
  for (std::thread& peer : peers) peer.join();
  PCommsMessage outside;
  EXPECT_EQ(ERR_COMMS_NO_EXCHANGE, comms->send(1, outside)) << "no request waits for it";
}

TEST_F(Comms, BadFramesGetATransportErrorAfterTheRepliesBeforeThem) {
  start(PCommsSettings{4096, 64, 256 * 1024});
  PString other(L"other.topic");
  ASSERT_EQ(0, comms->bind(PLiteral(L"com.example.silent"), other));  // bound, nobody listens
  Bytes truncated = frame(FRAME_REQUEST, 1, kIsExists, kFileAccessModule, Bytes(9, 1));
  truncated.resize(truncated.size() - 3);
  const std::tuple<Bytes, int, uint32_t, bool /* the peer sends nothing more after it */> cases[] = {
      {{10, 0, 0, 0, 1, 3, 0, 0, 0, 0, 0, 0, 0, 0}, ERR_COMMS_FRAME, 3, false},
      {{0x01, 0x10, 0x00, 0x00, 1, 4, 0, 0, 0}, ERR_COMMS_FRAME_SIZE, 4, false},
      {{11, 0, 0, 0, 1, 2, 0, 0, 0, 0xD2, 0x07, 0, 0, 5, 0}, ERR_COMMS_FRAME, 2, false},
      {frame(FRAME_REQUEST, 9, kIsExists, "com.example.nobody"), ERR_COMMS_NO_MODULE, 9, false},
      {frame(FRAME_REPLY, 8, 0, kFileAccessModule), ERR_COMMS_FRAME, 8, false},
      {frame(77, 6, 0, kFileAccessModule), ERR_COMMS_FRAME, 6, false},
      {frame(FRAME_REQUEST, 5, kIsExists, std::string("\xC3\x28", 2)), ERR_COMMS_FRAME, 5, false},
      {truncated, ERR_COMMS_FRAME, 1, true},
      {{40, 0, 0, 0, 1, 7, 0}, ERR_COMMS_FRAME, 0, true},
  };
  for (const auto& [bytes, code, exchange, last] : cases) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    PWireClient bad(where);
    Bytes both = frame(FRAME_REQUEST, 77, kIsExists, kFileAccessModule);
    both.insert(both.end(), bytes.begin(), bytes.end());
    ASSERT_TRUE(bad.sendRaw(both));  // a good request first: its reply still comes
    if (last) ::shutdown(bad.fd(), SHUT_WR);
    PWireFrame reply, error;
    ASSERT_TRUE(bad.receive(reply) && bad.receive(error));
    EXPECT_EQ(77u, reply.fExchange);
    EXPECT_EQ(std::make_tuple(FRAME_ERROR, code, exchange, std::string()),
              std::make_tuple(error.fKind, error.fWord, error.fExchange, error.fModule));
    EXPECT_FALSE(error.fPayload.empty()) << "a text says what was wrong";
    EXPECT_TRUE(bad.closedByPeer());
  }
  PWireClient client(where);
  ASSERT_TRUE(client.sendRaw(frame(FRAME_REQUEST, 4, kIsExists, "com.example.silent")));
  PWireFrame reply;
  ASSERT_TRUE(client.receive(reply));
  EXPECT_EQ(std::make_tuple(FRAME_REPLY, ERR_NO_INSTANCE, std::string()), std::make_tuple(reply.fKind, reply.fWord, reply.fModule))
      << "bound, nobody listening";
  EXPECT_EQ(static_cast<int>(kIsExists), client.call(kIsExists, {}).fWord) << "every other peer is still served";
}

TEST_F(Comms, ATransferServesOnlyItsSessionAndIsClosedWhenTheSessionEnds) {
  start();
  PWireClient other(where);
  {
    PWireClient peer(where);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, peer.call(kStartFileTransfer, {}).fWord);
    // Another session's requests for 100: answered as for an ID no transfer has.
    const PWireFrame chunk = other.call(kGetNextFileData, PPayload().i32(100).i32(10));
    EXPECT_EQ(std::make_tuple(ERR_FAILED, std::string(kFileAccessModule), Bytes{0x85, 0, 0, 0, 0}),
              std::make_tuple(chunk.fWord, chunk.fModule, chunk.fPayload));
    EXPECT_EQ(ERR_FAILED, other.call(kSetNextFileData, PPayload().i32(100)).fWord);
    EXPECT_EQ(0, other.call(kCloseFileTransfer, PPayload().i32(100)).fWord);
    EXPECT_EQ(static_cast<int>(kGetNextFileData), other.call(kGetNextFileData, PPayload().i32(100).i32(0)).fWord)
        << "what the module refuses before looking the ID up still reaches it";
    EXPECT_TRUE(module.closed().empty()) << "nothing for 100 reached the module";
    EXPECT_EQ(static_cast<int>(kGetNextFileData), peer.call(kGetNextFileData, PPayload().i32(100).i32(10)).fWord);
    peer.call(kCloseFileTransfer, PPayload().i32(101));
  }
  EXPECT_TRUE(eventually([&] { return module.closed().size() == 3; }));
  EXPECT_EQ((std::set<int>{100, 101, 102}), module.closed()) << "101 by the peer, 100 and 102 for it";
}

TEST_F(Comms, WithoutIsolationEverySessionReachesEveryTransfer) {
  start({}, false);
  PWireClient peer(where), other(where);
  EXPECT_EQ(0, peer.call(kStartFileTransfer, {}).fWord);
  EXPECT_EQ(static_cast<int>(kGetNextFileData), other.call(kGetNextFileData, PPayload().i32(100).i32(10)).fWord);
  EXPECT_EQ(static_cast<int>(kCloseFileTransfer), other.call(kCloseFileTransfer, PPayload().i32(100)).fWord);
  EXPECT_EQ(std::set<int>{100}, module.closed());
}

TEST_F(Comms, ConnectionsBeyondTheLimitAreRefusedWhileOthersAreServed) {
  start(PCommsSettings{kDefaultFrameMax, 2, 256 * 1024});
  PWireClient first(where), second(where), extra(where);
  PWireFrame error;
  ASSERT_TRUE(extra.receive(error));
  EXPECT_EQ(ERR_COMMS_BUSY, error.fWord);
  EXPECT_TRUE(extra.closedByPeer());
  for (PWireClient* peer : {&first, &second}) EXPECT_EQ(static_cast<int>(kIsExists), peer->call(kIsExists, {}).fWord);
  second.close();
  EXPECT_TRUE(eventually([&] { return comms->sessionCount() == 1; }));
  EXPECT_EQ(static_cast<int>(kIsExists), PWireClient(where).call(kIsExists, {}).fWord);
}

TEST_F(Comms, APeerThatNeverReadsIsSlowedAndOthersAreServed) {
  start(PCommsSettings{kDefaultFrameMax, 64, 64 * 1024});
  PWireClient slow(where), other(where);
  ::fcntl(slow.fd(), F_SETFL, O_NONBLOCK);
  const Bytes request = frame(FRAME_REQUEST, 1, kIsExists, kFileAccessModule, Bytes(8000, 'x'));  // an 8 KB reply each
  size_t sent = 0;
  for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2); std::chrono::steady_clock::now() < until;) {
    const ssize_t put = ::send(slow.fd(), request.data(), request.size(), MSG_NOSIGNAL);
    if (put > 0) sent += static_cast<size_t>(put);
    if (put <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(static_cast<int>(kIsExists), other.call(kIsExists, {}).fWord);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1)) << "others are served meanwhile";
  }
  EXPECT_LT(sent, 8u << 20) << "the slow peer was slowed, not read without end";
  ::fcntl(slow.fd(), F_SETFL, 0);
  PWireFrame reply;
  for (size_t answered = 0; answered < sent / request.size(); ++answered) {  // every reply whole, once it reads
    ASSERT_TRUE(slow.receive(reply)) << answered;
    ASSERT_EQ(8000u, reply.fPayload.size());
  }
}

TEST_F(Comms, IdlePeersAndHalfFramesAreDroppedAndOneIdentityCannotTakeEveryConnection) {
  PCommsSettings settings;
  settings.fConnectionMax = 4;
  settings.fPerIdentityMax = 2;
  settings.fFrameTimeoutMs = 300;
  settings.fIdleTimeoutMs = 600;
  start(settings);
  PWireClient holder(where), idle(where), half(tcpWhere);
  EXPECT_EQ(0, holder.call(kStartFileTransfer, {}).fWord);
  EXPECT_EQ(static_cast<int>(kIsExists), idle.call(kIsExists, {}).fWord);
  PWireClient third(where);
  PWireFrame error;
  ASSERT_TRUE(third.receive(error));
  EXPECT_EQ(ERR_COMMS_BUSY, error.fWord) << "a third peer of this uid";
  EXPECT_TRUE(third.closedByPeer());
  EXPECT_EQ(static_cast<int>(kIsExists), PWireClient(tcpWhere).call(kIsExists, {}).fWord) << "another identity is served";
  const Bytes request = frame(FRAME_REQUEST, 1, kIsExists, kFileAccessModule, Bytes(100, 'x'));
  half.sendRaw(Bytes(request.begin(), request.begin() + 40));
  for (PWireClient* peer : {&half, &idle}) {
    ASSERT_TRUE(peer->receive(error));
    EXPECT_EQ(ERR_COMMS_TIMEOUT, error.fWord);
    EXPECT_TRUE(peer->closedByPeer());
  }
  EXPECT_EQ(static_cast<int>(kIsExists), holder.call(kIsExists, {}).fWord) << "a session holding a transfer stays";
}

TEST_F(Comms, ATransferHogGetsTooManyFilesAtItsCapOrTheReserveWhileOthersAreServed) {
  start({}, true, nullptr, 3);
  PWireClient hog(where), other(where);
  const Bytes open = PPayload().str("/f").i32(1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(0, hog.call(kStartFileTransfer, open).fWord);
  const PWireFrame refused = hog.call(kStartFileTransfer, open);
  EXPECT_EQ(std::make_tuple(PERR_TOO_MANY_FILES, std::string(kFileAccessModule), static_cast<const Bytes&>(PPayload().i32(0))),
            std::make_tuple(refused.fWord, refused.fModule, refused.fPayload));
  EXPECT_EQ(0, other.call(kStartFileTransfer, open).fWord);
  // Descriptors all but taken: no transfer takes the reserve; queries go on.
  rlimit limit{};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &limit));
  rlimit low = limit;
  const int lowest = ::eventfd(0, EFD_CLOEXEC);  // the next descriptor the system hands out
  ::close(lowest);
  low.rlim_cur = static_cast<rlim_t>(lowest + kReserve);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &low));
  EXPECT_EQ(PERR_TOO_MANY_FILES, other.call(kStartFileTransfer, open).fWord);
  EXPECT_EQ(static_cast<int>(kIsExists), other.call(kIsExists, {}).fWord);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &limit));
  EXPECT_EQ(0, other.call(kStartFileTransfer, open).fWord);
}

TEST_F(Comms, PeersThatNeverReadTheirListingsStayWithinTheMemoryBudget) {
  PCommsSettings settings;
  settings.fMemoryMax = 1 << 20;
  start(settings);
  std::vector<std::unique_ptr<PWireClient>> hogs;
  Bytes listings;
  for (int i = 0; i < 20; ++i) {
    const Bytes one = frame(FRAME_REQUEST, 1, kListDir, kFileAccessModule, PPayload().str("/d"));
    listings.insert(listings.end(), one.begin(), one.end());
  }
  for (int i = 0; i < 8; ++i) {
    hogs.push_back(std::make_unique<PWireClient>(where));
    hogs.back()->sendRaw(listings);
  }
  PWireClient reader(where);
  EXPECT_TRUE(eventually([&] { return comms->heldBytes() >= settings.fMemoryMax; }));
  EXPECT_EQ(static_cast<int>(kIsExists), reader.call(kIsExists, {}).fWord) << "queries are served meanwhile";
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the hogs' turns
  EXPECT_LE(comms->heldBytes(), settings.fMemoryMax + 2 * (PEchoModule::kListing + 64 * 1024))
      << "past the budget, a listing only for each worker that checked before the other's landed";
  hogs.clear();
  EXPECT_TRUE(eventually([&] { return comms->heldBytes() < settings.fMemoryMax / 2; })) << "given back as they go";
  EXPECT_EQ(static_cast<int>(kListDir), reader.call(kListDir, {}).fWord);
}

TEST_F(Comms, RefusesBadBindingsAndEndpoints) {
  start();
  PString other(L"u"), empty, same(L"test.topic");
  EXPECT_EQ(0, comms->bind(PLiteral(kFileAccessModuleW), same)) << "the same binding again";
  EXPECT_EQ(ERR_ALREADY, comms->bind(PLiteral(kFileAccessModuleW), other));
  EXPECT_EQ(ERR_INVALID_ARG, comms->bind(PLiteral(L"m"), empty));
  EXPECT_EQ(ERR_COMMS_NO_MODULE, comms->unbind(PLiteral(L"m")));
  std::string at, error;
  writeText(dir / "file", "");
  for (const std::string& endpoint : {std::string("udp:1"), "unix:" + dir / "file", std::string("tcp:1.2.3.4"), where}) {
    EXPECT_NE(0, comms->listen(endpoint, at, error)) << endpoint;
  }
  ASSERT_EQ(0, comms->listen("tcp:127.0.0.1:0", at, error)) << error;
  EXPECT_EQ(0u, at.find("tcp:127.0.0.1:"));
  EXPECT_EQ(ERR_INVALID_ARG, comms->adopt(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), false, at, error))
      << "not listening; closed all the same";
}

TEST_F(Comms, TlsServesOnlyAllowedCertificatesOfItsCaAndEverySessionKnowsWhoItServes) {
  PCommsSettings settings;
  settings.fHandshakeTimeoutMs = 300;
  const PTlsSettings tls{certificate("server.pem"), certificate("server.key"), certificate("ca.pem"), {"client-a"}};
  start(settings, true, &tls);
  const std::string uid = std::to_string(::getuid()), port = ":[0-9]+ ";
  std::string groups = " " + std::to_string(::getgid());  // its primary group, then the supplementary ones
  std::vector<gid_t> supplementary(static_cast<size_t>(::getgroups(0, nullptr)));
  supplementary.resize(static_cast<size_t>(::getgroups(static_cast<int>(supplementary.size()), supplementary.data())));
  for (const gid_t group : supplementary) groups += " " + std::to_string(group);
  const std::pair<std::string, std::string> served[] = {
      {tlsWhere, "tls:127\\.0\\.0\\.1" + port + "cert:client-a sha256:[0-9a-f]{64} write \\[ \\]"},
      {where, "unix:[0-9]+:" + uid + " uid:" + uid + "  write \\[" + groups + " \\]"},
      {tcpWhere, "tcp:127\\.0\\.0\\.1" + port + "tcp:127\\.0\\.0\\.1  write \\[ \\]"}};
  for (const auto& [endpoint, peer] : served) {
    PWireClient client(endpoint);
    EXPECT_EQ(kIsExists, static_cast<uint32_t>(client.call(kIsExists, {}).fWord));
    EXPECT_TRUE(std::regex_match(who->last(), std::regex(peer))) << who->last();
  }
  // Refused at the handshake; every other peer is served on.
  for (const PTlsFiles& refused : {PTlsFiles{"ca", ""}, PTlsFiles{"ca", "stranger"}, PTlsFiles{"ca", "expired"},
                                   PTlsFiles{"ca", "clientb"}, PTlsFiles{"ca", "client", true}}) {
    PWireClient client;
    EXPECT_FALSE(client.connect(tlsWhere, refused)) << refused.fCert << refused.fOld;
    PWireClient good(tlsWhere);
    EXPECT_EQ(kIsExists, static_cast<uint32_t>(good.call(kIsExists, {}).fWord));
  }
  // Plain bytes on the TLS port are never served; a peer that never shakes
  // hands is let go.
  PWireClient plain("tcp:" + tlsWhere.substr(4)), silent("tcp:" + tlsWhere.substr(4)), good(tlsWhere);
  PWireFrame reply;
  EXPECT_TRUE(plain.send(1, kIsExists, {}));
  EXPECT_FALSE(plain.receive(reply));
  EXPECT_TRUE(silent.closedByPeer(milliseconds(5000)));
  EXPECT_EQ(kIsExists, static_cast<uint32_t>(good.call(kIsExists, {}).fWord));
}

TEST(Roles, APeerWritesWhenAWritePatternNamesItElseReadsWhenAReadOneDoesElseHasNone) {
  const auto parse = [](const std::vector<std::string>& iTexts) {
    std::vector<PRolePattern> patterns(iTexts.size());
    std::string error;
    for (size_t i = 0; i < iTexts.size(); ++i) EXPECT_TRUE(parseRolePattern(iTexts[i], patterns[i], error)) << error;
    return patterns;
  };
  const passwd* me = ::getpwuid(::geteuid());
  const group* mine = ::getgrgid(::getegid());
  ASSERT_TRUE(me != nullptr && mine != nullptr);
  const std::string uid = std::to_string(me->pw_uid), hex(64, 'a');
  PRoleMap roles(parse({"uid:0", std::string("user:") + me->pw_name, "gid:4242", "cert:backup", "sha256:" + std::string(62, 'A') + ":AA", "tcp:[::1]"}),
                 parse({std::string("group:") + mine->gr_name, "cert:maintenance", "tcp:127.0.0.1"}));
  const std::tuple<std::string, std::vector<gid_t>, std::string, int> cases[] = {
      {"uid:0", {0}, "", SESSION_ROLE_WRITE},
      {"uid:" + uid, {4243}, "", SESSION_ROLE_WRITE},
      {"uid:70000", {4242, 7}, "", SESSION_ROLE_WRITE},  // its primary group
      {"uid:70000", {7, 4242}, "", SESSION_ROLE_WRITE},  // a supplementary one
      {"uid:70000", {7, mine->gr_gid}, "", mine->gr_gid == 4242 ? SESSION_ROLE_WRITE : SESSION_ROLE_READ},
      {"uid:70000", {7}, "", SESSION_ROLE_NONE},
      {"cert:backup", {}, "sha256:" + std::string(64, '0'), SESSION_ROLE_WRITE},
      {"cert:other", {}, "sha256:" + hex, SESSION_ROLE_WRITE},  // by its fingerprint
      {"cert:maintenance", {}, "sha256:" + std::string(64, '0'), SESSION_ROLE_READ},
      {"cert:backup2", {}, "", SESSION_ROLE_NONE},
      {"tcp:::1", {}, "", SESSION_ROLE_WRITE},
      {"tcp:::ffff:127.0.0.1", {}, "", SESSION_ROLE_READ},
      {"tcp:127.0.0.2", {4242}, "", SESSION_ROLE_NONE},  // groups are a Unix peer's only
      {"", {}, "", SESSION_ROLE_NONE},
  };
  for (const auto& [identity, groups, fingerprint, role] : cases) {
    PSessionInfo session;
    session.fIdentity = identity;
    session.fGroups = groups;
    session.fFingerprint = fingerprint;
    int given = -1;
    EXPECT_EQ(0, roles.admit(session, given));
    EXPECT_EQ(role, given) << identity << " " << ::testing::PrintToString(groups);
  }
  PRoleMap anyone({}, parse({"*"}));
  int given = -1;
  EXPECT_EQ(0, anyone.admit(PSessionInfo(), given));
  EXPECT_EQ(SESSION_ROLE_READ, given);
  PRolePattern pattern;
  std::string error;
  for (const char* bad : {"", "frob:1", "uid:", "uid:x", "gid:99999999999", "user:no-such-user", "group:no-such-group", "cert:",
                          "sha256:abc", "tcp:host.example", "uid"}) {
    EXPECT_FALSE(parseRolePattern(bad, pattern, error)) << bad;
  }
}
