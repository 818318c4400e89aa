// libzevoclient end to end: every call against a real zevohost.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "PClientTestSupport.h"
#include "zevo/PErrors.h"
#include "zevo/client/PClient.h"

namespace fs = std::filesystem;

namespace {

class ClientLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host.start()) << host.output();
    ASSERT_EQ(0, client.connect(host.endpoint())) << client.lastError().message();
  }
  void TearDown() override {
    client.close();
    if (host.pid() > 0) {
      EXPECT_EQ(0, host.stop()) << host.output();
    }
  }
  std::vector<std::string> sorted(std::vector<std::string> iNames) {
    std::sort(iNames.begin(), iNames.end());
    return iNames;
  }

  PClientHost host;
  PClient client;
  PTempDir local;
};

}  // namespace

TEST_F(ClientLibrary, AnswersEveryQueryAndDirectoryAction) {
  writeFile(host.file("a.txt"), patternBytes(5000));
  long long size = -1;
  bool flag = false;
  EXPECT_EQ(0, client.size(host.file("a.txt"), size));
  EXPECT_EQ(5000, size);
  EXPECT_EQ(0, client.exists(host.file("a.txt"), flag));
  EXPECT_TRUE(flag);
  EXPECT_EQ(0, client.exists(host.file("none"), flag));
  EXPECT_FALSE(flag);
  EXPECT_EQ(0, client.isFile(host.file("a.txt"), flag));
  EXPECT_TRUE(flag);

  EXPECT_EQ(0, client.makeDir(host.file("x/y/z")));
  EXPECT_TRUE(fs::is_directory(host.file("x/y/z")));
  EXPECT_EQ(0, client.isFile(host.file("x"), flag));
  EXPECT_FALSE(flag);
  const std::string unicode = "Gr\xC3\xBC\xC3\x9F" "e.txt";
  writeFile(host.file(unicode), {});
  std::vector<std::string> names;
  EXPECT_EQ(0, client.list(host.data() + "/", names));
  EXPECT_EQ(std::vector<std::string>({unicode, "a.txt", "x"}), sorted(names));

  EXPECT_EQ(PERR_NOT_EMPTY, client.deleteDir(host.file("x")));
  EXPECT_EQ(0, client.deleteDir(host.file("x/y/z")));
  EXPECT_FALSE(fs::exists(host.file("x/y/z")));
  EXPECT_EQ(PERR_IS_DIR, client.deleteFile(host.file("x/y")));
  EXPECT_EQ(0, client.deleteFile(host.file("a.txt")));
  EXPECT_FALSE(fs::exists(host.file("a.txt")));
  EXPECT_EQ(PERR_NOT_FOUND, client.deleteFile(host.file("a.txt")));
  EXPECT_EQ("remote: no such file or directory (-601): " + host.file("a.txt"), client.lastError().message());
  EXPECT_EQ(ERR_FAILED, client.isFile(host.file("a.txt"), flag));
  EXPECT_EQ(ERR_FAILED, client.list(host.file(unicode), names));
  EXPECT_TRUE(client.isConnected()) << "a refusal leaves the connection";
  EXPECT_EQ(0, client.exists(host.data() + "/", flag));
}

TEST_F(ClientLibrary, PolicyRefusalsCarryCodeNameAndMeaning) {
  writeFile(host.secret() + "/secret.txt", {'s'});
  long long size = 7;
  EXPECT_EQ(ERR_ACCESS_DENIED, client.size(host.secret() + "/secret.txt", size));
  EXPECT_EQ(7, size) << "an output is left alone on failure";
  const PClientError& error = client.lastError();
  EXPECT_EQ(PErrorOrigin::kRemote, error.fOrigin);
  EXPECT_EQ("ERR_ACCESS_DENIED", error.name());
  EXPECT_EQ("remote: permission denied by policy (-511): " + host.secret() + "/secret.txt", error.message());
  EXPECT_EQ(ERR_ACCESS_DENIED, client.get(host.secret() + "/secret.txt", PSink::file(local / "got")));
  EXPECT_FALSE(fs::exists(local / "got"));
  writeFile(local / "up", {'u'});
  EXPECT_EQ(ERR_ACCESS_DENIED, client.put(PSource::file(local / "up"), host.secret() + "/new"));
  EXPECT_FALSE(fs::exists(host.secret() + "/new"));
  EXPECT_EQ(ERR_ACCESS_DENIED, client.makeDir(host.secret() + "/d"));
  EXPECT_EQ(ERR_ACCESS_DENIED, client.deleteFile(host.secret() + "/secret.txt"));
  EXPECT_TRUE(fs::exists(host.secret() + "/secret.txt"));
}

