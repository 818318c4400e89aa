// zevofa against a real zevohost: its output and exit status as a script
// sees them.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <regex>
#include <thread>

#include "PProcess.h"

namespace fs = std::filesystem;

namespace {

struct PRun {
  int fExit;
  std::string fOut, fErr;
};

class Zevofa : public ::testing::Test {
 protected:
  void SetUp() override {
    host.fFileOps = true;
    ASSERT_TRUE(host.start()) << host.output();
  }
  // zevofa's environment names iEndpoint (empty: the host's); it runs in iCwd.
  PSpawn spawn(const std::string& iEndpoint = "", const std::string& iCwd = "") {
    return PSpawn{{"ZEVOFA_ENDPOINT=" + (iEndpoint.empty() ? host.endpoint() : iEndpoint), "TZ=UTC", "XDG_STATE_HOME=" + local / "state"},
                  iCwd};
  }
  PRun run(const std::vector<std::string>& iArgs, const std::string& iInput = "", const PSpawn& iSpawn = {}) {
    std::vector<std::string> args = {ZEVOFA};
    args.insert(args.end(), iArgs.begin(), iArgs.end());
    PChild child(args, iSpawn.fEnvironment.empty() ? spawn() : iSpawn);
    child.write(Bytes(iInput.begin(), iInput.end()));
    const int status = child.wait();
    return {status, child.out(), child.err()};
  }
  std::string data(const std::string& iName = "") const { return host.data(iName); }
  // The bytes of the largest file the host holds open in data/ (an upload
  // in progress has no name there); -1 when none.
  long long uploadBytes() const {
    long long most = -1;
    std::error_code error;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(host.pid()) + "/fd", error)) {
      const std::string target = fs::read_symlink(fd.path(), error).string();
      if (target.compare(0, data().size(), data()) != 0) continue;
      struct stat info;
      if (::stat(fd.path().c_str(), &info) == 0 && S_ISREG(info.st_mode)) most = std::max<long long>(most, info.st_size);
    }
    return most;
  }

  PHostProcess host;
  PTempDir local;
};

}  // namespace

TEST_F(Zevofa, HelpAndUsageErrors) {
  const PRun help = run({"--help"});
  EXPECT_EQ(0, help.fExit);
  EXPECT_EQ(0u, help.fOut.find("Usage: zevofa [OPTION]... COMMAND [ARG]..."));
  EXPECT_EQ(help.fOut, run({"help"}).fOut);
  const PRun byHelp = run({"help", "get"});
  EXPECT_EQ(0u, byHelp.fOut.find("Usage: zevofa get")) << byHelp.fOut;
  EXPECT_EQ(byHelp.fOut, run({"get", "--help"}).fOut);
  EXPECT_EQ(0u, run({"help", "fleet"}).fOut.find("Usage: zevofa [OPTION]... fleet")) << "the fleet's own page";
  const std::pair<std::vector<std::string>, std::string> usage[] = {
      {{}, "no command given"},
      {{"put", "a"}, "put needs LOCAL and REMOTE (the host has no current directory)"},
      {{"ls", "-r", "/a"}, "-r is an option of rm, get and put only"},
      {{"get", "--json", "/a"}, "--json is an option of ls, stat, sum, whoami and sync only"},
      {{"--window=0", "ls", "/"}, "--window must be 1 to 1024, not '0'"},
      {{"--chunk", "65M", "put", "a", "/a"}, "--chunk must be 1 to 64M bytes, not '65M'"},
      {{"get", "-r", "/a", "-"}, "only one file can be written to standard output"},
      {{"put", "-", "a", "/a"}, "standard input is one file: put - REMOTE"},
      {{"fleet", "-d", "x", "--parallel", "0", "get", "/a", "d"}, "--parallel must be 1 to 256, not '0'"},
      {{"fleet", "-d", "x", "--parallel", "257", "get", "/a", "d"}, "--parallel must be 1 to 256, not '257'"},
      {{"sync", "/a", "/b"}, "sync copies between here and the host: write the remote side as :PATH (sync DIR :/data/dir, sync :/data/dir DIR)"},
  };
  for (const auto& [args, message] : usage) {
    const PRun result = run(args);
    EXPECT_EQ(2, result.fExit) << message;
    EXPECT_EQ(0u, result.fErr.find("zevofa: " + message + "\n")) << result.fErr;
  }
}

