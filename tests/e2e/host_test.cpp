// zevohost end to end: a real process, its configuration, signals, the
// plug-in behind real sockets, and the limits of a real process.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "PPayload.h"
#include "PProcess.h"
#include "zevo/PDataReader.h"
#include "zevo/protocol/PFileAccessProtocol.h"
#include "zevo/protocol/PFileOpsProtocol.h"

namespace {

std::pair<int, int> open(PWireClient& ioClient, const std::string& iPath, int iMode) {
  const PWireFrame reply = ioClient.call(kStartFileTransfer, PPayload().str(iPath).i32(iMode));
  return {reply.fWord, payloadOf<int>(reply.fPayload)};
}

}  // namespace

TEST(Host, StartUpFailuresSayWhyAndExitNonZero) {
  PHostProcess host;
  const std::string dir = host.configDir();
  struct Case {
    std::vector<std::string> fArgs;
    std::string fSet, fText;  // a set written over the default configuration
    int fExit;
    std::string fSaid;
  };
  const Case cases[] = {
      {{"--config-dir", host.fDir / "missing"}, "", "", 1, "does not exist"},
      {{"--frobnicate"}, "", "", 2, "unknown option --frobnicate"},
      {{"--config-dir", dir}, "zevohost", "plugins = " ZEVO_FILEACCESS_PLUGIN "\nlisten unix:/tmp/x\n", 1, dir + "/zevohost.conf:2"},
      {{"--config-dir", dir}, "zevop.fileaccess", "fileaccess.read = /data\n", 1, "fileaccess.write"},
      {{"--config-dir", dir, "--plugin", "/nonexistent/libx.so"}, "", "", 1, "/nonexistent/libx.so"},
      // None named: the build tree has no plug-in directory beside the host.
      {{"--config-dir", dir}, "zevohost", "workers = 2\n", 1, "no plug-ins to load: cannot list the plug-in directory"},
      {{"--config-dir", dir, "--listen", "udp:1"}, "", "", 1, "--listen: unknown endpoint"},
      // A bad value by its file, line and key (tests/host: every kind, and options).
      {{"--config-dir", dir}, "zevohost", "plugins = " ZEVO_FILEACCESS_PLUGIN "\nsymlinks = Follow\n", 1,
       dir + "/zevohost.conf:2: symlinks: \"Follow\" is not refuse or follow"},
      {{"--config-dir", dir, "--listen", "tls:127.0.0.1:0"}, "", "", 1, "TLS needs tls.cert, tls.key and tls.ca"},
      {{"--config-dir", dir, "--tls-key", certificate("client.key")}, "zevohost", "plugins = " ZEVO_FILEACCESS_PLUGIN "\n" + tlsLines(), 1, "key values mismatch"},
      {{"--config-dir", dir, "--listen", "tcp:0.0.0.0:0"}, "", "", 1, "refusing to serve plain TCP on tcp:0.0.0.0:"},
      {{"--config-dir", dir, "--listen", "tcp:*:0", "--tcp-insecure", "off"}, "", "", 1, "refusing to serve plain TCP"},
  };
  for (const Case& test : cases) {
    host.useDefaultConfig();
    if (!test.fSet.empty()) host.setConfig(test.fSet, test.fText);
    std::vector<std::string> args = {ZEVOHOST};
    args.insert(args.end(), test.fArgs.begin(), test.fArgs.end());
    PChild run(args);
    EXPECT_EQ(test.fExit, run.wait()) << test.fSaid;
    EXPECT_NE(std::string::npos, run.err().find(test.fSaid)) << run.err();
  }
}

