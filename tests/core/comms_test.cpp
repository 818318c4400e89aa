// The session layer's parts in this process: frames, endpoints, the log
// throttle, the event dispatcher, bindings, and the limits a comms component
// keeps (handshakes, places per identity and transport, reserves, memory),
// each shown by the attack it stops. Real sockets and workers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "PCommsHarness.h"
#include "PPayload.h"
#include "zevo/core/PLogThrottle.h"
#include "zevo/core/PSession.h"
#include "zevo/protocol/PEndpoint.h"
#include "zevo/protocol/PFileAccessProtocol.h"

namespace {

Bytes frame(uint8_t iKind, uint32_t iExchange, uint32_t iWord, const std::string& iModule, const Bytes& iPayload = {}) {
  return frameOf(iKind, iExchange, iWord, iModule, iPayload);
}

// Unix peers write, plain TCP peers read, TLS peers write.
class PTestGate : public PSessionGate {
 public:
  int admit(const PSessionInfo& iSession, int& oRole) override {
    oRole = iSession.fIdentity.compare(0, 4, "tcp:") == 0 ? SESSION_ROLE_READ : SESSION_ROLE_WRITE;
    return 0;
  }
};

// A TCP connection from iSource to the local iPort that says nothing.
PFd silentFrom(const std::string& iSource, int iPort) {
  PFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, iSource.c_str(), &address.sin_addr);
  EXPECT_EQ(0, ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address));
  address.sin_port = htons(static_cast<uint16_t>(iPort));
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  EXPECT_EQ(0, ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address));
  return fd;
}

// The host closed iFd within iMs.
bool closedWithin(const PFd& iFd, int iMs) {
  pollfd waiting{iFd.get(), POLLIN, 0};
  unsigned char byte;
  return ::poll(&waiting, 1, iMs) == 1 && ::recv(iFd.get(), &byte, 1, MSG_DONTWAIT) <= 0;
}

int portOf(const std::string& iWhere) { return std::stoi(iWhere.substr(iWhere.rfind(':') + 1)); }

// The transport error a refused or yielding peer gets before it is closed.
int refusal(PWireClient& iPeer) {
  PWireFrame error;
  if (!iPeer.receive(error) || error.fKind != FRAME_ERROR) return 0;
  EXPECT_TRUE(iPeer.closedByPeer());
  return error.fWord;
}

class Limits : public PCommsTest {};

class PNoLink : public PTransportLink {
 public:
  void interrupt(bool) override {}
  void shutdownNow() override {}
};

}  // namespace

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
  for (const char* text : {"unix:/run/x.sock", "tcp:host:7070", "tcp:[::1]:0", "tcp:*:65535", "tcp::80", "tls:h:1",
                           "mqtt://broker:1883/dev-1", "mqtts://[::1]:8883"}) {
    EXPECT_EQ(0, PEndpoint::parse(text, endpoint, error)) << text;
    EXPECT_EQ(text, endpoint.text());
  }
  EXPECT_EQ(std::make_tuple(std::string("mqtt"), std::string("b"), 1883, std::string("d/e")),
            (PEndpoint::parse("mqtt://b/d/e", endpoint, error),
             std::make_tuple(endpoint.fScheme, endpoint.fHost, endpoint.fPort, endpoint.fPath)))
      << "a broker's port has a default";
  EXPECT_EQ("::1", (PEndpoint::parse("tcp:[::1]:9", endpoint, error), endpoint.fHost));
  for (const std::string& bad : std::vector<std::string>{"", "unix:", "unix:" + std::string(108, 'p'), std::string("unix:a\0b", 8), "tcp:",
                                                         "tcp:h", "tcp:h:65536", "tcp:h:-1", "tcp:h:8x", "udp:h:1", "/run/x.sock",
                                                         "mqtt:b:1", "mqtt://", "mqtt://:1", "mqtt://b:x/d"}) {
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
    for (const int workers : {0, 257}) EXPECT_EQ(ERR_INVALID_ARG, PEventDispatcher::create(workers, dispatcher)) << workers;
    ASSERT_EQ(0, PEventDispatcher::create(256, dispatcher)) << "as many workers as a host may have";
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

TEST_F(Limits, BindingsAndEndpointsThatCannotServeAreRefused) {
  start();
  PString other(L"u"), empty, same(L"test.topic");
  EXPECT_EQ(0, fComms->bind(PLiteral(kFileAccessModuleW), same)) << "the same binding again";
  EXPECT_EQ(ERR_ALREADY, fComms->bind(PLiteral(kFileAccessModuleW), other));
  EXPECT_EQ(ERR_INVALID_ARG, fComms->bind(PLiteral(L"m"), empty));
  EXPECT_EQ(ERR_COMMS_NO_MODULE, fComms->unbind(PLiteral(L"m")));
  std::string where, error;
  writeText(fDir / "file", "");
  for (const std::string& endpoint : {std::string("udp:1"), "unix:" + fDir / "file", std::string("tcp:1.2.3.4"), at("unix"),
                                      std::string("mqtt://127.0.0.1")}) {
    EXPECT_NE(0, fComms->listen(endpoint, where, error)) << endpoint;
  }
  ASSERT_EQ(0, fComms->listen("tcp:127.0.0.1:0", where, error)) << error;
  EXPECT_EQ(0u, where.find("tcp:127.0.0.1:"));
  EXPECT_EQ(ERR_INVALID_ARG, fComms->adopt("unix", ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), where, error))
      << "not listening; closed all the same";
  EXPECT_EQ(ERR_INVALID_ARG, fComms->adopt("tcp", ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), where, error))
      << "not the transport's family";
}