TEST_F(Zevofa, CommandsPrintWhatTheyFoundAndExitByTheFailuresOrigin) {
  writeText(data("a.txt"), "hello");
  fs::create_directories(data("sub"));
  writeText(data("sub/b"), "");
  fs::create_directories(host.fDir / "secret");
  writeText(host.fDir / "secret/s", "s");
  const timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 5}};
  for (const char* name : {"a.txt", "sub"}) ASSERT_EQ(0, ::utimensat(AT_FDCWD, data(name).c_str(), times, 0) + ::chmod(data(name).c_str(), 0750));
  EXPECT_EQ("a.txt\nsub\n", run({"ls", data().substr(0, data().size() - 1)}).fOut) << "named without its final /";
  EXPECT_EQ("-rwxr-x---            5 2023-11-14 22:13  a.txt\ndrwxr-x---            - 2023-11-14 22:13  sub/\n", run({"ls", "-l", data()}).fOut);
  const std::string modified = "mode: 0750\nmodified: 2023-11-14T22:13:20.000000005Z\n";
  EXPECT_EQ("path: " + data("a.txt") + "\nexists: yes\ntype: file\nsize: 5\n" + modified, run({"stat", data("a.txt")}).fOut);
  EXPECT_EQ("path: " + data("sub") + "\nexists: yes\ntype: directory\n" + modified, run({"stat", data("sub")}).fOut);
  EXPECT_EQ("{\"mode\":\"0750\",\"mtime\":\"2023-11-14T22:13:20.000000005Z\",\"mtime_ns\":1700000000000000005,\"name\":\"a.txt\",\"path\":\"" +
                data("a.txt") + "\",\"size\":5,\"type\":\"file\"}\n",
            run({"ls", "--json", data("a*")}).fOut) << "a wildcard matched against the listing";
  EXPECT_EQ("2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824  " + data("a.txt") + "\n", run({"sum", data("a.txt")}).fOut);
  EXPECT_EQ(0u, run({"whoami"}).fOut.find("identity: uid:" + std::to_string(::getuid()) + "\nrole: write\n"));
  EXPECT_EQ(0, run({"get", "-r", data("sub"), local / "sub"}).fExit);
  EXPECT_FALSE(std::regex_search(host.output(), std::regex(" (WARNING|ERROR) "))) << "successful commands are refused nothing\n" << host.output();
  writeText(local / "up", "u");
  const std::tuple<std::vector<std::string>, int, std::string /* the start of what it says */> cases[] = {
      {{"stat", data("none")}, 1, ""},
      {{"mkdir", data("x/y"), data("z")}, 0, ""},
      {{"mkdir", host.fDir / "drop/in"}, 0, ""},  // cannot look, but made
      {{"mkdir", data("a.txt")}, 1, "zevofa: remote: exists and is not a directory (-603): " + data("a.txt")},
      {{"rm", data("sub")}, 1, "zevofa: remote: the path is a directory (-605): " + data("sub") + " (use rm -r, or rmdir)"},
      {{"mv", data("a.txt"), data("z")}, 0, ""},
      {{"mv", "--no-clobber", data("z/a.txt"), data("sub/b")}, 1, "zevofa: remote: the path already exists (-603)"},
      {{"chmod", "604", data("none"), data("z/a.txt")}, 1, "zevofa: remote: no such file or directory (-601): " + data("none")},
      {{"get", data("no*")}, 1, "zevofa: remote: no match: " + data("no*")},
      {{"get", data("nodir/*.txt")}, 1, "zevofa: remote: no match: " + data("nodir/*.txt")},
      {{"rm", data("missing"), data("sub/b")}, 1, "zevofa: remote: no such file or directory (-601): " + data("missing")},
      {{"rmdir", data("sub"), data("x/y")}, 0, ""},
      {{"get", "-r", host.fDir / "secret", local / "got"}, 1, "zevofa: remote: permission denied by policy (-511)"},
      {{"put", local / "up", host.fDir / "secret/s"}, 1, "zevofa: remote: permission denied by policy (-511)"},
      {{"get", data(), local / "got"}, 1, "zevofa: remote: the path is a directory (-605)"},
      {{"put", local / "missing", data("x")}, 3, "zevofa: local: no such file or directory (-601): " + local / "missing"},
      {{"put", local.path(), data()}, 3, "zevofa: local: the path is a directory (-605): " + local.path() + " (use put -r)"},
      {{"-e", "unix:" + local / "none.sock", "ls", data()}, 4, "zevofa: cannot connect: No such file or directory (-4101)"},
  };
  for (const auto& [args, code, said] : cases) {
    const PRun result = run(args);
    EXPECT_EQ(code, result.fExit) << args[1] << ": " << result.fErr;
    EXPECT_EQ(0u, result.fErr.find(said)) << result.fErr;
  }
  EXPECT_TRUE(fs::is_directory(data("z")) && fs::is_directory(host.fDir / "drop/in") && !fs::exists(data("sub")) && !fs::exists(data("x/y")) && !fs::exists(data("x/missing")));
  EXPECT_EQ(fs::perms(0604), fs::status(data("z/a.txt")).permissions() & fs::perms::mask);
  EXPECT_EQ(0, run({"rm", "-r", data("z")}).fExit);
  EXPECT_FALSE(fs::exists(data("z")));
  EXPECT_FALSE(fs::exists(local / "got"));
  // -e wins over the environment, the environment over the default.
  EXPECT_EQ(0, run({"-e", host.endpoint(), "stat", data()}, "", spawn("unix:/nowhere")).fExit);
  EXPECT_NE(std::string::npos, run({"stat", data()}, "", spawn("unix:/nowhere")).fErr.find("unix:/nowhere"));
}