TEST_F(ClientLibrary, TransfersMoveEveryByteValueWhateverTheWindowAndChunk) {
  const std::vector<unsigned char> content = allByteValues(3 * 1024 * 1024 + 777);
  writeFile(local / "source", content);
  struct Setting {
    int fWindow, fReadChunk, fWriteChunk;
  };
  for (const Setting setting : {Setting{16, 8192, 65536}, Setting{1, 8192, 65536}, Setting{5, 1000, 7777}}) {
    SCOPED_TRACE("window " + std::to_string(setting.fWindow));
    PClientOptions options;
    options.fWindow = setting.fWindow;
    options.fReadChunk = setting.fReadChunk;
    options.fWriteChunk = setting.fWriteChunk;
    ASSERT_EQ(0, client.setOptions(options));
    long long lastDone = -1;
    long long lastTotal = 0;
    bool ordered = true;
    PTransferControl control;
    control.fProgress = [&](long long iDone, long long iTotal) {
      ordered = ordered && iDone > lastDone;
      lastDone = iDone;
      lastTotal = iTotal;
    };
    long long bytes = 0;
    ASSERT_EQ(0, client.put(PSource::file(local / "source"), host.file("up.bin"), control, &bytes))
        << client.lastError().message();
    EXPECT_EQ(static_cast<long long>(content.size()), bytes);
    EXPECT_EQ(content, readFile(host.file("up.bin")));
    EXPECT_TRUE(ordered);
    EXPECT_EQ(lastTotal, lastDone);

    lastDone = -1;
    ASSERT_EQ(0, client.get(host.file("up.bin"), PSink::file(local / "down.bin"), control, &bytes))
        << client.lastError().message();
    EXPECT_EQ(content, readFile(local / "down.bin"));
    EXPECT_EQ(static_cast<long long>(content.size()), lastTotal);
    EXPECT_EQ(lastTotal, lastDone);
    EXPECT_TRUE(ordered);
  }
  EXPECT_EQ(0, host.descriptorsOn(host.file("up.bin"))) << "every transfer was closed";
}

