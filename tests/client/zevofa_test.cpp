// zevofa end to end: the real program against a real zevohost, its output
// and exit status as a script sees them.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "PClientTestSupport.h"

namespace fs = std::filesystem;

namespace {

class Zevofa : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(host.start()) << host.output(); }
  void TearDown() override {
    if (host.pid() > 0) {
      EXPECT_EQ(0, host.stop()) << host.output();
    }
  }
  PZevofaSetup setup() const { return {{"ZEVOFA_ENDPOINT=" + host.endpoint()}, "", -1}; }
  PRun run(const std::vector<std::string>& iArgs, const std::string& iInput = "") {
    return runZevofa(iArgs, iInput, setup());
  }
  std::string data(const std::string& iName = "") const { return host.data() + "/" + iName; }

  PClientHost host;
  PTempDir local;
};

}  // namespace

TEST_F(Zevofa, HelpForTheProgramAndEveryCommand) {
  const PRun help = run({"--help"});
  EXPECT_EQ(0, help.fExit);
  EXPECT_EQ(0u, help.fOut.find("Usage: zevofa [OPTION]... COMMAND [ARG]..."));
  EXPECT_NE(std::string::npos, help.fOut.find("Exit status:"));
  EXPECT_EQ("", help.fErr);
  EXPECT_EQ(help.fOut, run({"help"}).fOut);
  for (const std::string command : {"ls", "stat", "mkdir", "rm", "rmdir", "get", "put", "help"}) {
    SCOPED_TRACE(command);
    const PRun byHelp = run({"help", command});
    EXPECT_EQ(0, byHelp.fExit);
    EXPECT_EQ(0u, byHelp.fOut.find("Usage: zevofa " + command)) << byHelp.fOut;
    if (command != "help") {
      EXPECT_EQ(byHelp.fOut, run({command, "--help"}).fOut);
      EXPECT_EQ(byHelp.fOut, run({command, "-h"}).fOut);
    }
  }
}

TEST_F(Zevofa, UsageErrorsExitTwoAndSayWhy) {
  struct Case {
    std::vector<std::string> fArgs;
    std::string fMessage;
  };
  const std::vector<Case> cases = {
      {{}, "no command given"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"get"}, "get: missing operand"},
      {{"get", "/a", "b", "c"}, "get: too many operands"},
      {{"put", "a"}, "put needs LOCAL and REMOTE (the host has no current directory)"},
      {{"ls", "-r", "/a"}, "-r is an option of get and put only"},
      {{"stat", "-l", "/a"}, "-l is an option of ls only"},
      {{"--window", "0", "ls", "/"}, "--window must be 1 to 1024, not '0'"},
      {{"--chunk", "9000", "get", "/a"}, "--chunk must be 1 to 8192 bytes for get, not '9000'"},
      {{"--chunk", "2M", "put", "a", "/a"}, "--chunk must be 1 to 1048528 bytes for put, not '2M'"},
      {{"--timeout", "soon", "ls", "/"}, "--timeout must be 0.001 to 86400 seconds, not 'soon'"},
      {{"ls", "/", "--endpoint"}, "option --endpoint needs a value"},
      {{"--bogus", "ls", "/"}, "unknown option --bogus"},
      {{"help", "nothing"}, "no help for 'nothing'"},
      {{"get", "-r", "/a", "-"}, "get -r cannot write a tree to standard output"},
  };
  for (const Case& test : cases) {
    std::string line;
    for (const std::string& arg : test.fArgs) line += " " + arg;
    SCOPED_TRACE(line);
    const PRun usage = run(test.fArgs);
    EXPECT_EQ(2, usage.fExit);
    EXPECT_EQ(0u, usage.fErr.find("zevofa: " + test.fMessage + "\n")) << usage.fErr;
    EXPECT_EQ("", usage.fOut);
  }
}