TEST(Host, TakesItsSettingsFromItsSetOrTheOptionsAndEndsCleanlyOnASignal) {
  PHostProcess host;
  writeText(host.fDir / "secret", "secret");
  ASSERT_EQ(0, ::symlink((host.fDir / "secret").c_str(), host.data("link").c_str()));
  host.useDefaultConfig();
  std::filesystem::rename(host.configDir() + "/zevop.fileaccess.conf", host.fDir / "persist.conf");
  ASSERT_EQ(0, ::symlink((host.fDir / "persist.conf").c_str(), (host.configDir() + "/zevop.fileaccess.conf").c_str()))
      << "a set that is a link loads all the same: the configuration is the administrator's";
  const gid_t own = getegid();
  const group* named = getgrgid(own);
  ASSERT_NE(nullptr, named);
  const gid_t other = geteuid() == 0 ? own + 4242 : own;  // only root may give any group
  // The host set's lines and the options: the result of opening a path through a link, the socket's mode and group.
  const std::tuple<std::string, std::vector<std::string>, int, unsigned, gid_t> cases[] = {
      {"", {"--config-dir", "etc"}, PERR_SYMLINK, 0660, own},  // relative: the plug-in's set is found too
      {"symlinks = follow\nsocket.mode = 0640\n", {"--socket-group", named->gr_name}, 0, 0640, own},
      {"symlinks = follow\nsocket.mode = 0640\n", {"--symlinks", "refuse", "--socket-mode", "0600"}, PERR_SYMLINK, 0600, own},
      {"symlinks = refuse\n", {"--symlinks=follow", "--socket-mode=604", "--socket-group=" + std::to_string(other)}, 0, 0604, other},
  };
  for (const auto& [lines, args, link, mode, gid] : cases) {
    host.setConfig("zevohost", "plugins = " ZEVO_FILEACCESS_PLUGIN "\nlisten = unix:" + (host.fDir / "host.sock") +
                                   "\ntransfer.max = 1\n" + lines);
    ASSERT_TRUE(host.start(args, host.fDir.path())) << host.output();
    struct stat info;
    ASSERT_EQ(0, ::lstat(host.endpoint().substr(5).c_str(), &info));
    EXPECT_EQ(std::make_pair(mode, gid), std::make_pair(info.st_mode & 07777, info.st_gid)) << lines;
    PWireClient client(host.endpoint());
    EXPECT_EQ(link, open(client, host.data("link"), 1).first) << lines;
    EXPECT_EQ(link == 0 ? PERR_TOO_MANY_FILES : link, open(client, host.data("link"), 1).first) << "transfer.max";
    EXPECT_EQ(std::string::npos, host.output().find("unknown key"));
    ::kill(host.pid(), SIGINT);  // with a transfer open where the link is followed
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_EQ(0, host.stop());
    EXPECT_FALSE(std::filesystem::exists(host.fDir / "host.sock"));
  }
}

