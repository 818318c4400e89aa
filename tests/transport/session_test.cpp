// The session layer over every transport the host serves: the same cases
// through a Unix socket, plain TCP and TLS. Real sockets and workers, an
// echoing module behind them.
#include <sys/socket.h>

#include <thread>

#include "PCommsHarness.h"
#include "PPayload.h"
#include "zevo/protocol/PFileAccessProtocol.h"

namespace {

class Session : public PCommsTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    if (!broker()) return;
    if (!PBroker::available()) GTEST_SKIP() << "no mosquitto to run";
    fBroker = std::make_unique<PBroker>();
    ASSERT_TRUE(fBroker->started()) << fBroker->log();
  }
  const std::string& where() { return at(GetParam()); }
  bool tls() const { return std::string(GetParam()) == "tls"; }
  bool broker() const { return std::string(GetParam()) == "mqtt"; }
};

INSTANTIATE_TEST_SUITE_P(Transports, Session, ::testing::Values("unix", "tcp", "tls", "mqtt"),
                         [](const ::testing::TestParamInfo<const char*>& iInfo) { return std::string(iInfo.param); });

TEST_P(Session, PipelinedRequestsOfManyPeersComeBackInOrder) {
  start();
  std::vector<std::thread> peers;
  for (int p = 0; p < 4; ++p) {
    peers.emplace_back([&, p] {
      PWireClient client(where());
      // 300 KB of requests each, more than a session takes in at once.
      const auto payload = [](uint32_t i) { return Bytes(i % 50 * 40, static_cast<unsigned char>(i)); };
      for (uint32_t i = 0; i < 300; ++i) ASSERT_TRUE(client.send(1000 + i, 3000 + p, payload(i)));
      for (uint32_t i = 0; i < 300; ++i) {
        PWireFrame reply;
        ASSERT_TRUE(client.receive(reply));
        EXPECT_EQ(std::make_tuple(FRAME_REPLY, 1000 + i, 3000 + p, std::string(kFileAccessModule), payload(i)),
                  std::make_tuple(reply.fKind, reply.fExchange, static_cast<uint32_t>(reply.fWord), reply.fModule, reply.fPayload));
      }
    });
  }
  for (std::thread& peer : peers) peer.join();
  PCommsMessage outside;
  EXPECT_EQ(ERR_COMMS_NO_EXCHANGE, fComms->send(1, outside)) << "no request waits for it";
}

TEST_P(Session, BadFramesGetATransportErrorAfterTheRepliesBeforeThem) {
  start(PCommsSettings{4096});
  PString other(L"other.topic");
  ASSERT_EQ(0, fComms->bind(PLiteral(L"com.example.silent"), other));  // bound, nobody listens
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
    // A TLS peer cannot end its half of the stream without ending TLS; a
    // peer gone mid-frame is the case below.
    if (last && tls()) continue;
    PWireClient bad(where());
    Bytes both = frame(FRAME_REQUEST, 77, kIsExists, kFileAccessModule);
    both.insert(both.end(), bytes.begin(), bytes.end());
    ASSERT_TRUE(bad.sendRaw(both));  // a good request first: its reply still comes
    if (last) bad.endSending();
    PWireFrame reply, error;
    ASSERT_TRUE(bad.receive(reply) && bad.receive(error));
    EXPECT_EQ(77u, reply.fExchange);
    EXPECT_EQ(std::make_tuple(FRAME_ERROR, code, exchange, std::string()),
              std::make_tuple(error.fKind, error.fWord, error.fExchange, error.fModule));
    EXPECT_FALSE(error.fPayload.empty()) << "a text says what was wrong";
    EXPECT_TRUE(bad.closedByPeer());
  }
  PWireClient client(where());
  ASSERT_TRUE(client.sendRaw(frame(FRAME_REQUEST, 4, kIsExists, "com.example.silent")));
  PWireFrame reply;
  ASSERT_TRUE(client.receive(reply));
  EXPECT_EQ(std::make_tuple(FRAME_REPLY, ERR_NO_INSTANCE, std::string()), std::make_tuple(reply.fKind, reply.fWord, reply.fModule))
      << "bound, nobody listening";
  EXPECT_EQ(static_cast<int>(kIsExists), client.call(kIsExists, {}).fWord) << "every other peer is still served";
}