TEST_F(Zevofa, QueriesAndDirectoryCommands) {
  writeFile(data("a.txt"), {'h', 'e', 'l', 'l', 'o'});
  fs::create_directories(data("sub"));
  writeFile(data("sub/b"), {});

  PRun result = run({"ls", data()});
  EXPECT_EQ(0, result.fExit) << result.fErr;
  EXPECT_EQ("a.txt\nsub\n", result.fOut);
  EXPECT_EQ(result.fOut, run({"ls", host.data()}).fOut) << "a directory named without its final /";
  result = run({"ls", "-l", data()});
  EXPECT_EQ("file            5  a.txt\ndir             -  sub/\n", result.fOut);
  EXPECT_EQ(data("a.txt") + "\n", run({"ls", data("a.txt")}).fOut);
  result = run({"ls", data("nothing/")});
  EXPECT_EQ(1, result.fExit);
  EXPECT_EQ("zevofa: remote: the operation failed: not a directory, or missing (-504): " + data("nothing/") + "\n",
            result.fErr);

  result = run({"stat", data("a.txt")});
  EXPECT_EQ(0, result.fExit);
  EXPECT_EQ("path: " + data("a.txt") + "\nexists: yes\ntype: file\nsize: 5\n", result.fOut);
  EXPECT_EQ("path: " + data("sub") + "\nexists: yes\ntype: directory\n", run({"stat", data("sub")}).fOut);
  result = run({"stat", data("none")});
  EXPECT_EQ(1, result.fExit);
  EXPECT_EQ("path: " + data("none") + "\nexists: no\n", result.fOut);

  result = run({"mkdir", data("x/y"), data("z")});
  EXPECT_EQ(0, result.fExit) << result.fErr;
  EXPECT_TRUE(fs::is_directory(data("x/y")));
  EXPECT_TRUE(fs::is_directory(data("z")));
  result = run({"mkdir", data("a.txt")});
  EXPECT_EQ(1, result.fExit);
  EXPECT_EQ("zevofa: remote: exists and is not a directory (-603): " + data("a.txt") + "\n", result.fErr);

  result = run({"rm", data("sub")});
  EXPECT_EQ(1, result.fExit);
  EXPECT_EQ("zevofa: remote: the path is a directory (-605): " + data("sub") + " (use rmdir)\n", result.fErr);
  result = run({"rmdir", data("sub")});
  EXPECT_EQ(1, result.fExit);
  EXPECT_EQ("zevofa: remote: the directory is not empty (-606): " + data("sub") + "\n", result.fErr);
  // Every operand is tried; the status is the first failure's.
  result = run({"rm", data("missing"), data("sub/b"), data("a.txt")});
  EXPECT_EQ(1, result.fExit);
  EXPECT_EQ("zevofa: remote: no such file or directory (-601): " + data("missing") + "\n", result.fErr);
  EXPECT_FALSE(fs::exists(data("sub/b")));
  EXPECT_FALSE(fs::exists(data("a.txt")));
  EXPECT_EQ(0, run({"rmdir", data("sub"), data("x/y")}).fExit);
  EXPECT_FALSE(fs::exists(data("sub")));
  EXPECT_FALSE(fs::exists(data("x/y")));
}

TEST_F(Zevofa, PolicyRefusalsExitOneWithTheReason) {
  const std::string secret = host.secret() + "/secret.txt";
  writeFile(secret, {'s'});
  writeFile(local / "up", {'u'});
  const std::vector<std::vector<std::string>> commands = {
      {"get", secret, local / "got"}, {"put", local / "up", secret}, {"stat", secret},
      {"rm", secret},                 {"mkdir", secret + "/d"},      {"get", "-r", secret, local / "got"},
  };
  for (const auto& args : commands) {
    SCOPED_TRACE(args[0]);
    const PRun refused = run(args);
    EXPECT_EQ(1, refused.fExit);
    EXPECT_EQ(0u, refused.fErr.find("zevofa: remote: permission denied by policy (-511): " + host.secret() + "/"))
        << refused.fErr;
  }
}

TEST_F(Zevofa, MissingFilesAndLocalErrors) {
  writeFile(local / "keep", {'k'});
  PRun result = run({"get", data("missing"), local / "keep"});
  EXPECT_EQ(1, result.fExit);
  EXPECT_EQ("zevofa: remote: no such file or directory (-601): " + data("missing") + "\n", result.fErr);

  result = run({"put", local / "missing", data("x")});
  EXPECT_EQ(3, result.fExit);
  EXPECT_EQ("zevofa: local: no such file or directory (-601): " + local / "missing" + "\n", result.fErr);
  EXPECT_FALSE(fs::exists(data("x")));

  writeFile(data("a"), {'a'});
  result = run({"get", data("a"), local / "no/such/dir/a"});
  EXPECT_EQ(3, result.fExit);
  EXPECT_EQ("zevofa: local: no such file or directory (-601): " + local / "no/such/dir/a" + "\n", result.fErr);
  result = run({"get", data(), local / "d"});
  EXPECT_EQ(1, result.fExit);
  EXPECT_NE(std::string::npos, result.fErr.find("the path is a directory (-605)")) << result.fErr;
  EXPECT_NE(std::string::npos, result.fErr.find("(use get -r)")) << result.fErr;
  fs::create_directories(local / "dir");
  result = run({"put", local / "dir", data()});
  EXPECT_EQ(3, result.fExit);
  EXPECT_EQ("zevofa: local: the path is a directory (-605): " + local / "dir" + " (use put -r)\n", result.fErr);
}

