// libzevoclient against a real zevohost.
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "PProcess.h"
#include "zevo/client/PClient.h"

namespace fs = std::filesystem;

namespace {

class Client : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host.start()) << host.output();
    ASSERT_EQ(0, client.connect(host.endpoint())) << client.lastError().message();
  }
  std::string remote(const std::string& iName) { return host.data(iName); }

  PHostProcess host;
  PClient client;
  PTempDir local;
};

}  // namespace

TEST_F(Client, QueriesAndDirectoryActionsAndTheirFailures) {
  writeFile(remote("a.txt"), patternBytes(5000));
  long long size = -1;
  bool isFile = false, exists = true;
  EXPECT_EQ(0, client.size(remote("a.txt"), size) + client.isFile(remote("a.txt"), isFile) + client.exists(remote("none"), exists));
  EXPECT_TRUE(size == 5000 && isFile && !exists);
  EXPECT_EQ(0, client.makeDir(remote("x/y/z")));
  const std::string unicode = "Gr\xC3\xBC\xC3\x9F" "e.txt";
  writeFile(remote(unicode), {});
  std::vector<std::string> names;
  EXPECT_EQ(0, client.list(host.data(), names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{unicode, "a.txt", "x"}), names);
  const std::pair<int, int> results[] = {{PERR_NOT_EMPTY, client.deleteDir(remote("x"))}, {0, client.deleteDir(remote("x/y/z"))},
                                         {PERR_IS_DIR, client.deleteFile(remote("x/y"))}, {0, client.deleteFile(remote("a.txt"))},
                                         {PERR_NOT_FOUND, client.deleteFile(remote("a.txt"))}};
  for (const auto& [expected, got] : results) EXPECT_EQ(expected, got);
  EXPECT_EQ("remote: no such file or directory (-601): " + remote("a.txt"), client.lastError().message());
  EXPECT_EQ(ERR_FAILED, client.list(remote(unicode), names));
  size = 7;
  EXPECT_EQ(ERR_ACCESS_DENIED, client.size(host.fDir / "x", size));
  EXPECT_EQ(7, size) << "an output is left alone on failure";
  EXPECT_EQ(PErrorOrigin::kRemote, client.lastError().fOrigin);
  EXPECT_EQ("ERR_ACCESS_DENIED", client.lastError().name());
  EXPECT_EQ(PERR_INVALID_ARG, client.exists(host.data() + "/\xC3\x28", exists)) << "not UTF-8: refused before sending";
  EXPECT_EQ(PErrorOrigin::kArgument, client.lastError().fOrigin);
  EXPECT_TRUE(client.isConnected()) << "a refusal leaves the connection";
}