TEST_F(Limits, HandshakesHaveABudgetOfTheirOwnAndNeverTakeASessionsPlace) {
  PCommsSettings settings;
  settings.fConnectionMax = 4;
  settings.fWriteReserve = settings.fLocalReserve = 0;
  settings.fHandshakeMax = 3;
  settings.fHandshakePerAddress = 2;
  start(settings);
  const int port = portOf(at("tls"));
  PFd first = silentFrom("127.0.0.1", port), second = silentFrom("127.0.0.1", port);
  ASSERT_TRUE(eventually([&] { return fComms->connectionCount() == 2; }));
  PFd third = silentFrom("127.0.0.1", port);
  EXPECT_TRUE(closedWithin(first, 2000)) << "an address past its handshakes: its oldest makes room";
  PFd other = silentFrom("127.0.0.2", port);
  ASSERT_TRUE(eventually([&] { return fComms->connectionCount() == 3; }));
  PFd newer = silentFrom("127.0.0.3", port);
  EXPECT_TRUE(closedWithin(second, 2000)) << "the budget full, the one waiting longest of all makes room";
  EXPECT_FALSE(closedWithin(third, 100));
  // Every place stays for the peers that prove who they are.
  std::vector<std::unique_ptr<PWireClient>> peers;
  for (const char* scheme : {"unix", "unix", "unix", "tls"}) {
    peers.push_back(std::make_unique<PWireClient>(at(scheme)));
    EXPECT_EQ(static_cast<int>(kIsExists), peers.back()->call(kIsExists, {}).fWord) << scheme;
  }
  EXPECT_EQ(4u, fComms->sessionCount());
  EXPECT_TRUE(closedWithin(third, 2000)) << "the TLS peer's handshake took the place of the one waiting longest";
}

TEST_F(Limits, ReservesKeepPlacesForLocalPeersAndWritersAndTheIdentityHoldingMostYields) {
  PCommsSettings settings;
  settings.fConnectionMax = 6;
  settings.fLocalReserve = 2;
  settings.fWriteReserve = 1;
  start(settings, [](PComms& iComms) { iComms.setGate(std::make_shared<PTestGate>()); });
  std::vector<std::unique_ptr<PWireClient>> readers;
  for (int i = 0; i < 5; ++i) {
    readers.push_back(std::make_unique<PWireClient>(at("tcp")));
    if (i < 4) {
      EXPECT_EQ(static_cast<int>(kIsExists), readers.back()->call(kIsExists, {}).fWord);
    }
  }
  EXPECT_EQ(ERR_COMMS_BUSY, refusal(*readers[4])) << "network peers share all but the local reserve";
  PWireClient writer(at("tls"));
  EXPECT_EQ(static_cast<int>(kIsExists), writer.call(kIsExists, {}).fWord) << "a new identity is served";
  EXPECT_EQ(ERR_COMMS_BUSY, refusal(*readers[0])) << "the oldest of the identity holding the most yielded";
  PWireClient local(at("unix"));
  EXPECT_EQ(static_cast<int>(kIsExists), local.call(kIsExists, {}).fWord);
  PWireClient second(at("unix"));
  EXPECT_EQ(static_cast<int>(kIsExists), second.call(kIsExists, {}).fWord);
  PWireClient third(at("unix"));
  EXPECT_EQ(ERR_COMMS_BUSY, refusal(third)) << "full, and no identity holds two more than its own";
  EXPECT_EQ(6u, fComms->sessionCount());
}