TEST_F(Zevofa, TreesGoBothWaysByteForByte) {
  const std::string tree = local / "tree";
  makeTree(tree);
  std::string why;

  // Into an existing remote directory: under the local name.
  PRun result = run({"put", "-r", tree, data()});
  ASSERT_EQ(0, result.fExit) << result.fErr;
  EXPECT_EQ("", result.fErr) << "no progress bar without a terminal";
  EXPECT_TRUE(sameTree(tree, data("tree"), why)) << why;
  // To a new name: the copy is that name.
  result = run({"put", "-r", tree, data("renamed")});
  ASSERT_EQ(0, result.fExit) << result.fErr;
  EXPECT_TRUE(sameTree(tree, data("renamed"), why)) << why;

  result = run({"get", "-r", data("tree"), local / "out"});
  ASSERT_EQ(0, result.fExit) << result.fErr;
  EXPECT_TRUE(sameTree(tree, local / "out", why)) << why;
  // LOCAL exists now: the copy goes beneath it.
  result = run({"get", "-r", data("tree"), local / "out"});
  ASSERT_EQ(0, result.fExit) << result.fErr;
  EXPECT_TRUE(sameTree(tree, local / "out/tree", why)) << why;
  // No LOCAL: the remote's name in the working directory.
  fs::create_directories(local / "cwd");
  PZevofaSetup inCwd = setup();
  inCwd.fCwd = local / "cwd";
  result = runZevofa({"get", "-r", data("renamed")}, "", inCwd);
  ASSERT_EQ(0, result.fExit) << result.fErr;
  EXPECT_TRUE(sameTree(tree, local / "cwd/renamed", why)) << why;
  result = runZevofa({"get", data("tree/bin/all.bin")}, "", inCwd);
  ASSERT_EQ(0, result.fExit) << result.fErr;
  EXPECT_EQ(readFile(tree + "/bin/all.bin"), readFile(local / "cwd/all.bin"));
}

TEST_F(Zevofa, TreeCopiesSkipWhatTheyCannotCopyAndSaySo) {
  const std::string tree = local / "tree";
  makeTree(tree);
  ASSERT_EQ(0, mkfifo((tree + "/fifo").c_str(), 0600));
  fs::create_directory_symlink(tree + "/nested", tree + "/loop");
  fs::create_symlink(tree + "/a.txt", tree + "/link.txt");
  const PRun result = run({"put", "-r", tree, data("t")});
  EXPECT_EQ(3, result.fExit);
  EXPECT_NE(std::string::npos, result.fErr.find("zevofa: skipping " + tree + "/fifo: neither a regular file nor a directory"))
      << result.fErr;
  EXPECT_NE(std::string::npos, result.fErr.find("zevofa: skipping " + tree + "/loop:")) << result.fErr;
  EXPECT_FALSE(fs::exists(data("t/fifo")));
  EXPECT_FALSE(fs::exists(data("t/loop")));
  EXPECT_EQ(readFile(tree + "/a.txt"), readFile(data("t/link.txt"))) << "a link to a file is followed";
  EXPECT_EQ(readFile(tree + "/nested/deeper/deepest/leaf.txt"), readFile(data("t/nested/deeper/deepest/leaf.txt")));
}

TEST_F(Zevofa, StreamsThroughStandardInputAndOutputWithAnyWindow) {
  const std::vector<unsigned char> content = allByteValues(4 * 1024 * 1024 + 123);
  const std::string text = textOf(content);
  PRun result = run({"put", "-", data("s.bin")}, text);
  ASSERT_EQ(0, result.fExit) << result.fErr;
  EXPECT_EQ(content, readFile(data("s.bin")));
  result = run({"get", data("s.bin"), "-"});
  ASSERT_EQ(0, result.fExit) << result.fErr;
  EXPECT_TRUE(result.fOut == text) << "standard output differs";
  EXPECT_EQ("", result.fErr);

  result = run({"--window", "1", "--chunk", "1000", "get", data("s.bin"), "-"});
  ASSERT_EQ(0, result.fExit) << result.fErr;
  EXPECT_TRUE(result.fOut == text) << "window 1 differs";
  result = run({"put", "--window=1", "--chunk=5000", "-", data("w1.bin")}, text);
  ASSERT_EQ(0, result.fExit) << result.fErr;
  EXPECT_EQ(content, readFile(data("w1.bin")));
  result = run({"put", "-", data()}, "x");
  EXPECT_EQ(2, result.fExit);
  EXPECT_EQ("zevofa: give a file name for standard input: " + data() + " is a directory\n", result.fErr);
}