TEST(Host, SighupReloadsTheTlsMaterialWhileConnectedPeersStay) {
  PHostProcess host;
  std::filesystem::copy_file(certificate("server.pem"), host.fDir / "server.pem");
  std::filesystem::copy_file(certificate("server.key"), host.fDir / "server.key");
  host.useDefaultConfig("tls.cert = server.pem\ntls.key = server.key\ntls.ca = " + certificate("ca.pem") + "\ntcp.insecure = on\nrole.read = *\n");
  ASSERT_TRUE(host.start({"--listen", "tls:127.0.0.1:0", "--listen", "tcp:0.0.0.0:0"}, host.fDir.path())) << host.output();
  EXPECT_NE(std::string::npos, host.output().find("serves plain TCP beyond this machine (tcp.insecure = on)"));
  PWireClient connected(host.endpoint());
  const auto reload = [&](const std::string& iCert, const std::string& iKey, const std::string& iSaid) {
    std::filesystem::copy_file(iCert, host.fDir / "server.pem", std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(iKey, host.fDir / "server.key", std::filesystem::copy_options::overwrite_existing);
    const size_t before = host.output().size();
    ::kill(host.pid(), SIGHUP);
    EXPECT_TRUE(eventually([&] { return host.output().find(iSaid, before) != std::string::npos; })) << host.output();
  };
  reload(certificate("server2.pem"), certificate("server2.key"), "reloaded the TLS material");
  PWireClient fresh, stale;
  EXPECT_TRUE(fresh.connect(host.endpoint(), {"ca2"})) << "new handshakes show the new certificate";
  EXPECT_FALSE(stale.connect(host.endpoint(), {"ca"}));
  reload(certificate("server.pem"), certificate("server2.key"), "TLS material not reloaded, the previous one serves on");
  EXPECT_TRUE(fresh.connect(host.endpoint(), {"ca2"}));
  EXPECT_EQ(0, connected.call(kIsExists, PPayload().str(host.data())).fWord) << "the peer of before is served on";
}

TEST(Host, ServesTheSocketsSystemdPassesAndLeavesTheirFiles) {
#ifndef ZEVO_WITH_SYSTEMD
  GTEST_SKIP() << "built without libsystemd";
#endif
  PHostProcess host;
  host.useDefaultConfig("role.read = tcp:127.0.0.1\n");  // its own socket, host.sock, is not used
  writeText(host.data("file"), "x");
  const std::string path = host.fDir / "passed.sock";
  for (const auto& [unixPath, listening] : {std::pair{path, true}, {std::string(), true}, {path + "2", false}}) {
    PFd socket = streamSocket(unixPath, listening);
    const bool up = host.start({}, "", socket.get());
    if (!listening) {
      EXPECT_FALSE(up);
      EXPECT_NE(std::string::npos, host.output().find("descriptor 3 that systemd passed is a socket, but not a listening"))
          << host.output();
      continue;
    }
    ASSERT_TRUE(up) << host.output();
    EXPECT_EQ(1u, host.endpoints().size());
    EXPECT_EQ(0u, host.endpoint().rfind(unixPath.empty() ? "tcp:127.0.0.1:" : "unix:" + unixPath, 0)) << host.endpoint();
    EXPECT_FALSE(std::filesystem::exists(host.fDir / "host.sock"));
    PWireClient client(host.endpoint());
    EXPECT_EQ(0, open(client, host.data("file"), 1).first);
    EXPECT_EQ(0, host.stop());
  }
  EXPECT_TRUE(std::filesystem::is_socket(path)) << "the file of a passed socket is left to systemd";
}

TEST(Host, AuditLinesNameThePeerAndTheResultAndChunksAreLoggedOnlyAtTrace) {
  PHostProcess host;
  const std::string log = host.fDir / "host.log", big = host.data("big"), up = host.data("up");
  writeFile(big, patternBytes(70000, 5));
  const std::string peer =
      " peer=unix:" + std::to_string(::getpid()) + ":" + std::to_string(::getuid()) + " identity=uid:" + std::to_string(::getuid());
  const std::vector<std::string> audit = {
      "StartFileTransfer status=0 connection=1" + peer + " mode=read path=" + big,
      "CloseFileTransfer status=0 connection=1" + peer + " mode=read bytes=70000 path=" + big,
      "StartFileTransfer status=0 connection=1" + peer + " mode=write path=" + up,
      "DeleteFile status=0 connection=2" + peer + " path=" + up};
  // An upload its peer left is cut, with the bytes that came: never a close with status 0.
  const std::vector<std::string> refused = {"DeleteFile status=-511(ERR_ACCESS_DENIED) connection=1" + peer + " path=" + host.fDir / "outside",
                                            "TransferCut connection=1" + peer + " mode=write bytes=3000 by=connection-end path=" + up};
  for (const std::string level : {"info", "debug", "trace"}) {
    host.stop();
    std::filesystem::remove(log);
    host.useDefaultConfig("log.level = " + level + "\nlog.target = file:" + log + "\n");
    ASSERT_TRUE(host.start()) << host.output();
    int down = 0, chunks = 0;
    {
      PWireClient client(host.endpoint());
      down = open(client, big, 1).second;
      while (client.call(kGetNextFileData, PPayload().i32(down).i32(1000)).fWord == 0) ++chunks;
      EXPECT_EQ(0, client.call(kCloseFileTransfer, PPayload().i32(down)).fWord);
      const int upload = open(client, up, 2).second;
      for (int i = 0; i < 3; ++i) client.call(kSetNextFileData, PPayload().i32(upload).bytes(Bytes(1000, 'u')));
      EXPECT_EQ(ERR_ACCESS_DENIED, client.call(kDeleteFile, PPayload().str(host.fDir / "outside")).fWord);
    }  // leaves with the upload open: no descriptor outlives its peer
    ASSERT_TRUE(eventually([&] { return host.descriptorsOn(up) == 0; }));
    EXPECT_EQ(0, PWireClient(host.endpoint()).call(kDeleteFile, PPayload().str(up)).fWord);
    EXPECT_EQ(0, host.stop());
    std::vector<std::string> infos, warnings;
    int errors = 0, naming = 0;  // lines naming the download's ID
    std::istringstream in(readText(log));
    for (std::string line; std::getline(in, line);) {
      const std::string text = line.substr(line.find(": ") + 2);
      if (line.find(" INFO zevohost.audit: ") != std::string::npos) {
        infos.push_back(std::regex_replace(text, std::regex(" (transfer|duration_ms)=-?[0-9]+"), ""));
      }
      if (line.find(" WARNING ") != std::string::npos) warnings.push_back(std::regex_replace(text, std::regex(" (transfer|duration_ms)=-?[0-9]+"), ""));
      errors += line.find(" ERROR ") != std::string::npos;
      naming += line.find(std::to_string(down)) != std::string::npos;
    }
    EXPECT_EQ(audit, infos) << level;
    EXPECT_EQ(refused, warnings);
    EXPECT_EQ(0, errors) << "the plug-in's own refusal is no error";
    if (level == "trace") {
      EXPECT_GT(naming, chunks) << "a line per chunk";
    } else {
      EXPECT_EQ(2, naming) << "its opening and its close, whatever the chunks";
    }
  }
}

TEST(Host, RunsAsTheUserItIsGivenSoTheTreesOwnPermissionsApply) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can become another user";
  PHostProcess host;
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nullptr, nobody);
  ASSERT_EQ(0, ::chmod(host.fDir.path().c_str(), 0755) + ::chmod(host.data().c_str(), 0777));
  writeText(host.data("root-only"), "secret");
  ASSERT_EQ(0, ::chmod(host.data("root-only").c_str(), 0600));
  ASSERT_TRUE(host.start({"--user", "nobody"})) << host.output();
  std::string status = readText("/proc/" + std::to_string(host.pid()) + "/status");
  const std::string id = std::to_string(nobody->pw_uid);
  EXPECT_NE(std::string::npos, status.find("\nUid:\t" + id + "\t" + id + "\t" + id + "\t")) << status;
  EXPECT_NE(std::string::npos, status.find("\nCapEff:\t0000000000000000\n"));
  PWireClient client(host.endpoint());
  EXPECT_EQ(PERR_ACCESS, open(client, host.data("root-only"), 1).first);
  const int upload = open(client, host.data("up"), 2).second;
  EXPECT_EQ(0, client.call(kSetNextFileData, PPayload().i32(upload).bytes({'u'})).fWord + client.call(kCloseFileTransfer, PPayload().i32(upload)).fWord);
  struct stat info;
  ASSERT_EQ(0, ::stat(host.data("up").c_str(), &info));
  EXPECT_EQ(nobody->pw_uid, info.st_uid);
}