TEST_F(Zevofa, TreesAndStreamsGoBothWaysByteForByte) {
  // A tree with nested and empty directories, empty and binary files.
  const std::string tree = local / "tree";
  fs::create_directories(tree + "/empty-dir");
  fs::create_directories(tree + "/nested/deeper/empty-dir");
  writeText(tree + "/a.txt", "hello\n");
  writeFile(tree + "/empty.txt", {});
  writeFile(tree + "/nested/odd.bin", patternBytes(300001, 3));
  writeText(tree + "/nested/deeper/Gr\xC3\xBC\xC3\x9F" "e.txt", std::string("\0\xFF\0", 3));
  for (const auto& [args, copy] : {std::pair{std::vector<std::string>{"put", "-r", tree, data()}, data("tree")},
                                   {{"get", "-r", data("tree"), local / "out"}, local / "out"},
                                   {{"get", "-r", data("tree"), local / "out"}, local / "out/tree"}}) {  // beneath it once it exists
    const PRun result = run(args);
    ASSERT_EQ(0, result.fExit) << result.fErr;
    EXPECT_EQ("", result.fErr) << "no progress bar without a terminal";
    EXPECT_EQ(treeSnapshot(tree), treeSnapshot(copy)) << copy;
  }
  ASSERT_EQ(0, ::mkfifo((tree + "/fifo").c_str(), 0600));
  const PRun skipped = run({"put", "-r", tree, data("t")});
  EXPECT_EQ(3, skipped.fExit);
  EXPECT_NE(std::string::npos, skipped.fErr.find("zevofa: skipping " + tree + "/fifo: neither a regular file nor a directory"));
  EXPECT_EQ(readFile(tree + "/nested/odd.bin"), readFile(data("t/nested/odd.bin")));
  const Bytes content = patternBytes(4 * 1024 * 1024 + 123, 5);
  const std::string text(content.begin(), content.end());
  ASSERT_EQ(0, run({"put", "-", data("s.bin")}, text).fExit);
  EXPECT_EQ(content, readFile(data("s.bin")));
  const PRun streamed = run({"--window", "1", "--chunk", "1000", "get", data("s.bin"), "-"});
  EXPECT_EQ(0, streamed.fExit) << streamed.fErr;
  EXPECT_TRUE(streamed.fOut == text) << "standard output differs";
  ASSERT_EQ(0, run({"get", data("s.bin")}, "", spawn("", local.path())).fExit);
  EXPECT_EQ(content, readFile(local / "s.bin")) << "no LOCAL: the remote's name in the working directory";
  EXPECT_EQ(2, run({"put", "-", data()}, "x").fExit) << "standard input needs a file name";
  // Several sources each way; a remote link and FIFO are skipped, the rest copied.
  ASSERT_EQ(0, run({"put", tree + "/a.txt", tree + "/empty.txt", data("tree/nested/")}).fExit);
  ASSERT_EQ(0, ::symlink("a.txt", data("tree/link").c_str()) + ::mkfifo(data("tree/fifo").c_str(), 0600));
  fs::create_directories(local / "several");
  EXPECT_EQ(0, run({"get", data("tree/nested/*.txt"), local / "several"}).fExit);
  EXPECT_EQ((std::map<std::string, std::string>{{"/a.txt", "file:hello\n"}, {"/empty.txt", "file:"}}), treeSnapshot(local / "several"));
  const PRun skipping = run({"get", "-r", data("tree"), local / "skipping"});
  EXPECT_EQ(1, skipping.fExit);
  EXPECT_NE(std::string::npos, skipping.fErr.find("zevofa: skipping " + data("tree/link") + ": a symbolic link")) << skipping.fErr;
  EXPECT_NE(std::string::npos, skipping.fErr.find("zevofa: skipping " + data("tree/fifo") + ": neither")) << skipping.fErr;
  EXPECT_EQ(readFile(data("tree/nested/odd.bin")), readFile(local / "skipping/nested/odd.bin"));
}

