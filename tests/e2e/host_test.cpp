// zevohost end to end: a real process, real sockets, raw frames.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <thread>

#include "PHostProcess.h"
#include "PPayload.h"
#include "zevo/PErrors.h"

namespace {

const std::string kModule = "com.quorbex.zevo.fileaccess";

class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    host.useDefaultConfig();
    ASSERT_TRUE(host.start()) << host.output();
    ASSERT_TRUE(client.connect(host.endpoint())) << host.endpoint();
  }
  void TearDown() override {
    client.close();
    EXPECT_EQ(0, host.stop()) << host.output();
  }
  std::string data(const std::string& iName) const { return host.data() + "/" + iName; }

  int openTransfer(PWireClient& ioClient, const std::string& iPath, int iMode) {
    PWireFrame reply = ioClient.call(1001, PPayload().str(iPath).i32(iMode).data());
    EXPECT_EQ(0, reply.fWord);
    return payloadInt32(reply.fPayload);
  }

  PHostProcess host;
  PWireClient client;
};

}  // namespace

TEST_F(Host, AnswersEveryAction) {
  writeFile(data("a.txt"), patternBytes(5000));
  PWireFrame reply = client.call(2002, PPayload().str(data("a.txt")).data());
  EXPECT_EQ(0, reply.fWord);
  EXPECT_EQ(kModule, reply.fModule);
  EXPECT_EQ(std::vector<unsigned char>({0x01, 0x01}), reply.fPayload);

  reply = client.call(2003, PPayload().str(data("a.txt")).data());
  EXPECT_TRUE(payloadBool(reply.fPayload));
  reply = client.call(2001, PPayload().str(data("a.txt")).data());
  EXPECT_EQ(std::vector<unsigned char>({0x04, 0x88, 0x13, 0, 0, 0, 0, 0, 0}), reply.fPayload);

  reply = client.call(2005, PPayload().str(data("x/y/z")).data());
  EXPECT_EQ(0, reply.fWord);
  EXPECT_TRUE(std::filesystem::is_directory(data("x/y/z")));
  reply = client.call(2004, PPayload().str(host.data() + "/").data());
  std::vector<std::wstring> names = payloadStrings(reply.fPayload);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::vector<std::wstring>({L"a.txt", L"x"}), names);

  reply = client.call(2007, PPayload().str(data("x/y/z")).data());
  EXPECT_EQ(0, reply.fWord);
  reply = client.call(2006, PPayload().str(data("a.txt")).data());
  EXPECT_EQ(0, reply.fWord);
  EXPECT_FALSE(std::filesystem::exists(data("a.txt")));

  reply = client.call(2002, PPayload().str("/etc/passwd").data());
  EXPECT_EQ(ERR_ACCESS_DENIED, reply.fWord);
  reply = client.call(4242, {});
  EXPECT_EQ(0, reply.fWord);
  EXPECT_EQ("", reply.fModule);
  EXPECT_TRUE(reply.fPayload.empty());
  reply = client.call(2002, {});
  EXPECT_EQ(ERR_DATA_SHORT, reply.fWord);
}

TEST_F(Host, PipelinedTransfersComeBackInOrder) {
  const std::vector<unsigned char> content = patternBytes(700000, 5);
  writeFile(data("big"), content);
  const int id = openTransfer(client, data("big"), 1);
  // Every chunk request at once, then the replies.
  const int chunks = static_cast<int>(content.size() / 8192) + 2;
  for (int i = 0; i < chunks; ++i) {
    ASSERT_TRUE(client.sendRequest(1000 + i, 1002, PPayload().i32(id).i32(8192).data()));
  }
  std::vector<unsigned char> got;
  for (int i = 0; i < chunks; ++i) {
    PWireFrame reply;
    ASSERT_TRUE(client.receive(reply));
    EXPECT_EQ(static_cast<uint32_t>(1000 + i), reply.fExchange);
    if (reply.fWord == 0) {
      const std::vector<unsigned char> chunk = payloadBytes(reply.fPayload);
      got.insert(got.end(), chunk.begin(), chunk.end());
    } else {
      EXPECT_EQ(ERR_END_OF_FILE, reply.fWord);
    }
  }
  EXPECT_EQ(content, got);

  // Upload pipelined the same way.
  const int up = openTransfer(client, data("copy"), 2);
  uint32_t exchange = 5000;
  for (size_t offset = 0; offset < content.size(); offset += 60000) {
    const size_t end = std::min(content.size(), offset + 60000);
    ASSERT_TRUE(client.sendRequest(exchange++, 1003,
                                   PPayload().i32(up).bytes({content.begin() + static_cast<long>(offset),
                                                             content.begin() + static_cast<long>(end)}).data()));
  }
  for (uint32_t e = 5000; e < exchange; ++e) {
    PWireFrame reply;
    ASSERT_TRUE(client.receive(reply));
    EXPECT_EQ(e, reply.fExchange);
    EXPECT_EQ(0, reply.fWord);
  }
  EXPECT_EQ(0, client.call(1004, PPayload().i32(up).data()).fWord);
  EXPECT_EQ(0, client.call(1004, PPayload().i32(id).data()).fWord);
  EXPECT_EQ(content, readFile(data("copy")));
}