TEST(Host, AReaderQueriesAndDownloadsButEveryChangeIsRefusedAsThePolicyRefusesIt) {
  PHostProcess host;
  writeText(host.data("file"), "keep");
  std::filesystem::create_directory(host.data("dir"));
  host.useDefaultConfig("role.read = tcp:127.0.0.1\ntransfer.isolation = off\n");
  ASSERT_TRUE(host.start({"--listen", "unix:" + host.fDir / "host.sock", "--listen", "tcp:127.0.0.1:0"})) << host.output();
  PWireClient writer(host.endpoints()[0]), reader(host.endpoints()[1]);
  const int upload = open(writer, host.data("up"), 2).second, download = open(writer, host.data("file"), 1).second;
  const std::string outside = host.fDir / "outside";
  // Each change the reader asks for, and the writer's request that the policy refuses.
  const std::tuple<uint32_t, Bytes, Bytes> changes[] = {
      {kStartFileTransfer, PPayload().str(host.data("new")).i32(2), PPayload().str(outside).i32(2)},
      {kSetNextFileData, PPayload().i32(upload).bytes({'x'}), PPayload().i32(download).bytes({'x'})},
      {kMakeDir, PPayload().str(host.data("made")), PPayload().str(outside)},
      {kDeleteFile, PPayload().str(host.data("file")), PPayload().str(outside)},
      {kDeleteDir, PPayload().str(host.data("dir")), PPayload().str(outside)},
  };
  for (const auto& [action, asked, policy] : changes) {
    const PWireFrame refused = reader.call(action, asked), byPolicy = writer.call(action, policy);
    EXPECT_EQ(ERR_ACCESS_DENIED, byPolicy.fWord);
    EXPECT_EQ(std::make_tuple(byPolicy.fWord, byPolicy.fModule, byPolicy.fPayload), std::make_tuple(refused.fWord, refused.fModule, refused.fPayload))
        << fileAccessActionName(action);
  }
  EXPECT_EQ(0, writer.call(kCloseFileTransfer, PPayload().i32(upload)).fWord);
  EXPECT_EQ("keep", readText(host.data("file")));
  EXPECT_EQ(0u, std::filesystem::file_size(host.data("up")));
  EXPECT_TRUE(std::filesystem::is_directory(host.data("dir")));
  EXPECT_FALSE(std::filesystem::exists(host.data("new")) || std::filesystem::exists(host.data("made")));
  const auto [status, id] = open(reader, host.data("file"), 1);
  ASSERT_EQ(0, status);
  EXPECT_EQ((Bytes{'k', 'e', 'e', 'p'}), payloadOf<Bytes>(reader.call(kGetNextFileData, PPayload().i32(id).i32(100)).fPayload));
  EXPECT_EQ(0, reader.call(kCloseFileTransfer, PPayload().i32(id)).fWord);
}