TEST_P(Session, APeerGoneMidFrameIsReleasedAndItsFrameNeverServed) {
  start();
  {
    PWireClient gone(where());
    const Bytes request = frame(FRAME_REQUEST, 1, kStartFileTransfer, kFileAccessModule, PPayload().str("/f").i32(1));
    ASSERT_TRUE(gone.sendRaw(Bytes(request.begin(), request.end() - 1)));
    ASSERT_TRUE(eventually([&] { return fComms->sessionCount() == 1; }));
  }
  EXPECT_TRUE(eventually([&] { return fComms->connectionCount() == 0; }));
  EXPECT_EQ(100, fModule.fNextID) << "the part of a frame never reached the module";
}

TEST_P(Session, APeerThatNeverReadsIsSlowedAndOthersAreServed) {
  // A broker takes a requester's messages whether or not it reads its replies.
  if (broker()) GTEST_SKIP() << "nothing to slow: the broker holds what the requester does not read";
  start(PCommsSettings{kDefaultFrameMax, 64, 64 * 1024});
  PWireClient slow(where()), other(where());
  const Bytes request = frame(FRAME_REQUEST, 1, kIsExists, kFileAccessModule, Bytes(8000, 'x'));  // an 8 KB reply each
  size_t sent = 0, sentBefore = 0;  // sentBefore: 1.5 s in; the kernel's buffers (large for TCP) filled by then
  const auto begun = std::chrono::steady_clock::now();
  for (const auto until = begun + std::chrono::seconds(2); std::chrono::steady_clock::now() < until;) {
    if (std::chrono::steady_clock::now() - begun < std::chrono::milliseconds(1500)) sentBefore = sent;
    const size_t taken = sent % request.size();
    const size_t put = slow.offer(Bytes(request.begin() + static_cast<long>(taken), request.end()));
    sent += put;
    if (put == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(static_cast<int>(kIsExists), other.call(kIsExists, {}).fWord);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1)) << "others are served meanwhile";
  }
  EXPECT_LT(sent - sentBefore, 64u * 1024) << "the slow peer was stopped, not read without end";
  PWireFrame reply;
  for (size_t answered = 0; answered < sent / request.size(); ++answered) {  // every reply whole, once it reads
    ASSERT_TRUE(slow.receive(reply)) << answered;
    ASSERT_EQ(8000u, reply.fPayload.size());
  }
}

TEST_P(Session, PeersThatNeverReadTheirListingsStayWithinTheMemoryBudget) {
  if (broker()) GTEST_SKIP() << "the broker holds what the requester does not read";
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
    hogs.push_back(std::make_unique<PWireClient>(where()));
    hogs.back()->sendRaw(listings);
  }
  PWireClient reader(where());
  EXPECT_TRUE(eventually([&] { return fComms->heldBytes() >= settings.fMemoryMax; }));
  EXPECT_EQ(static_cast<int>(kIsExists), reader.call(kIsExists, {}).fWord) << "queries are served meanwhile";
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the hogs' turns
  EXPECT_LE(fComms->heldBytes(), settings.fMemoryMax + 2 * (PEchoModule::kListing + 64 * 1024))
      << "past the budget, a listing only for each worker that checked before the other's landed";
  hogs.clear();
  EXPECT_TRUE(eventually([&] { return fComms->heldBytes() < settings.fMemoryMax / 2; })) << "given back as they go";
  EXPECT_EQ(static_cast<int>(kListDir), reader.call(kListDir, {}).fWord);
}

TEST_P(Session, RepliesFromAFileArriveWholeAndInOrder) {
  start();
  const Bytes content = patternBytes(1 << 20, 7);
  fModule.fFile = fDir / "file";
  writeFile(fModule.fFile, content);
  const auto slice = [&](size_t iFrom, size_t iCount) { return Bytes(content.begin() + iFrom, content.begin() + iFrom + iCount); };
  // exchange, action, payload, the reply's payload
  const std::tuple<uint32_t, uint32_t, Bytes, Bytes> exchanges[] = {
      {1, kIsExists, Bytes(10, 'a'), Bytes(10, 'a')},
      {2, PEchoModule::kFileReply, PPayload().i64(100).i32(200000).flag(false), PPayload().bytes(slice(100, 200000))},
      {3, kIsExists, Bytes(3, 'b'), Bytes(3, 'b')},
      {4, PEchoModule::kFileReply, PPayload().i64((1 << 20) - 150000).i32(150000).flag(false), PPayload().bytes(slice((1 << 20) - 150000, 150000))},
      {5, PEchoModule::kFileReply, PPayload().i64(0).i32(70000).flag(false), PPayload().bytes(slice(0, 70000))},
  };
  PWireClient client(where());
  Bytes requests;
  for (const auto& [exchange, action, payload, expected] : exchanges) {
    const Bytes one = frame(FRAME_REQUEST, exchange, action, kFileAccessModule, payload);
    requests.insert(requests.end(), one.begin(), one.end());
  }
  ASSERT_TRUE(client.sendRaw(requests));
  for (const auto& [exchange, action, payload, expected] : exchanges) {
    PWireFrame reply;
    ASSERT_TRUE(client.receive(reply));
    EXPECT_EQ(std::make_tuple(FRAME_REPLY, exchange, action), std::make_tuple(reply.fKind, reply.fExchange, static_cast<uint32_t>(reply.fWord)));
    EXPECT_TRUE(reply.fPayload == expected) << "exchange " << exchange;
  }
}