TEST_F(Host, ServesSeveralClientsAtOnce) {
  constexpr int kClients = 6;
  std::vector<std::vector<unsigned char>> contents;
  for (int i = 0; i < kClients; ++i) {
    contents.push_back(patternBytes(300000 + 777 * i, 40 + i));
    writeFile(data("in" + std::to_string(i)), contents.back());
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      PWireClient own;
      ASSERT_TRUE(own.connect(host.endpoint()));
      const int in = openTransfer(own, data("in" + std::to_string(i)), 1);
      const int out = openTransfer(own, data("out" + std::to_string(i)), 2);
      for (;;) {
        PWireFrame reply = own.call(1002, PPayload().i32(in).i32(8192).data());
        if (reply.fWord != 0) break;
        const std::vector<unsigned char> chunk = payloadBytes(reply.fPayload);
        if (chunk.empty()) break;
        EXPECT_EQ(0, own.call(1003, PPayload().i32(out).bytes(chunk).data()).fWord);
      }
      EXPECT_EQ(0, own.call(1004, PPayload().i32(in).data()).fWord);
      EXPECT_EQ(0, own.call(1004, PPayload().i32(out).data()).fWord);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kClients; ++i) EXPECT_EQ(contents[i], readFile(data("out" + std::to_string(i))));
}

TEST_F(Host, BadFramesGetATransportErrorAndTheConnectionEnds) {
  struct Case {
    const char* fName;
    std::vector<unsigned char> fBytes;
    int fCode;
    uint32_t fExchange;
    bool fLast = false;  // the peer sends nothing more: a frame cut short
  };
  std::vector<unsigned char> unknownModule;
  PFrame::append(unknownModule, FRAME_REQUEST, 9, 2002, "com.example.nobody", nullptr, 0);
  std::vector<unsigned char> replyKind;
  PFrame::append(replyKind, FRAME_REPLY, 8, 0, kModule, nullptr, 0);
  std::vector<unsigned char> oddKind;
  PFrame::append(oddKind, 77, 6, 0, kModule, nullptr, 0);
  std::vector<unsigned char> badUtf8;
  PFrame::append(badUtf8, FRAME_REQUEST, 5, 2002, std::string("\xC3\x28", 2), nullptr, 0);
  std::vector<unsigned char> truncated;
  PFrame::append(truncated, FRAME_REQUEST, 1, 2002, kModule, PPayload().str(data("x")).data().data(), 9);
  truncated.resize(truncated.size() - 3);
  const std::vector<Case> cases = {
      {"length below the minimum", {10, 0, 0, 0, 1, 3, 0, 0, 0, 0, 0, 0, 0, 0}, ERR_COMMS_FRAME, 3},
      {"over the size limit", {0x01, 0x00, 0x20, 0x00, 1, 4, 0, 0, 0}, ERR_COMMS_FRAME_SIZE, 4},
      {"module ID past the frame", {11, 0, 0, 0, 1, 2, 0, 0, 0, 0xD2, 0x07, 0, 0, 5, 0}, ERR_COMMS_FRAME, 2},
      {"unknown module", unknownModule, ERR_COMMS_NO_MODULE, 9},
      {"a reply from a client", replyKind, ERR_COMMS_FRAME, 8},
      {"an unknown kind", oddKind, ERR_COMMS_FRAME, 6},
      {"a module ID that is not UTF-8", badUtf8, ERR_COMMS_FRAME, 5},
      {"a frame cut short at the end", truncated, ERR_COMMS_FRAME, 1, true},
      {"cut short inside its header", {40, 0, 0, 0, 1, 7, 0}, ERR_COMMS_FRAME, 0, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.fName);
    PWireClient bad;
    ASSERT_TRUE(bad.connect(host.endpoint()));
    // A good request first: its reply still comes.
    EXPECT_EQ(0, bad.call(2002, PPayload().str(data("none")).data()).fWord);
    ASSERT_TRUE(bad.sendRaw(test.fBytes));
    if (test.fLast) ::shutdown(bad.fd(), SHUT_WR);
    PWireFrame error;
    ASSERT_TRUE(bad.receive(error));
    EXPECT_EQ(FRAME_ERROR, error.fKind);
    EXPECT_EQ(test.fCode, error.fWord);
    EXPECT_EQ(test.fExchange, error.fExchange);
    EXPECT_EQ("", error.fModule);
    EXPECT_FALSE(error.fPayload.empty()) << "a text says what was wrong";
    EXPECT_TRUE(bad.closedByPeer());
  }
  // Everyone else is still served.
  EXPECT_EQ(0, client.call(2002, PPayload().str(data("none")).data()).fWord);
  EXPECT_TRUE(host.waitForOutput("exceeds the limit of 1048576")) << host.output();
}