TEST(Host, ByDefaultItsOwnUserWritesAndPeersWithoutARoleAreRefused) {
  PHostProcess host;
  host.useDefaultConfig(tlsLines());
  ASSERT_TRUE(host.start({"--listen", "unix:" + host.fDir / "host.sock", "--listen", "tcp:127.0.0.1:0", "--listen", "tls:127.0.0.1:0"}))
      << host.output();
  EXPECT_EQ(0, PWireClient(host.endpoints()[0]).call(kMakeDir, PPayload().str(host.data("made"))).fWord);
  EXPECT_TRUE(std::filesystem::is_directory(host.data("made")));
  for (const auto& [endpoint, identity] : {std::pair{host.endpoints()[1], "tcp:127.0.0.1"}, {host.endpoints()[2], "cert:client-a"}}) {
    PWireClient peer(endpoint);
    PWireFrame error;
    ASSERT_TRUE(peer.receive(error)) << endpoint;
    EXPECT_EQ(std::make_pair(FRAME_ERROR, ERR_COMMS_REFUSED), std::make_pair(error.fKind, error.fWord));
    EXPECT_TRUE(peer.closedByPeer());
    EXPECT_TRUE(eventually([&, who = identity] { return host.output().find(std::string(who) + " has no role") != std::string::npos; }))
        << host.output();
  }
}