// Peers that leave while replies from a file are on their way end only their
// own connections: the host's process takes no SIGPIPE (this one does not
// ignore it) and goes on serving.
TEST_P(Session, APeerGoneWhileAFileIsSentEndsOnlyItsConnection) {
  start();
  fModule.fFile = fDir / "file";
  writeFile(fModule.fFile, patternBytes(900000, 5));
  Bytes requests;
  for (uint32_t exchange = 1; exchange <= 8; ++exchange) {
    const Bytes one = frame(FRAME_REQUEST, exchange, PEchoModule::kFileReply, kFileAccessModule, PPayload().i64(0).i32(900000).flag(false));
    requests.insert(requests.end(), one.begin(), one.end());
  }
  for (int peer = 0; peer < 4; ++peer) {
    PWireClient gone(where());
    ASSERT_TRUE(gone.sendRaw(requests));
    PWireFrame first;
    ASSERT_TRUE(gone.receive(first)) << "the replies are under way";
    gone.close();
  }
  EXPECT_EQ(static_cast<int>(kIsExists), PWireClient(where()).call(kIsExists, {}).fWord) << "the host goes on";
}

TEST_P(Session, AFileThatEndsBeforeItsBytesAreSentEndsTheConnection) {
  start();
  fModule.fFile = fDir / "file";
  writeFile(fModule.fFile, patternBytes(300000));
  PWireClient cut(where());
  ASSERT_TRUE(cut.send(1, PEchoModule::kFileReply, PPayload().i64(0).i32(300000).flag(true)));
  PWireFrame reply;
  if (tls() || broker()) {
    // Read as the reply was made: whole, and the file emptied only after.
    ASSERT_TRUE(cut.receive(reply));
    EXPECT_TRUE(Bytes(PPayload().bytes(patternBytes(300000))) == reply.fPayload);
  } else {
    EXPECT_FALSE(cut.receive(reply)) << "a frame that cannot be finished never arrives";
    EXPECT_TRUE(cut.closedByPeer());
  }
  EXPECT_EQ(static_cast<int>(kIsExists), PWireClient(where()).call(kIsExists, {}).fWord) << "the others are served";
}

TEST_P(Session, IdlePeersAndHalfFramesAreDropped) {
  PCommsSettings settings;
  settings.fFrameTimeoutMs = 300;
  settings.fIdleTimeoutMs = 600;
  start(settings);
  PWireClient idle(where()), half(where()), busy(where());
  EXPECT_EQ(static_cast<int>(kIsExists), idle.call(kIsExists, {}).fWord);
  const Bytes request = frame(FRAME_REQUEST, 1, kIsExists, kFileAccessModule, Bytes(100, 'x'));
  half.sendRaw(Bytes(request.begin(), request.begin() + 40));
  const auto begun = std::chrono::steady_clock::now();
  for (PWireClient* peer : {&half, &idle}) {
    PWireFrame error;
    while (std::chrono::steady_clock::now() - begun < std::chrono::milliseconds(400)) {  // a peer that asks stays
      EXPECT_EQ(static_cast<int>(kIsExists), busy.call(kIsExists, {}).fWord);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(peer->receive(error));
    EXPECT_EQ(std::make_pair(FRAME_ERROR, ERR_COMMS_TIMEOUT), std::make_pair(error.fKind, error.fWord));
    EXPECT_TRUE(peer->closedByPeer());
  }
  EXPECT_EQ(static_cast<int>(kIsExists), busy.call(kIsExists, {}).fWord);
}

}  // namespace