TEST_F(Zevofa, InterruptsAndTimeOutsEndItPromptly) {
  {
    PChild zevofa({ZEVOFA, "put", "-", data("stream")}, spawn());
    ASSERT_TRUE(zevofa.write(patternBytes(256 * 1024)));
    ASSERT_TRUE(eventually([&] { return uploadBytes() == 256 * 1024; }));
    ::kill(zevofa.pid(), SIGINT);
    EXPECT_EQ(130, zevofa.wait());
    EXPECT_EQ("zevofa: interrupted\n", zevofa.err());
    EXPECT_EQ(-1, uploadBytes()) << "the remote upload is closed first";
    EXPECT_FALSE(fs::exists(data("stream"))) << "nothing shows of it";
  }
  EXPECT_EQ(std::string::npos, host.output().find("left open"));
  const std::string silent = local / "silent.sock";  // takes connections, never answers
  const PFd server = streamSocket(silent, true);
  const PRun result = run({"-e", "unix:" + silent, "--timeout", "0.3", "stat", data()});
  EXPECT_EQ(4, result.fExit);
  EXPECT_EQ("zevofa: no reply to SessionInfo within 0.3 s (-4007): unix:" + silent + "\n", result.fErr);
}

TEST_F(Zevofa, AnUploadCutAtAnyMomentLeavesTheOldFileOrTheNewOne) {
  const Bytes old = patternBytes(100000, 1), fresh = patternBytes(16 << 20, 2);
  writeFile(local / "new", fresh);
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  for (int round = 0; round < 8; ++round) {
    writeFile(data("target"), old);
    const bool killHost = round % 2 == 1;
    PChild zevofa({ZEVOFA, "--chunk", "16K", "--window", "1", "put", local / "new", data("target")}, spawn());
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 250));
    ::kill(killHost ? host.pid() : zevofa.pid(), SIGKILL);
    zevofa.wait();
    const Bytes now = readFile(data("target"));
    EXPECT_TRUE(now == old || now == fresh) << "round " << round << ": " << now.size() << " bytes";
    if (killHost) {
      host.stop();
      ASSERT_TRUE(host.start()) << host.output();
    }
  }
}