TEST(Host, NothingIsServedBeforeThePrivilegesAreGivenUp) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give up root";
  PHostProcess host;
  ASSERT_EQ(0, ::chmod(host.fDir.path().c_str(), 0755) + ::chmod(host.data().c_str(), 0777));
  writeText(host.data("root-only"), "secret");
  std::filesystem::create_directory(host.data("root-dir"));
  ASSERT_EQ(0, ::chmod(host.data("root-only").c_str(), 0600) + ::chmod(host.data("root-dir").c_str(), 0700));
  host.useDefaultConfig("user = nobody\nlog.level = warning\n");
  const std::string socket = host.fDir / "host.sock";
  for (int start = 0; start < 20; ++start) {
    std::filesystem::remove(socket);
    PChild run({ZEVOHOST, "--config-dir", host.configDir()});
    // The first instant the socket is there: asked at once, as root.
    PWireClient client;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!client.connect("unix:" + socket) && run.running() && std::chrono::steady_clock::now() < deadline) {
    }
    ASSERT_TRUE(run.running()) << run.err();
    EXPECT_EQ(PERR_ACCESS, open(client, host.data("root-only"), 1).first) << "start " << start;
    EXPECT_EQ(PERR_ACCESS, client.call(kMakeDir, PPayload().str(host.data("root-dir/made"))).fWord) << "start " << start;
    ::kill(run.pid(), SIGTERM);
    EXPECT_EQ(0, run.wait());
  }
  EXPECT_FALSE(std::filesystem::exists(host.data("root-dir/made")));
}

TEST(Host, TlsMaterialItsUserCannotReadIsReportedAtStartAndReadableMaterialReloads) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give up root";
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nullptr, nobody);
  PHostProcess host;
  ASSERT_EQ(0, ::chmod(host.fDir.path().c_str(), 0755));
  // All beside the host: the build's own folder may be closed to nobody (a checkout under /root).
  for (const char* name : {"server.pem", "server.key", "ca.pem"}) std::filesystem::copy_file(certificate(name), host.fDir / name);
  const std::string key = host.fDir / "server.key";
  host.useDefaultConfig("user = nobody\ntls.cert = " + host.fDir / "server.pem" + "\ntls.key = " + key + "\ntls.ca = " +
                        host.fDir / "ca.pem" + "\n");
  for (const auto& [mode, group, unreadable] : {std::tuple{0600u, 0u, true}, {0640u, nobody->pw_gid, false}}) {
    ASSERT_EQ(0, ::chown(key.c_str(), 0, group) + ::chmod(key.c_str(), mode));
    ASSERT_TRUE(host.start({"--listen", "tls:127.0.0.1:0"})) << host.output();
    EXPECT_EQ(unreadable, host.output().find("SIGHUP cannot reload the TLS material as user " + std::to_string(nobody->pw_uid) +
                                             ": tls.key " + key + ": Permission denied") != std::string::npos)
        << host.output();
    ::kill(host.pid(), SIGHUP);
    const char* outcome = unreadable ? "TLS material not reloaded" : "reloaded the TLS material";
    EXPECT_TRUE(eventually([&] { return host.output().find(outcome) != std::string::npos; })) << host.output();
    EXPECT_EQ(0, host.stop());
  }
}