TEST_F(Host, AVanishedPeersTransfersAreClosed) {
  writeFile(data("read-me"), patternBytes(100000, 3));
  {
    PWireClient peer;
    ASSERT_TRUE(peer.connect(host.endpoint()));
    const int down = openTransfer(peer, data("read-me"), 1);
    const int up = openTransfer(peer, data("half"), 2);
    const int closed = openTransfer(peer, data("read-me"), 1);
    EXPECT_EQ(0, peer.call(1002, PPayload().i32(down).i32(8192).data()).fWord);
    EXPECT_EQ(0, peer.call(1003, PPayload().i32(up).bytes(patternBytes(1000)).data()).fWord);
    EXPECT_EQ(0, peer.call(1004, PPayload().i32(closed).data()).fWord);
    EXPECT_EQ(1, host.descriptorsOn(data("read-me"))) << "one open, one closed";
    EXPECT_EQ(1, host.descriptorsOn(data("half")));
    // The peer goes without closing them.
  }
  // The host notices the end, closes both, and says so in its log.
  auto closesLogged = [&] {
    const std::string log = host.output();
    size_t closes = 0;
    for (size_t at = log.find("it left open"); at != std::string::npos; at = log.find("it left open", at + 1)) ++closes;
    return closes;
  };
  eventually([&] { return closesLogged() >= 2; }, 10);
  EXPECT_EQ(2u, closesLogged()) << host.output();
  EXPECT_EQ(0, host.descriptorsOn(data("read-me")));
  EXPECT_EQ(0, host.descriptorsOn(data("half")));
  EXPECT_EQ(patternBytes(1000), readFile(data("half"))) << "acknowledged bytes stay";
}

TEST(HostProcess, StopsOnSigintAndRemovesItsSocket) {
  PHostProcess host;
  host.useDefaultConfig();
  ASSERT_TRUE(host.start());
  const std::string socket = host.endpoint().substr(5);
  EXPECT_TRUE(std::filesystem::exists(socket));
  PWireClient client;
  ASSERT_TRUE(client.connect(host.endpoint()));
  writeFile(host.data() + "/f", patternBytes(10));
  PWireFrame reply = client.call(1001, PPayload().str(host.data() + "/f").i32(1).data());
  EXPECT_EQ(0, reply.fWord);
  ::kill(host.pid(), SIGINT);
  EXPECT_TRUE(client.closedByPeer());
  EXPECT_EQ(0, host.stop());
  EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST(HostProcess, StartUpFailuresSayWhyAndExitNonZero) {
  PHostProcess host;
  const std::string dir = host.configDir();
  struct Case {
    std::vector<std::string> fArgs;
    std::string fHostLines;  // added to the default configuration
    std::string fSet, fText;  // a set written over it, if any
    int fExit;
    std::vector<std::string> fSaid;
  };
  const Case cases[] = {
      {{"--config-dir", host.fDir / "missing"}, "", "", "", 1, {"does not exist"}},
      {{"--frobnicate"}, "", "", "", 2, {"unknown option --frobnicate"}},
      {{"--config-dir", dir}, "", "zevohost", "plugins = " ZEVO_FILEACCESS_PLUGIN "\nlisten unix:/tmp/x\n", 1,
       {dir + "/zevohost.conf:2"}},
      {{"--config-dir", dir}, "", "zevop.fileaccess", "fileaccess.read = /data\n", 1, {"failed to start", "fileaccess.write"}},
      {{"--config-dir", dir, "--plugin", "/nonexistent/libx.so"}, "", "", "", 1, {"/nonexistent/libx.so"}},
      {{"--config-dir", dir, "--listen", "udp:1"}, "", "", "", 1, {"unknown endpoint"}},
      {{"--config-dir", dir, "--symlinks", "sometimes"}, "", "", "", 1, {"symlinks \"sometimes\" is not follow or refuse"}},
      {{"--config-dir", dir}, "symlinks = Follow\n", "", "", 1, {"\"Follow\""}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.fArgs.back());
    host.useDefaultConfig(test.fHostLines);
    if (!test.fSet.empty()) host.setConfig(test.fSet, test.fText);
    std::string output;
    EXPECT_EQ(test.fExit, host.runToExit(test.fArgs, output));
    for (const std::string& said : test.fSaid) EXPECT_NE(std::string::npos, output.find(said)) << output;
  }
}