TEST_F(Zevofa, ACutPutGoesOnWithTheRestAndAGetFromItsPartialFile) {
  const Bytes content = patternBytes(16 << 20, 3);
  writeFile(local / "big", content);
  PChild cut({ZEVOFA, "--chunk", "16K", "--window", "1", "put", local / "big", data("big")}, spawn());
  ASSERT_TRUE(eventually([&] { return uploadBytes() >= (1 << 20); }));
  ::kill(cut.pid(), SIGKILL);
  cut.wait();
  EXPECT_FALSE(fs::exists(data("big")));
  const PRun resumed = run({"-v", "put", "--continue", local / "big", data("big")});
  ASSERT_EQ(0, resumed.fExit) << resumed.fErr;
  std::smatch said;
  ASSERT_TRUE(std::regex_search(resumed.fErr, said, std::regex("\\((\\d+) bytes sent, went on at (\\d+)\\)"))) << resumed.fErr;
  EXPECT_GE(std::stoll(said[2]), 1 << 20);
  EXPECT_EQ(static_cast<long long>(content.size()), std::stoll(said[1]) + std::stoll(said[2])) << "only the rest was sent";
  EXPECT_TRUE(content == readFile(data("big")));
  EXPECT_EQ(-1, uploadBytes()) << "nothing is kept once committed";
  // A get cut by the host's end keeps its bytes, and goes on from them.
  PChild get({ZEVOFA, "--chunk", "4K", "--window", "1", "get", data("big"), local / "back"}, spawn());
  ASSERT_TRUE(eventually([&] { return fs::exists(local / ".back.zevofa-part") && fs::file_size(local / ".back.zevofa-part") >= (256 << 10); }));
  ::kill(host.pid(), SIGKILL);
  EXPECT_EQ(4, get.wait());
  host.stop();
  ASSERT_TRUE(host.start());
  const PRun again = run({"-v", "get", "--continue", "--verify", data("big"), local / "back"});
  ASSERT_EQ(0, again.fExit) << again.fErr;
  EXPECT_NE(std::string::npos, again.fErr.find(", went on at ")) << again.fErr;
  EXPECT_TRUE(content == readFile(local / "back"));
}

TEST_F(Zevofa, SyncMovesOnlyWhatChangedAndSaysEachChange) {
  const std::string src = local / "src";
  fs::create_directories(src + "/a");
  fs::create_directories(src + "/e");
  for (const char* name : {"a/1", "a/2", "a/3", "a/4", "a/5", "keep"}) writeText(src + "/" + name, std::string("content of ") + name);
  ASSERT_EQ(0, run({"sync", src, ":" + data("dst")}).fExit);
  const auto inode = [&](const std::string& iName) {
    struct stat info;
    return ::stat(data("dst/" + iName).c_str(), &info) == 0 ? static_cast<long long>(info.st_ino) : -1LL;
  };
  std::map<std::string, long long> before;
  for (const char* name : {"a/4", "keep"}) before[name] = inode(name);
  // Content of the same size, a longer file, a new time, a new mode, one gone, one new.
  writeText(src + "/a/1", "CONTENT OF a/1");
  writeText(src + "/a/2", "content of a/2, longer");
  const timespec later[2] = {{0, UTIME_OMIT}, {1800000000, 0}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, (src + "/a/3").c_str(), later, 0) + ::chmod((src + "/a/4").c_str(), 0600));
  fs::remove(src + "/a/5");
  writeText(src + "/new", "new");
  const std::string expected = "<f..t.. a/1\n<f.st.. a/2\n<f..t.. a/3\n.f...p. a/4\n*deleting a/5\n<f+++++ new\n";
  const PRun dry = run({"sync", "--delete", "--dry-run", src, ":" + data("dst")});
  EXPECT_EQ(expected, dry.fOut.substr(dry.fOut.find("<f..t.. a/1"))) << dry.fOut;
  EXPECT_EQ("content of a/1", readText(data("dst/a/1"))) << "a dry run changes nothing";
  const PRun real = run({"sync", "--delete", src, ":" + data("dst")});
  ASSERT_EQ(0, real.fExit) << real.fErr;
  EXPECT_NE(std::string::npos, real.fOut.find(expected)) << real.fOut;
  EXPECT_EQ(treeSnapshot(src), treeSnapshot(data("dst")));
  EXPECT_EQ(before["a/4"], inode("a/4")) << "a new mode alone moves no data";
  EXPECT_EQ(before["keep"], inode("keep")) << "an unchanged file is not sent";
  EXPECT_EQ(fs::last_write_time(src + "/a/3"), fs::last_write_time(data("dst/a/3")));
  EXPECT_EQ(fs::last_write_time(src + "/a"), fs::last_write_time(data("dst/a"))) << "a directory's time is kept too";
  EXPECT_EQ("", run({"sync", "--delete", src, ":" + data("dst")}).fOut) << "nothing left to move";
  // The same size and time: only --checksum sees the change.
  const auto time = fs::last_write_time(src + "/a/1");
  writeText(src + "/a/1", "CONTENT OF A/1");
  fs::last_write_time(src + "/a/1", time);
  EXPECT_EQ("", run({"sync", src, ":" + data("dst")}).fOut);
  EXPECT_EQ("<fc.... a/1\n", run({"sync", "--checksum", src, ":" + data("dst")}).fOut);
  EXPECT_EQ(0, run({"sync", ":" + data("dst"), local / "back"}).fExit);
  EXPECT_EQ(treeSnapshot(src), treeSnapshot(local / "back"));
  EXPECT_EQ(fs::last_write_time(src + "/a/3"), fs::last_write_time(local / "back/a/3"));
  // Every mode comes back, none included.
  ASSERT_EQ(0, ::chmod(data("dst/keep").c_str(), 0));
  EXPECT_EQ(".f...p. keep\n", run({"sync", ":" + data("dst"), local / "back"}).fOut);
  struct stat back;
  ASSERT_EQ(0, ::stat((local / "back/keep").c_str(), &back));
  EXPECT_EQ(0u, back.st_mode & 07777);
}