TEST(Host, OneUidsTransfersNeverMakeAnotherPeersQueriesAnswerWrong) {
  PHostProcess host;
  host.fFileLimit = 200;
  writeText(host.data("present"), "twelve bytes");
  host.useDefaultConfig("transfer.max = 0\nrole.read = tcp:127.0.0.1\nlog.level = warning\n");
  ASSERT_TRUE(host.start({"--listen", "unix:" + host.fDir / "host.sock", "--listen", "tcp:127.0.0.1:0"})) << host.output();
  std::vector<std::unique_ptr<PWireClient>> hogs;
  int opened = 0, refused = 0;
  for (int connection = 0; connection < 15; ++connection) {
    hogs.push_back(std::make_unique<PWireClient>(host.endpoints()[0]));
    for (int status = 0; status == 0;) {
      status = open(*hogs.back(), host.data("present"), 1).first;
      opened += status == 0;
      refused += status == PERR_TOO_MANY_FILES;
      ASSERT_TRUE(status == 0 || status == PERR_TOO_MANY_FILES) << status;
      PWireClient(host.endpoints()[0]).call(kIsExists, PPayload().str(host.data()));  // short-lived descriptors meanwhile
    }
  }
  EXPECT_EQ(15, refused);
  EXPECT_LT(opened, 200) << "the reserve was kept";
  PWireClient other(host.endpoints()[1]);
  for (int round = 0; round < 20; ++round) {
    const PWireFrame exists = other.call(kIsExists, PPayload().str(host.data("present")));
    EXPECT_EQ(std::make_pair(0, Bytes{1, 1}), std::make_pair(exists.fWord, exists.fPayload));
    const PWireFrame size = other.call(kGetFileSize, PPayload().str(host.data("present")));
    EXPECT_EQ(std::make_pair(0, 12LL), std::make_pair(size.fWord, payloadOf<long long>(size.fPayload)));
    EXPECT_EQ(0, other.call(kListDir, PPayload().str(host.data())).fWord);
  }
}