TEST_F(Zevofa, ALostConnectionExitsFourWithoutHanging) {
  PZevofa zevofa({"put", "-", data("stream")}, setup());
  ASSERT_TRUE(zevofa.write(patternBytes(1 << 20)));
  eventually([&] { return fs::exists(data("stream")) && fs::file_size(data("stream")) > 0; }, 10);
  ::kill(host.pid(), SIGKILL);
  host.stop();
  zevofa.write(patternBytes(1 << 20));
  const auto started = std::chrono::steady_clock::now();
  const PRun result = zevofa.wait();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(4, result.fExit) << result.fErr;
  EXPECT_EQ(0u, result.fErr.find("zevofa: connection lost")) << result.fErr;
}

TEST_F(Zevofa, ConnectionFailuresAndTimeOutsExitFour) {
  PSilentServer silent;
  const auto started = std::chrono::steady_clock::now();
  PRun result = run({"-e", silent.endpoint(), "--timeout", "0.3", "stat", data()});
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_EQ(4, result.fExit);
  EXPECT_EQ("zevofa: no reply to IsExists within 0.3 s (-4007): " + silent.endpoint() + "\n", result.fErr);

  result = run({"--endpoint", "unix:" + local / "none.sock", "ls", data()});
  EXPECT_EQ(4, result.fExit);
  EXPECT_EQ("zevofa: cannot connect: No such file or directory (-4101): unix:" + local / "none.sock" + "\n",
            result.fErr);
  // -e wins over the environment; the environment over the default.
  EXPECT_EQ(0, runZevofa({"-e", host.endpoint(), "stat", data()}, "", {{"ZEVOFA_ENDPOINT=unix:/nowhere"}, "", -1}).fExit);
  result = runZevofa({"stat", data()}, "", {{"ZEVOFA_ENDPOINT=unix:/nowhere"}, "", -1});
  EXPECT_EQ(4, result.fExit);
  EXPECT_NE(std::string::npos, result.fErr.find("unix:/nowhere")) << result.fErr;
  result = runZevofa({"stat", data()}, "", {});
  EXPECT_EQ(4, result.fExit);
  EXPECT_NE(std::string::npos, result.fErr.find("unix:/run/zevo/zevohost.sock")) << result.fErr;
}

TEST_F(Zevofa, AnInterruptClosesTheRemoteTransferFirst) {
  PZevofa zevofa({"put", "-", data("stream")}, setup());
  ASSERT_TRUE(zevofa.write(patternBytes(256 * 1024)));
  eventually([&] { return fs::exists(data("stream")) && fs::file_size(data("stream")) == 256 * 1024; }, 10);
  ASSERT_EQ(1, host.descriptorsOn(data("stream")));
  zevofa.signal(SIGINT);
  const PRun result = zevofa.wait();
  EXPECT_EQ(130, result.fExit);
  EXPECT_EQ("zevofa: interrupted\n", result.fErr);
  EXPECT_EQ(0, host.descriptorsOn(data("stream")));
  EXPECT_EQ(0, host.stop());
  EXPECT_EQ(std::string::npos, host.output().find("left open")) << host.output();
}

TEST_F(Zevofa, DrawsAProgressBarOnATerminalOnly) {
  writeFile(data("big"), patternBytes(2 * 1024 * 1024));
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  const int terminal = ::open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  auto drawn = [&](const std::vector<std::string>& iArgs) {
    PZevofaSetup onTerminal = setup();
    onTerminal.fStderrFd = terminal;
    const PRun result = runZevofa(iArgs, "", onTerminal);
    EXPECT_EQ(0, result.fExit);
    std::string text;
    char buffer[4096];
    fcntl(master, F_SETFL, O_NONBLOCK);
    for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(got));
    return text;
  };
  const std::string bar = drawn({"get", data("big"), local / "big"});
  EXPECT_NE(std::string::npos, bar.find("100%")) << bar;
  EXPECT_NE(std::string::npos, bar.find("2.0 MiB")) << bar;
  EXPECT_NE(std::string::npos, bar.find("[####")) << bar;
  EXPECT_EQ("", drawn({"-q", "get", data("big"), local / "quiet"}));
  EXPECT_EQ(readFile(data("big")), readFile(local / "quiet"));
  ::close(terminal);
  ::close(master);
}