TEST_F(Zevofa, MessagesSayWhatToDo) {
  PHostProcess other;  // a reader over TCP, and TLS on a port dialled plainly
  other.fFileOps = true;
  other.useDefaultConfig(tlsLines() + "role.read = tcp:127.0.0.1\nrole.write = cert:client-a\n");
  ASSERT_TRUE(other.start({"--listen", "tcp:127.0.0.1:0", "--listen", "tls:127.0.0.1:0"})) << other.output();
  std::string tcp, tls;
  for (const std::string& endpoint : other.endpoints()) (endpoint.compare(0, 4, "tls:") == 0 ? tls : endpoint.compare(0, 4, "tcp:") == 0 ? tcp : tls) = endpoint;
  ASSERT_FALSE(tcp.empty() || tls.empty()) << other.output();
  writeText(local / "f", "f");
  const std::string stranger = local / "stranger.sock";
  const PFd server = streamSocket(stranger, true);
  std::thread ssh([&] {
    const PFd peer(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
    const std::string banner = "SSH-2.0-OpenSSH_9.2p1 Debian-2 " + std::string(60, 'x') + "\r\n";  // quoted up to 80 bytes
    EXPECT_EQ(static_cast<ssize_t>(banner.size()), ::write(peer.get(), banner.data(), banner.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  });
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-e", tcp, "put", local / "f", other.data("f")}, "zevofa: remote: permission denied: your role on this host is read (-511): " + other.data("f")},
      {{"-e", "tcp" + tls.substr(3), "ls", other.data()}, "zevofa: connection lost before any answer: if the host serves TLS there, connect with tls:HOST:PORT (and --ca) (-4005): tcp"},
      {{"-e", "unix:" + stranger, "ls", "/"}, "zevofa: the peer is not a zevo host; it said \"SSH-2.0-OpenSSH_9.2p1 Debian-2 " + std::string(49, 'x') + "\" (-4104)"},
  };
  for (const auto& [args, said] : cases) EXPECT_EQ(0u, run(args).fErr.find(said)) << run(args).fErr;
  ssh.join();
}

TEST(ZevofaFallback, AHostWithoutTheFileOperationsModuleIsServedAndSaysSoOnce) {
  PHostProcess host;
  ASSERT_TRUE(host.start()) << host.output();
  PTempDir local;
  writeFile(local / "f", patternBytes(70000));
  PSpawn spawn;
  spawn.fEnvironment = {"ZEVOFA_ENDPOINT=" + host.endpoint()};
  PChild put({ZEVOFA, "put", local / "f", host.data("f")}, spawn);
  EXPECT_EQ(0, put.wait());
  EXPECT_EQ("zevofa: warning: the host has no file-operations module: uploads are not atomic, nothing can be verified or resumed, "
            "and modes and times are not kept\n",
            put.err());
  EXPECT_EQ(readFile(local / "f"), readFile(host.data("f")));
  PChild sum({ZEVOFA, "sum", host.data("f")}, spawn);
  EXPECT_EQ(1, sum.wait());
  EXPECT_NE(std::string::npos, sum.err().find("the host has no file-operations module, which checksums needs (-4107)")) << sum.err();
}