TEST_F(ClientLibrary, SinksAndSourcesOfEveryKind) {
  const std::vector<unsigned char> content = allByteValues(100000);
  writeFile(host.file("in"), content);
  writeFile(host.file("empty"), {});

  std::vector<unsigned char> collected;
  ASSERT_EQ(0, client.get(host.file("in"), PSink::callback([&](const unsigned char* iBytes, size_t iCount) {
                                             collected.insert(collected.end(), iBytes, iBytes + iCount);
                                             return 0;
                                           })));
  EXPECT_EQ(content, collected);
  const int fd = ::open((local / "by-fd").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, client.get(host.file("in"), PSink::descriptor(fd)));
  EXPECT_EQ(0, ::close(fd)) << "the descriptor is left open";
  EXPECT_EQ(content, readFile(local / "by-fd"));
  ASSERT_EQ(0, client.get(host.file("empty"), PSink::file(local / "empty")));
  EXPECT_TRUE(fs::exists(local / "empty"));
  EXPECT_EQ(0u, fs::file_size(local / "empty"));

  size_t offset = 0;
  long long total = 0;
  PTransferControl control;
  control.fProgress = [&](long long, long long iTotal) { total = iTotal; };
  ASSERT_EQ(0, client.put(PSource::callback([&](unsigned char* oBytes, size_t iCapacity) {
                            const size_t count = std::min<size_t>(iCapacity, std::min<size_t>(999, content.size() - offset));
                            std::copy_n(content.begin() + static_cast<long>(offset), count, oBytes);
                            offset += count;
                            return static_cast<long>(count);
                          }),
                          host.file("from-callback"), control));
  EXPECT_EQ(content, readFile(host.file("from-callback")));
  EXPECT_EQ(-1, total) << "a callback source of unknown size";
  const int in = ::open((local / "by-fd").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(in, 0);
  ASSERT_EQ(0, client.put(PSource::descriptor(in), host.file("from-fd")));
  ::close(in);
  EXPECT_EQ(content, readFile(host.file("from-fd")));
  writeFile(host.file("was-full"), content);
  ASSERT_EQ(0, client.put(PSource::file(local / "empty"), host.file("was-full")));
  EXPECT_EQ(0u, fs::file_size(host.file("was-full"))) << "an upload empties the file first";
}

TEST_F(ClientLibrary, AFailedDownloadLeavesTheLocalFileAsItWas) {
  writeFile(local / "keep", {'o', 'l', 'd'});
  EXPECT_EQ(PERR_NOT_FOUND, client.get(host.file("missing"), PSink::file(local / "keep")));
  EXPECT_EQ(PErrorOrigin::kRemote, client.lastError().fOrigin);
  writeFile(host.file("big"), patternBytes(200000));
  // A sink that gives up half-way: a local error, and the remote transfer
  // is closed on a connection that stays open.
  int calls = 0;
  EXPECT_EQ(PERR_NO_SPACE, client.get(host.file("big"), PSink::callback([&](const unsigned char*, size_t) {
                                        return ++calls == 3 ? PERR_NO_SPACE : 0;
                                      })));
  EXPECT_EQ(PErrorOrigin::kLocal, client.lastError().fOrigin);
  EXPECT_EQ(3, calls) << "nothing is delivered after a failure";
  EXPECT_EQ(0, host.descriptorsOn(host.file("big")));
  ASSERT_TRUE(client.isConnected());
  // A directory cannot be downloaded.
  EXPECT_EQ(PERR_IS_DIR, client.get(host.data() + "/", PSink::file(local / "keep")));
  EXPECT_EQ(std::vector<unsigned char>({'o', 'l', 'd'}), readFile(local / "keep"));
  EXPECT_EQ(std::vector<std::string>({"keep"}), [&] {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(local.path())) names.push_back(entry.path().filename());
    return names;
  }()) << "no temporary file is left behind";
  // A local source that cannot be read leaves the remote file untouched.
  writeFile(host.file("target"), {'t'});
  EXPECT_EQ(PERR_NOT_FOUND, client.put(PSource::file(local / "nothing"), host.file("target")));
  EXPECT_EQ("local: no such file or directory (-601): " + local / "nothing", client.lastError().message());
  EXPECT_EQ(std::vector<unsigned char>({'t'}), readFile(host.file("target")));
}

TEST_F(ClientLibrary, CancellationDrainsAndClosesTheRemoteTransfer) {
  writeFile(host.file("big"), patternBytes(2000000));
  PClientOptions options;
  options.fWindow = 8;
  ASSERT_EQ(0, client.setOptions(options));
  int blocks = 0;
  PTransferControl control;
  control.fProgress = [&](long long, long long) { ++blocks; };
  control.fContinue = [&] { return blocks < 3; };
  long long bytes = 0;
  EXPECT_EQ(ERR_CLIENT_CANCELLED, client.get(host.file("big"), PSink::file(local / "part"), control, &bytes));
  EXPECT_EQ("cancelled (-4102): " + host.file("big"), client.lastError().message());
  EXPECT_EQ(3 * 8192, bytes);
  EXPECT_FALSE(fs::exists(local / "part"));
  ASSERT_TRUE(client.isConnected());
  EXPECT_EQ(0, host.descriptorsOn(host.file("big"))) << "closed by the client, not by the connection's end";

  // Eight blocks go out at once, more as acknowledgements come; the third
  // acknowledgement cancels, and what was in flight is still written.
  blocks = 0;
  EXPECT_EQ(ERR_CLIENT_CANCELLED,
            client.put(PSource::callback([](unsigned char* oBytes, size_t iCapacity) {
                         std::fill_n(oBytes, iCapacity, 'x');
                         return static_cast<long>(iCapacity);
                       }),
                       host.file("endless"), control, &bytes));
  EXPECT_EQ(0, host.descriptorsOn(host.file("endless")));
  long long size = 0;
  EXPECT_EQ(0, client.size(host.file("endless"), size)) << "the connection still serves";
  EXPECT_EQ(0, size % 65536);
  EXPECT_GE(size, 8 * 65536) << "the blocks in flight when it was cancelled were written too";
  EXPECT_LE(size, 10 * 65536);
  EXPECT_EQ(size, bytes) << "every block written was acknowledged and counted";
  client.close();
  EXPECT_EQ(0, host.stop());
  EXPECT_EQ(std::string::npos, host.output().find("left open")) << host.output();
}

