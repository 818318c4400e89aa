// zevofa against a real zevohost: its output and exit status as a script
// sees them.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "PProcess.h"

namespace fs = std::filesystem;

namespace {

struct PRun {
  int fExit;
  std::string fOut, fErr;
};

class Zevofa : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(host.start()) << host.output(); }
  // zevofa's environment names iEndpoint (empty: the host's); it runs in iCwd.
  PSpawn spawn(const std::string& iEndpoint = "", const std::string& iCwd = "") {
    return PSpawn{{"ZEVOFA_ENDPOINT=" + (iEndpoint.empty() ? host.endpoint() : iEndpoint)}, iCwd};
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
  const std::pair<std::vector<std::string>, std::string> usage[] = {
      {{}, "no command given"},
      {{"put", "a"}, "put needs LOCAL and REMOTE (the host has no current directory)"},
      {{"ls", "-r", "/a"}, "-r is an option of get and put only"},
      {{"--window=0", "ls", "/"}, "--window must be 1 to 1024, not '0'"},
      {{"--chunk", "9000", "get", "/a"}, "--chunk must be 1 to 8192 bytes for get, not '9000'"},
      {{"--chunk", "2M", "put", "a", "/a"}, "--chunk must be 1 to 1048528 bytes for put, not '2M'"},
      {{"get", "-r", "/a", "-"}, "get -r cannot write a tree to standard output"},
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
  EXPECT_EQ("a.txt\nsub\n", run({"ls", data().substr(0, data().size() - 1)}).fOut) << "named without its final /";
  EXPECT_EQ("file            5  a.txt\ndir             -  sub/\n", run({"ls", "-l", data()}).fOut);
  EXPECT_EQ("path: " + data("a.txt") + "\nexists: yes\ntype: file\nsize: 5\n", run({"stat", data("a.txt")}).fOut);
  EXPECT_EQ("path: " + data("sub") + "\nexists: yes\ntype: directory\n", run({"stat", data("sub")}).fOut);
  EXPECT_EQ(0, run({"get", "-r", data("sub"), local / "sub"}).fExit);
  EXPECT_FALSE(std::regex_search(host.output(), std::regex(" (WARNING|ERROR) "))) << "successful commands are refused nothing\n" << host.output();
  writeText(local / "up", "u");
  const std::tuple<std::vector<std::string>, int, std::string /* the start of what it says */> cases[] = {
      {{"stat", data("none")}, 1, ""},
      {{"mkdir", data("x/y"), data("z")}, 0, ""},
      {{"mkdir", host.fDir / "drop/in"}, 0, ""},  // cannot look, but made
      {{"mkdir", data("a.txt")}, 1, "zevofa: remote: exists and is not a directory (-603): " + data("a.txt")},
      {{"rm", data("sub")}, 1, "zevofa: remote: the path is a directory (-605): " + data("sub") + " (use rmdir)"},
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
}

TEST_F(Zevofa, InterruptsAndTimeOutsEndItPromptly) {
  {
    PChild zevofa({ZEVOFA, "put", "-", data("stream")}, spawn());
    ASSERT_TRUE(zevofa.write(patternBytes(256 * 1024)));
    ASSERT_TRUE(eventually([&] { return fs::exists(data("stream")) && fs::file_size(data("stream")) == 256 * 1024; }));
    ASSERT_EQ(1, host.descriptorsOn(data("stream")));
    ::kill(zevofa.pid(), SIGINT);
    EXPECT_EQ(130, zevofa.wait());
    EXPECT_EQ("zevofa: interrupted\n", zevofa.err());
    EXPECT_EQ(0, host.descriptorsOn(data("stream"))) << "the remote transfer is closed first";
  }
  EXPECT_EQ(std::string::npos, host.output().find("left open"));
  const std::string silent = local / "silent.sock";  // takes connections, never answers
  const PFd server = streamSocket(silent, true);
  const PRun result = run({"-e", "unix:" + silent, "--timeout", "0.3", "stat", data()});
  EXPECT_EQ(4, result.fExit);
  EXPECT_EQ("zevofa: no reply to IsExists within 0.3 s (-4007): unix:" + silent + "\n", result.fErr);
}