TEST_F(Client, TransfersMoveEveryByteWhateverTheWindowChunkSinkAndSource) {
  const Bytes content = patternBytes(3 * 1024 * 1024 + 777, 77);
  writeFile(local / "source", content);
  for (const PClientOptions& options : {PClientOptions{}, PClientOptions{5000, 30000, 1, 8192, 65536},
                                        PClientOptions{5000, 30000, 5, 1000, 7777}}) {
    ASSERT_EQ(0, client.setOptions(options));
    long long last = -1, total = 0, bytes = 0;
    bool ordered = true;
    PTransferControl control;
    control.fProgress = [&](long long iDone, long long iTotal) {
      ordered = ordered && iDone > last;
      last = iDone;
      total = iTotal;
    };
    ASSERT_EQ(0, client.put(PSource::file(local / "source"), remote("up.bin"), control, &bytes)) << client.lastError().message();
    EXPECT_EQ(static_cast<long long>(content.size()), bytes);
    EXPECT_EQ(content, readFile(remote("up.bin")));
    last = -1;
    ASSERT_EQ(0, client.get(remote("up.bin"), PSink::file(local / "down.bin"), control, &bytes));
    EXPECT_EQ(content, readFile(local / "down.bin"));
    EXPECT_TRUE(ordered && total == last && total == static_cast<long long>(content.size()));
  }
  EXPECT_EQ(0, host.descriptorsOn(remote("up.bin"))) << "every transfer was closed";
  Bytes collected;
  ASSERT_EQ(0, client.get(remote("up.bin"), PSink::callback([&](const unsigned char* iBytes, size_t iCount) {
                            collected.insert(collected.end(), iBytes, iBytes + iCount);
                            return 0;
                          })));
  EXPECT_EQ(content, collected);
  const PFd out(::open((local / "by-fd").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  ASSERT_EQ(0, client.get(remote("up.bin"), PSink::descriptor(out.get())));
  EXPECT_NE(-1, ::fcntl(out.get(), F_GETFD)) << "the descriptor is left open";
  {
    // A pipe nobody reads: the library's caller gets the error, its process no SIGPIPE.
    int ends[2] = {-1, -1};
    ASSERT_EQ(0, ::pipe2(ends, O_CLOEXEC));
    ::close(ends[0]);
    const PFd writer(ends[1]);
    const auto before = ::signal(SIGPIPE, SIG_DFL);
    EXPECT_NE(0, client.get(remote("up.bin"), PSink::descriptor(writer.get())));
    ::signal(SIGPIPE, before);
    EXPECT_NE(std::string::npos, client.lastError().message().find("pipe")) << client.lastError().message();
  }
  const PFd in(::open((local / "by-fd").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(0, client.put(PSource::descriptor(in.get()), remote("from-fd")));
  EXPECT_EQ(content, readFile(remote("from-fd")));
  size_t offset = 0;
  ASSERT_EQ(0, client.put(PSource::callback([&](unsigned char* oBytes, size_t iCapacity) {
                            const size_t count = std::min({iCapacity, size_t{999}, content.size() - offset});
                            std::copy_n(content.begin() + static_cast<long>(offset), count, oBytes);
                            offset += count;
                            return static_cast<long>(count);
                          }),
                          remote("from-callback")));
  EXPECT_EQ(content, readFile(remote("from-callback")));
  writeFile(local / "empty", {});
  ASSERT_EQ(0, client.put(PSource::file(local / "empty"), remote("from-fd")));
  EXPECT_EQ(0u, fs::file_size(remote("from-fd"))) << "an upload empties the file first";
}

TEST_F(Client, FailedTransfersLeaveLocalFilesAsTheyWereAndCloseTheRemoteTransfer) {
  writeFile(local / "keep", {'o', 'l', 'd'});
  writeFile(remote("big"), patternBytes(2000000));
  EXPECT_EQ(PERR_NOT_FOUND, client.get(remote("missing"), PSink::file(local / "keep")));
  EXPECT_EQ(PERR_IS_DIR, client.get(host.data(), PSink::file(local / "keep")));
  int calls = 0;
  EXPECT_EQ(PERR_NO_SPACE, client.get(remote("big"), PSink::callback([&](const unsigned char*, size_t) {
                                        return ++calls == 3 ? PERR_NO_SPACE : 0;
                                      })));
  EXPECT_EQ(PErrorOrigin::kLocal, client.lastError().fOrigin);
  EXPECT_EQ(3, calls) << "nothing is delivered after a failure";
  ASSERT_EQ(0, client.setOptions(PClientOptions{5000, 30000, 8, 8192, 65536}));
  int blocks = 0;
  long long bytes = 0;
  PTransferControl control;
  control.fProgress = [&](long long, long long) { ++blocks; };
  control.fContinue = [&] { return blocks < 3; };
  EXPECT_EQ(ERR_CLIENT_CANCELLED, client.get(remote("big"), PSink::file(local / "part"), control, &bytes));
  EXPECT_EQ(3 * 8192, bytes);
  // The file grows after its size was taken: more bytes than the size said.
  control.fContinue = {};
  control.fProgress = [&](long long iDone, long long) {
    if (iDone == 8192) std::ofstream(remote("big"), std::ios::app) << "more";
  };
  EXPECT_EQ(ERR_CLIENT_SIZE_MISMATCH, client.get(remote("big"), PSink::file(local / "g"), control));
  EXPECT_EQ(PErrorOrigin::kTransfer, client.lastError().fOrigin);
  EXPECT_EQ(Bytes({'o', 'l', 'd'}), readFile(local / "keep"));
  EXPECT_EQ(1, std::distance(fs::directory_iterator(local.path()), fs::directory_iterator())) << "no temporary file left";
  EXPECT_EQ(0, host.descriptorsOn(remote("big"))) << "closed by the client, not by the connection's end";
  writeFile(remote("target"), {'t'});
  EXPECT_EQ(PERR_NOT_FOUND, client.put(PSource::file(local / "nothing"), remote("target")));
  EXPECT_EQ("local: no such file or directory (-601): " + local / "nothing", client.lastError().message());
  EXPECT_EQ(Bytes{'t'}, readFile(remote("target")));
  client.close();
  EXPECT_EQ(0, host.stop());
  EXPECT_EQ(std::string::npos, host.output().find("left open")) << host.output();
}

TEST_F(Client, ALostConnectionAndATransportErrorCloseTheClient) {
  writeFile(remote("big"), patternBytes(3000000));
  PTransferControl control;
  control.fProgress = [&](long long iDone, long long) {
    if (iDone == 8192) ::kill(host.pid(), SIGKILL);
  };
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ERR_COMMS_CLOSED, client.get(remote("big"), PSink::file(local / "big"), control));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(PErrorOrigin::kConnection, client.lastError().fOrigin);
  EXPECT_FALSE(client.isConnected() || fs::exists(local / "big"));
  long long size = 0;
  EXPECT_EQ(ERR_COMMS_CLOSED, client.size(remote("big"), size));
  host.stop();

  ASSERT_TRUE(host.start({"--frame-max", "4096"})) << host.output();
  ASSERT_EQ(0, client.connect(host.endpoint()));
  writeFile(local / "up", patternBytes(20000));
  ASSERT_EQ(0, client.setOptions(PClientOptions{5000, 30000, 16, 8192, 8192}));
  EXPECT_EQ(ERR_COMMS_FRAME_SIZE, client.put(PSource::file(local / "up"), remote("up")));
  EXPECT_EQ(PErrorOrigin::kHost, client.lastError().fOrigin);
  EXPECT_NE(std::string::npos, client.lastError().message().find("exceeds the limit of 4096 (-4003)")) << client.lastError().message();
  EXPECT_FALSE(client.isConnected());
}

TEST_F(Client, EndpointsAndOptions) {
  const int descriptors = descriptorCount();
  PClient other;
  EXPECT_EQ(ERR_CLIENT_CONNECT, other.connect("unix:" + local / "no.sock"));
  EXPECT_EQ(ERR_CLIENT_CONNECT, other.connect("tcp:127.0.0.1:1"));
  for (const char* endpoint : {"udp:1.2.3.4:5", "tcp:localhost:0", "tcp:*:80"}) EXPECT_EQ(ERR_INVALID_ARG, other.connect(endpoint)) << endpoint;
  EXPECT_EQ(PErrorOrigin::kArgument, other.lastError().fOrigin);
  EXPECT_EQ(descriptors, descriptorCount());
  for (const PClientOptions& bad : {PClientOptions{0, 1000, 16, 8192, 65536}, PClientOptions{1000, 1000, 1025, 8192, 65536},
                                    PClientOptions{1000, 1000, 16, 8193, 65536}, PClientOptions{1000, 1000, 16, 8192, kMaxWriteChunk + 1}}) {
    EXPECT_EQ(ERR_INVALID_ARG, client.setOptions(bad));
  }
  EXPECT_EQ(16, client.options().fWindow) << "a refused setting changes nothing";
  client.close();
  host.stop();
  host.useDefaultConfig("role.write = tcp:127.0.0.1, tcp:::1\n");
  ASSERT_TRUE(host.start({"--listen", "tcp:127.0.0.1:0", "--listen", "tcp:[::1]:0"}) || host.start({"--listen", "tcp:127.0.0.1:0"}))
      << host.output();
  const Bytes content = patternBytes(200000, 77);
  writeFile(local / "c", content);
  for (const std::string& endpoint : host.endpoints()) {
    PClient tcp;
    ASSERT_EQ(0, tcp.connect(endpoint)) << tcp.lastError().message();
    ASSERT_EQ(0, tcp.put(PSource::file(local / "c"), remote("c")) + tcp.get(remote("c"), PSink::file(local / "back")));
    EXPECT_EQ(content, readFile(local / "back")) << endpoint;
  }
}

TEST(ClientTls, CopiesEveryByteAndChecksTheHostsCertificateAndName) {
  PHostProcess host;
  host.useDefaultConfig(tlsLines() + "role.write = cert:client-a\n");
  ASSERT_TRUE(host.start({"--listen", "tls:*:0"})) << host.output();
  const std::string port = host.endpoint().substr(host.endpoint().rfind(':'));
  const PClientTls good{certificate("ca.pem"), certificate("client.pem"), certificate("client.key")};
  PTempDir local;
  const Bytes content = patternBytes(3 * 1024 * 1024 + 5);
  writeFile(local / "up", content);
  PClient client;
  client.setTls(good);
  // By the certificate's DNS name where it resolves (a bare chroot has no
  // /etc/hosts: there by its address, which the certificate names too).
  addrinfo* found = nullptr;
  const bool named = ::getaddrinfo("localhost", nullptr, nullptr, &found) == 0;
  if (named) ::freeaddrinfo(found);
  ASSERT_EQ(0, client.connect((named ? "tls:localhost" : "tls:127.0.0.1") + port)) << client.lastError().message();
  ASSERT_EQ(0, client.put(PSource::file(local / "up"), host.data("up")) + client.get(host.data("up"), PSink::file(local / "back")))
      << client.lastError().message();
  EXPECT_EQ(content, readFile(local / "back"));
  PSpawn spawn;
  spawn.fEnvironment = {"ZEVOFA_CA=" + good.fCaFile, "ZEVOFA_CERT=" + good.fCertFile, "ZEVOFA_KEY=" + good.fKeyFile};
  PChild zevofa({ZEVOFA, "-e", "tls:127.0.0.1" + port, "get", host.data("up"), "-"}, spawn);
  EXPECT_EQ(0, zevofa.wait()) << zevofa.err();
  const std::string out = zevofa.out();
  EXPECT_EQ(content, Bytes(out.begin(), out.end()));
  // The host must prove the name the client asked for, with a certificate of the client's CA.
  const std::tuple<std::string, std::string, int, PErrorOrigin> refused[] = {
      {"tls:127.0.0.2" + port, good.fCaFile, ERR_CLIENT_TLS, PErrorOrigin::kConnection},
      {"tls:127.0.0.1" + port, certificate("ca2.pem"), ERR_CLIENT_TLS, PErrorOrigin::kConnection},
      {"tls:127.0.0.1" + port, "", ERR_INVALID_ARG, PErrorOrigin::kArgument}};
  for (const auto& [endpoint, ca, code, origin] : refused) {
    client.setTls({ca, good.fCertFile, good.fKeyFile});
    EXPECT_EQ(code, client.connect(endpoint)) << endpoint << " " << ca;
    EXPECT_EQ(origin, client.lastError().fOrigin) << client.lastError().message();
  }
}