TEST_F(ClientLibrary, AWriteOnlyDirectoryTakesUploadsItCannotCheck) {
  client.close();
  host.stop();
  fs::create_directories(host.file("drop"));
  host.setConfig("zevop.fileaccess", "fileaccess.read =\nfileaccess.write = " + host.file("drop/") +
                                         "\nfileaccess.read.recursive =\nfileaccess.write.recursive =\n");
  ASSERT_TRUE(host.start()) << host.output();
  ASSERT_EQ(0, client.connect(host.endpoint()));
  const std::vector<unsigned char> content = patternBytes(100000);
  writeFile(local / "up", content);
  EXPECT_EQ(0, client.put(PSource::file(local / "up"), host.file("drop/up"))) << client.lastError().message();
  EXPECT_EQ(content, readFile(host.file("drop/up")));
  long long size = 0;
  EXPECT_EQ(ERR_ACCESS_DENIED, client.size(host.file("drop/up"), size)) << "the size cannot be asked";
}

TEST_F(ClientLibrary, ADownloadChecksItsLengthAgainstTheRemoteSize) {
  // The file grows after its size was taken: more bytes arrive than the
  // size said, and the download fails without touching the local name.
  const std::vector<unsigned char> content = patternBytes(1000000);
  writeFile(host.file("growing"), content);
  bool appended = false;
  PTransferControl control;
  control.fProgress = [&](long long, long long) {
    if (appended) return;
    appended = true;
    std::ofstream(host.file("growing"), std::ios::app | std::ios::binary) << "more";
  };
  EXPECT_EQ(ERR_CLIENT_SIZE_MISMATCH, client.get(host.file("growing"), PSink::file(local / "g"), control));
  EXPECT_EQ(PErrorOrigin::kTransfer, client.lastError().fOrigin);
  EXPECT_NE(std::string::npos, client.lastError().message().find("received 1000004 bytes where the remote size was 1000000"))
      << client.lastError().message();
  EXPECT_FALSE(fs::exists(local / "g"));
  EXPECT_EQ(0, host.descriptorsOn(host.file("growing")));
}

TEST_F(ClientLibrary, ALostConnectionIsReportedAndClosesTheClient) {
  writeFile(host.file("big"), patternBytes(3000000));
  const int descriptors = openDescriptorCount();
  PTransferControl control;
  control.fProgress = [&](long long iDone, long long) {
    if (iDone == 8192) ::kill(host.pid(), SIGKILL);
  };
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ERR_COMMS_CLOSED, client.get(host.file("big"), PSink::file(local / "big"), control));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(PErrorOrigin::kConnection, client.lastError().fOrigin);
  EXPECT_EQ(0u, client.lastError().message().find("connection lost")) << client.lastError().message();
  EXPECT_FALSE(client.isConnected());
  EXPECT_FALSE(fs::exists(local / "big"));
  long long size = 0;
  EXPECT_EQ(ERR_COMMS_CLOSED, client.size(host.file("big"), size));
  EXPECT_EQ("not connected (-4005)", client.lastError().message());
  host.stop();
  EXPECT_EQ(descriptors - 2, openDescriptorCount()) << "the socket is closed (and the host's log pipe)";
}

TEST_F(ClientLibrary, AReplyTimeOutClosesTheClient) {
  PSilentServer silent;
  PClient waiting(PClientOptions{5000, 200, 16, 8192, 65536});
  const int descriptors = openDescriptorCount();
  ASSERT_EQ(0, waiting.connect(silent.endpoint())) << waiting.lastError().message();
  const auto started = std::chrono::steady_clock::now();
  bool exists = false;
  EXPECT_EQ(ERR_COMMS_TIMEOUT, waiting.exists("/x", exists));
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, std::chrono::milliseconds(190));
  EXPECT_LT(took, std::chrono::seconds(3));
  EXPECT_EQ("no reply to IsExists within 0.2 s (-4007): " + silent.endpoint(), waiting.lastError().message());
  EXPECT_FALSE(waiting.isConnected());
  EXPECT_EQ(descriptors, openDescriptorCount());
  EXPECT_EQ(ERR_COMMS_TIMEOUT, [&] {
    waiting.connect(silent.endpoint());
    return waiting.get("/x", PSink::file(local / "x"));
  }());
  EXPECT_FALSE(fs::exists(local / "x"));
}