TEST(Host, EveryLineAPeerCanCauseIsThrottled) {
  PHostProcess host;
  const std::string log = host.fDir / "host.log";
  host.useDefaultConfig(tlsLines() + "log.level = info\nlog.target = file:" + log + "\n");
  ASSERT_TRUE(host.start({"--listen", "unix:" + host.fDir / "host.sock", "--listen", "tcp:127.0.0.1:0", "--listen", "tls:127.0.0.1:0"}))
      << host.output();
  const std::string local = host.endpoints()[0], tcp = host.endpoints()[1], tlsAsTcp = "tcp:" + host.endpoints()[2].substr(4);
  std::atomic<int> events[5] = {};
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  // Each kind of line a peer can provoke at will, as fast as it can.
  const std::function<void()> floods[] = {
      [&] { PWireClient(tlsAsTcp).sendRaw(Bytes(64, 'x')); },                       // a failed handshake
      [&] { PWireClient(tcp).closedByPeer(milliseconds(1000)); },                    // no role
      [&] { PWireClient(local).sendRaw(Bytes{9, 0, 0, 0, 2, 0, 0, 0, 0}); },           // a bad frame
      [&] { PWireClient(local).call(kDeleteFile, PPayload().str(host.fDir / "out")); },  // refused by the policy
      [&] {
        PWireClient peer(local);
        open(peer, host.data("cut"), 2);
      },  // an upload cut
  };
  std::vector<std::thread> threads;
  for (size_t i = 0; i < std::size(floods); ++i) {
    threads.emplace_back([&, i] {
      while (std::chrono::steady_clock::now() < until) {
        floods[i]();
        ++events[i];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, host.stop());
  int problems = 0, infos = 0, errors = 0;
  std::istringstream in(readText(log));
  for (std::string line; std::getline(in, line);) {
    problems += line.find(" WARNING ") != std::string::npos || line.find(" ERROR ") != std::string::npos;
    errors += line.find(" ERROR ") != std::string::npos;
    infos += line.find(" INFO ") != std::string::npos;
  }
  EXPECT_EQ(0, errors) << "what a peer does wrong is a warning: errors are the device's and the host's";
  // Two throttles of refusals (the session layer's, the audit's): 100 at once and 20 a second each.
  EXPECT_LT(problems, 2 * (100 + 20 * 4));
  EXPECT_LT(infos, 1000 + 200 * 4 + 50);
  const std::string text = readText(log);
  // Past a throttle's burst, the next line says how many went.
  if (events[0] + events[1] + events[2] > 200) {
    EXPECT_NE(std::string::npos, text.find("like lines suppressed"));
  }
  if (events[3] + events[4] > 200) {
    EXPECT_NE(std::string::npos, text.find("suppressed="));
  }
}

TEST(Host, TheFileOperationsModuleKnowsItsPeerAndItsHandlesStayWithTheirSession) {
  PHostProcess host;
  host.useDefaultConfig("role.read = tcp:127.0.0.1\nhandle.max = 2\ntransfer.max = 1\n");
  ASSERT_TRUE(host.start({"--plugin", ZEVO_FILEACCESS_PLUGIN, "--plugin", ZEVO_FILEOPS_PLUGIN, "--listen", "unix:" + host.fDir / "host.sock",
                          "--listen", "tcp:127.0.0.1:0"}))
      << host.output();
  const auto ops = [](PWireClient& ioPeer, uint32_t iAction, const Bytes& iPayload) {
    Bytes request;
    PFrame::append(request, FRAME_REQUEST, 1, iAction, kFileOpsModule, iPayload.data(), iPayload.size());
    PWireFrame reply;
    EXPECT_TRUE(ioPeer.sendRaw(request) && ioPeer.receive(reply));
    return reply;
  };
  PWireClient writer(host.endpoints()[0]), reader(host.endpoints()[1]), other(host.endpoints()[0]);
  // Who it serves, as the session layer proved it.
  for (const auto& [peer, identity, role] : {std::tuple{&writer, "uid:" + std::to_string(::getuid()), 2}, {&reader, std::string("tcp:127.0.0.1"), 1}}) {
    const PWireFrame answered = ops(*peer, kOpsSessionInfo, {});
    ASSERT_EQ(std::make_pair(FRAME_REPLY, 0), std::make_pair(answered.fKind, answered.fWord)) << ::testing::PrintToString(answered.fPayload);
    PDataReader info(answered.fPayload);
    int number = 0, given = 0;
    PString named;
    for (int i = 0; i < 3; ++i) info.readInt32(number);
    ASSERT_EQ(0, info.readString(named) + info.readInt32(given));
    EXPECT_EQ(std::make_pair(widen(identity), role), std::make_pair(named.str(), given));
  }
  const PWireFrame refused = ops(reader, kOpsBeginUpload, PPayload().str(host.data("new")).flag(false));
  EXPECT_EQ(std::make_pair(ERR_ACCESS_DENIED, Bytes(PFileOpsNeutral::kBegin.begin(), PFileOpsNeutral::kBegin.end())),
            std::make_pair(refused.fWord, refused.fPayload)) << "a reader changes nothing";
  const PWireFrame begun = ops(writer, kOpsBeginUpload, PPayload().str(host.data("new")).flag(false));
  ASSERT_EQ(0, begun.fWord);
  const int upload = payloadOf<int>(Bytes(begun.fPayload.begin(), begun.fPayload.begin() + 5));
  EXPECT_EQ(FOPS_ERR_NO_HANDLE, ops(other, kOpsWriteAt, PPayload().i32(upload).i64(0).bytes({'x'})).fWord) << "another session's upload";
  EXPECT_EQ(0, ops(writer, kOpsWriteAt, PPayload().i32(upload).i64(0).bytes({'y'})).fWord);
  // Each module's handles have their own cap per connection (handle.max, transfer.max).
  writeText(host.data("old"), "old");
  EXPECT_EQ(0, ops(writer, kOpsOpenRead, PPayload().str(host.data("old"))).fWord);
  EXPECT_EQ(PERR_TOO_MANY_FILES, ops(writer, kOpsOpenListing, PPayload().str(host.data(""))).fWord) << "handle.max";
  EXPECT_EQ(0, open(writer, host.data("old"), 1).first);
  EXPECT_EQ(PERR_TOO_MANY_FILES, open(writer, host.data("old"), 1).first) << "transfer.max";
  writer.close();  // its upload is released, never committed
  EXPECT_TRUE(eventually([&] { return host.descriptorsOn(host.data()) == 0; })) << "no descriptor outlives its peer";
  EXPECT_FALSE(std::filesystem::exists(host.data("new")));
}