TEST_F(Limits, ReadersLeaveTheWriteReserve) {
  PCommsSettings settings;
  settings.fConnectionMax = 3;
  settings.fLocalReserve = 0;
  settings.fWriteReserve = 1;
  start(settings, [](PComms& iComms) { iComms.setGate(std::make_shared<PTestGate>()); });
  PWireClient first(at("tcp"));
  EXPECT_EQ(static_cast<int>(kIsExists), first.call(kIsExists, {}).fWord);
  PWireClient second(at("tcp"));
  EXPECT_EQ(static_cast<int>(kIsExists), second.call(kIsExists, {}).fWord);
  PWireClient third(at("tcp"));
  EXPECT_EQ(ERR_COMMS_BUSY, refusal(third));
  PWireClient writer(at("unix"));
  EXPECT_EQ(static_cast<int>(kIsExists), writer.call(kIsExists, {}).fWord);
  writer.close();
  second.close();
  EXPECT_TRUE(eventually([&] { return fComms->sessionCount() == 1; }));
  EXPECT_EQ(static_cast<int>(kIsExists), PWireClient(at("tcp")).call(kIsExists, {}).fWord) << "places came free";
}

TEST_F(Limits, OneIdentitysUnreadListingsDoNotKeepAnothersFromBeingAnswered) {
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
    hogs.push_back(std::make_unique<PWireClient>(at("unix")));
    hogs.back()->sendRaw(listings);
  }
  ASSERT_TRUE(eventually([&] { return fComms->heldBytes() >= settings.fMemoryMax; }));
  PWireClient other(at("tcp"));
  EXPECT_EQ(static_cast<int>(kListDir), other.call(kListDir, {}).fWord) << "its share of the budget is its own";
}


TEST_F(Limits, AReplyPastTheTransportsLimitIsAnsweredWithAStatusNeverCut) {
  start();
  PNoLink link;
  PSessionInfo info;
  info.fTransport = "test";
  info.fRole = SESSION_ROLE_WRITE;
  const size_t limit = 1000, overhead = kFrameHeader - kFrameLengthField + std::string(kFileAccessModule).size();
  info.fFrameMax = limit;
  PSession session(*fComms, info, link);
  const std::pair<size_t, bool /* whole */> cases[] = {{limit - overhead, true}, {limit - overhead + 1, false}, {0, true}};
  uint32_t exchange = 1;
  for (const auto& [payload, whole] : cases) {
    const Bytes request = frame(FRAME_REQUEST, exchange, kIsExists, kFileAccessModule, Bytes(payload, 'p'));
    size_t room = 0;
    unsigned char* space = session.receiveSpace(room);
    ASSERT_TRUE(space != nullptr && room >= request.size());
    std::copy(request.begin(), request.end(), space);
    session.received(request.size());
    session.serve();
    size_t size = 0;
    const unsigned char* out = session.output(size);
    PFrameView reply;
    size_t needed = 0;
    ASSERT_EQ(0, PFrame::parse(out, size, kDefaultFrameMax, reply, needed)) << payload;
    EXPECT_EQ(std::make_tuple(exchange, whole ? static_cast<uint32_t>(kIsExists) : static_cast<uint32_t>(ERR_COMMS_FRAME_SIZE),
                              whole ? payload : 0, size),
              std::make_tuple(reply.fExchange, reply.fWord, reply.fPayloadLength, reply.fSize))
        << payload;
    session.sent(size);
    ++exchange;
  }
  EXPECT_FALSE(session.finished()) << "the session goes on";
}