TEST_F(ClientLibrary, BadEndpointsAndOptionsAreRefusedWithoutLeaks) {
  const int descriptors = openDescriptorCount();
  PClient other;
  EXPECT_EQ(ERR_CLIENT_CONNECT, other.connect("unix:" + local / "no.sock"));
  EXPECT_EQ("cannot connect: No such file or directory (-4101): unix:" + local / "no.sock",
            other.lastError().message());
  for (const char* endpoint : {"", "unix:", "tcp:", "tcp:localhost", "tcp:localhost:0", "tcp:localhost:65536",
                               "tcp::80", "udp:1.2.3.4:5", "/run/zevo.sock"}) {
    EXPECT_EQ(ERR_INVALID_ARG, other.connect(endpoint)) << endpoint;
    EXPECT_EQ(PErrorOrigin::kArgument, other.lastError().fOrigin) << endpoint;
  }
  EXPECT_EQ(ERR_CLIENT_CONNECT, other.connect("tcp:127.0.0.1:1"));
  EXPECT_EQ(descriptors, openDescriptorCount());

  for (const PClientOptions& bad :
       {PClientOptions{0, 1000, 16, 8192, 65536}, PClientOptions{1000, 0, 16, 8192, 65536},
        PClientOptions{1000, 1000, 0, 8192, 65536}, PClientOptions{1000, 1000, 1025, 8192, 65536},
        PClientOptions{1000, 1000, 16, 8193, 65536}, PClientOptions{1000, 1000, 16, 0, 65536},
        PClientOptions{1000, 1000, 16, 8192, kMaxWriteChunk + 1}}) {
    EXPECT_EQ(ERR_INVALID_ARG, client.setOptions(bad));
  }
  EXPECT_EQ(16, client.options().fWindow) << "a refused setting changes nothing";

  // A path that is not UTF-8 is refused before anything is sent.
  bool exists = true;
  EXPECT_EQ(PERR_INVALID_ARG, client.exists(host.data() + "/\xC3\x28", exists));
  EXPECT_EQ(PErrorOrigin::kArgument, client.lastError().fOrigin);
  EXPECT_TRUE(client.isConnected());
  EXPECT_EQ(0, client.exists(host.data() + "/", exists));
}

TEST_F(ClientLibrary, ATransportErrorCarriesTheHostsText) {
  client.close();
  host.stop();
  ASSERT_TRUE(host.start({"--frame-max", "4096"})) << host.output();
  ASSERT_EQ(0, client.connect(host.endpoint()));
  writeFile(local / "up", patternBytes(20000));
  PClientOptions options;
  options.fWriteChunk = 8192;
  ASSERT_EQ(0, client.setOptions(options));
  EXPECT_EQ(ERR_COMMS_FRAME_SIZE, client.put(PSource::file(local / "up"), host.file("up")));
  EXPECT_EQ(PErrorOrigin::kHost, client.lastError().fOrigin);
  EXPECT_EQ(0u, client.lastError().message().find("host: frame of ")) << client.lastError().message();
  EXPECT_NE(std::string::npos, client.lastError().message().find("bytes exceeds the limit of 4096 (-4003)"))
      << client.lastError().message();
  EXPECT_FALSE(client.isConnected());
}

TEST_F(ClientLibrary, ServesTcpEndpointsToo) {
  client.close();
  host.stop();
  ASSERT_TRUE(host.start({"--listen", "tcp:127.0.0.1:0", "--listen", "tcp:[::1]:0"}) ||
              host.start({"--listen", "tcp:127.0.0.1:0"}))
      << host.output();
  const std::string text = host.output();
  std::vector<std::string> endpoints;
  for (size_t at = text.find("listening on tcp:"); at != std::string::npos;
       at = text.find("listening on tcp:", at + 1)) {
    endpoints.push_back(text.substr(at + 13, text.find('\n', at) - at - 13));
  }
  ASSERT_FALSE(endpoints.empty()) << text;
  const std::vector<unsigned char> content = allByteValues(200000);
  writeFile(local / "c", content);
  for (const std::string& endpoint : endpoints) {
    SCOPED_TRACE(endpoint);
    PClient tcp;
    ASSERT_EQ(0, tcp.connect(endpoint)) << tcp.lastError().message();
    ASSERT_EQ(0, tcp.put(PSource::file(local / "c"), host.file("c")));
    ASSERT_EQ(0, tcp.get(host.file("c"), PSink::file(local / "back")));
    EXPECT_EQ(content, readFile(local / "back"));
  }
  EXPECT_EQ(0, host.stop());
  EXPECT_TRUE(host.waitForOutput("SIGTERM received")) << host.output();
}
