// Hosts behind a real mosquitto broker, reached by zevofa: every command as
// over a socket, a fleet of hosts, the broker's loss, its packet limit and
// its access list. Real processes on loopback.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <nlohmann/json.hpp>
#include <chrono>
#include <regex>
#include <set>
#include <thread>

#include "PBroker.h"
#include "PCommsHarness.h"
#include "PPayload.h"
#include "PProcess.h"

namespace fs = std::filesystem;

namespace {

struct PRun {
  int fExit;
  std::string fOut, fErr;
};

PRun zevofa(std::vector<std::string> iArgs) {
  iArgs.insert(iArgs.begin(), ZEVOFA);
  PSpawn spawn;
  spawn.fEnvironment = {"ZEVOFA_ENDPOINT=", "ZEVOFA_MQTT_NAME=", "ZEVOFA_MQTT_USER="};
  PChild child(iArgs, spawn);
  const int status = child.wait(milliseconds(60000));
  return {status, child.out(), child.err()};
}

// Lines of the host's log that match iPattern.
int linesOf(PHostProcess& iHost, const std::string& iPattern) {
  const std::string log = iHost.output();
  const std::regex pattern(iPattern);
  return static_cast<int>(std::distance(std::sregex_iterator(log.begin(), log.end(), pattern), std::sregex_iterator()));
}

class Broker : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PBroker::available()) GTEST_SKIP() << "no mosquitto to run";
  }
  // A host serving its data/ through iBroker as iDevice (and on its Unix socket).
  bool serve(PHostProcess& ioHost, const PBroker& iBroker, const std::string& iDevice, const std::string& iLines = "",
             const std::string& iWriters = "mqtt:*") {
    EXPECT_TRUE(iBroker.started());
    ioHost.fFileOps = true;
    ioHost.useDefaultConfig("role.write = " + iWriters + ", uid:" + std::to_string(::getuid()) + "\nmqtt.device = " + iDevice + "\n" + iLines);
    return ioHost.start({"--listen", "unix:" + ioHost.fDir / "host.sock", "--listen", iBroker.url()});
  }
};

}  // namespace

TEST_F(Broker, EveryCommandAnswersThroughTheBrokerAsOverTheSocket) {
  PBroker broker("", true);
  PHostProcess host;
  ASSERT_TRUE(serve(host, broker, "dev-1", "tls.cert = " + certificate("client.pem") + "\ntls.key = " + certificate("client.key") +
                                              "\ntls.ca = " + certificate("ca.pem") + "\n"))
      << host.output();
  PTempDir local;
  fs::create_directories(local / "tree/deep");
  writeFile(local / "tree/deep/bin", patternBytes(200000, 7));
  writeText(local / "up", "uploaded");
  // The same commands on two like trees, one through each endpoint.
  const std::vector<std::string> tls = {"--ca", certificate("ca.pem"), "--cert", certificate("client.pem"), "--key",
                                        certificate("client.key"), "--mqtt-name", "ops"};
  std::map<std::string, std::vector<PRun>> runs;
  for (const std::string which : {"u", "m"}) {
    const std::string root = host.data(which);
    fs::create_directories(root + "/sub");
    writeText(root + "/a.txt", "hello");
    writeFile(root + "/sub/big", patternBytes(300000, 3));
    const std::vector<std::vector<std::string>> commands = {
        {"ls", "-l", root}, {"stat", root + "/a.txt"}, {"stat", root + "/none"}, {"mkdir", root + "/x/y"},
        {"put", local / "up", root + "/x/"}, {"get", root + "/a.txt", "-"}, {"get", "-r", root + "/sub", local / ("got-" + which)},
        {"put", "-r", local / "tree", root + "/t"}, {"rm", root + "/x/up", root + "/none"}, {"rmdir", root + "/x/y"},
        {"--chunk", "1000", "--window", "3", "get", root + "/sub/big", local / ("big-" + which)}};
    for (std::vector<std::string> command : commands) {
      std::vector<std::string> args = {"-e", which == "u" ? host.endpoints()[0] : broker.url("dev-1")};
      if (which == "m") args.insert(args.end(), tls.begin(), tls.end());
      args.insert(args.end(), command.begin(), command.end());
      PRun run = zevofa(args);
      for (std::string* text : {&run.fOut, &run.fErr}) *text = std::regex_replace(*text, std::regex(root + "|got-.|big-.|(unix|mqtts)://?[^ ]*|[0-9]{4}-[0-9]{2}-[0-9]{2}[T ][0-9:.]+Z?"), "@");
      runs[which].push_back(run);
    }
  }
  for (size_t i = 0; i < runs["u"].size(); ++i) {
    EXPECT_EQ(std::make_tuple(runs["u"][i].fExit, runs["u"][i].fOut, runs["u"][i].fErr),
              std::make_tuple(runs["m"][i].fExit, runs["m"][i].fOut, runs["m"][i].fErr)) << "command " << i;
  }
  EXPECT_EQ(treeSnapshot(host.data("u")), treeSnapshot(host.data("m")));
  EXPECT_EQ(treeSnapshot(local / "got-u"), treeSnapshot(local / "got-m"));
  EXPECT_EQ(readFile(local / "big-u"), readFile(local / "big-m"));
  EXPECT_GT(linesOf(host, "identity=mqtt:ops "), 5) << "the requester's name is its identity";
  EXPECT_EQ(0, linesOf(host, " (WARNING|ERROR) zevohost.log: \\[(mqtt|transport|peer)\\]")) << host.output();
}

TEST_F(Broker, OneFleetGetServesTwentyHosts) {
  PBroker broker;
  ASSERT_TRUE(broker.started());
  PTempDir shared;
  writeFile(shared / "f.bin", patternBytes(256 * 1024, 11));
  std::vector<std::unique_ptr<PHostProcess>> hosts(20);
  for (size_t i = 0; i < hosts.size(); ++i) {
    hosts[i] = std::make_unique<PHostProcess>();
    hosts[i]->setConfig("zevop.fileaccess", "fileaccess.read =\nfileaccess.write =\nfileaccess.write.recursive =\nfileaccess.read.recursive = " + shared.path() + "\n");
    hosts[i]->setConfig("zevohost", "plugins = " ZEVO_FILEACCESS_PLUGIN "\nrole.read = mqtt:*\nlog.level = debug\nlisten = " + broker.url() +
                                        "\nmqtt.device = dev-" + std::to_string(100 + i) + "\n");
    ASSERT_TRUE(hosts[i]->start()) << hosts[i]->output();
  }
  // Online before the devices are listed.
  for (const auto& host : hosts) ASSERT_TRUE(eventually([&] { return linesOf(*host, "connected to the broker") == 1; })) << host->output();
  PTempDir out;
  const PRun fleet = zevofa({"-e", broker.url(), "fleet", "--devices", "dev-1*,dev-100", "--parallel", "8", "--json", "get",
                             shared / "f.bin", out.path()});
  EXPECT_EQ(0, fleet.fExit) << fleet.fErr;
  EXPECT_NE(std::string::npos, fleet.fOut.find("\"ok\": 20")) << fleet.fOut;
  for (size_t i = 0; i < hosts.size(); ++i) {
    const std::string device = "dev-" + std::to_string(100 + i);
    EXPECT_EQ(readFile(shared / "f.bin"), readFile(out / (device + "/f.bin"))) << device;
    EXPECT_EQ(1, linesOf(*hosts[i], "CloseFileTransfer status=0 .*mode=read bytes=262144 ")) << device << " served its own";
  }
  const PRun listed = zevofa({"-e", broker.url(), "devices"});
  EXPECT_EQ(21, std::count(listed.fOut.begin(), listed.fOut.end(), '\n')) << listed.fOut;
  // Under a cross build's emulator zevofa cannot start another ARM zevofa.
  if (std::getenv("ZEVO_EMULATOR") != nullptr) return;
  hosts[3]->stop();
  const PRun partly = zevofa({"-e", broker.url(), "fleet", "-d", "dev-102,dev-103", "run", "stat", shared / "f.bin"});
  EXPECT_EQ(1, partly.fExit) << "one device failed";
  EXPECT_NE(std::string::npos, partly.fOut.find("== dev-102 (exit status 0)\npath: " + shared / "f.bin")) << partly.fOut;
  EXPECT_TRUE(std::regex_search(partly.fOut, std::regex("dev-103 +FAILED .*offline"))) << partly.fOut;
}

// The hosts share this machine's files: a put by every device lands on one
// path; a sync from every device goes into a folder of each.
TEST_F(Broker, FleetPutReplacesWholeFilesAndSyncMovesWhatChangedOnEachDevice) {
  PBroker broker;
  ASSERT_TRUE(broker.started());
  PTempDir shared, local, out;
  std::vector<std::unique_ptr<PHostProcess>> hosts;
  for (const std::string device : {"dev-a", "dev-b", "dev-c"}) {  // dev-c may not touch the shared tree
    hosts.push_back(std::make_unique<PHostProcess>());
    hosts.back()->fFileOps = true;
    hosts.back()->useDefaultConfig("role.write = mqtt:*\nmqtt.device = " + device + "\n");
    const std::string tree = device == "dev-c" ? hosts.back()->data() : shared.path();
    hosts.back()->setConfig("zevop.fileaccess", "fileaccess.read =\nfileaccess.write =\nfileaccess.read.recursive = " + tree +
                                                    "\nfileaccess.write.recursive = " + tree + "\n");
    ASSERT_TRUE(hosts.back()->start({"--listen", broker.url()})) << hosts.back()->output();
    ASSERT_TRUE(eventually([&] { return linesOf(*hosts.back(), "connected to the broker") == 1; })) << hosts.back()->output();
  }
  fs::create_directories(local / "conf/sub");
  writeText(local / "conf/app.conf", "new settings\n");
  writeFile(local / "conf/sub/x.bin", patternBytes(300000, 4));
  ASSERT_EQ(0, ::chmod((local / "conf/app.conf").c_str(), 0640));
  const timespec then[2] = {{0, UTIME_OMIT}, {1700000000, 5}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, (local / "conf/app.conf").c_str(), then, 0));
  fs::create_directories(shared / "conf");
  writeText(shared / "conf/app.conf", "old settings, longer than the new ones\n");
  fs::create_hard_link(shared / "conf/app.conf", shared / "old");  // what a rewrite in place would change
  struct stat after {};
  // Each device's outcome: whether it succeeded, its error, its files' itemised changes.
  struct PDevice {
    bool fOk;
    std::string fError;
    std::set<std::string> fFiles;
  };
  const auto fleet = [&](std::vector<std::string> iArgs, int iExit, size_t iDevices) {
    iArgs.insert(iArgs.begin(), {"-e", broker.url(), "fleet", "--json"});
    const PRun run = zevofa(iArgs);
    EXPECT_EQ(iExit, run.fExit) << run.fErr << run.fOut;
    const nlohmann::json outcome = nlohmann::json::parse(run.fOut, nullptr, false);
    std::map<std::string, PDevice> devices;
    for (const nlohmann::json& device : outcome.value("devices", nlohmann::json::array())) {
      PDevice& got = devices[device.value("device", "")];
      got = {device.value("ok", false), device.value("error", ""), {}};
      for (const nlohmann::json& change : device.value("changes", nlohmann::json::array())) {
        if (change.value("type", "") == "file") got.fFiles.insert(change.value("item", "") + " " + change.value("path", ""));
      }
    }
    EXPECT_EQ(iDevices, devices.size()) << run.fOut;
    EXPECT_EQ(iExit == 0 ? 0u : 1u, outcome.value("failed", 9u)) << run.fOut;
    return devices;
  };
  fleet({"-d", "dev-a,dev-b", "put", "-p", local / "conf", shared.path() + "/"}, 0, 2);
  ASSERT_EQ(0, ::stat((shared / "conf/app.conf").c_str(), &after));
  EXPECT_EQ("new settings\n", readText(shared / "conf/app.conf"));
  EXPECT_EQ("old settings, longer than the new ones\n", readText(shared / "old")) << "replaced by a rename, never rewritten in place";
  EXPECT_EQ(0640u, after.st_mode & 0777);
  EXPECT_EQ(1700000000, after.st_mtim.tv_sec);
  EXPECT_EQ(readFile(local / "conf/sub/x.bin"), readFile(shared / "conf/sub/x.bin"));

  // Received from each device into DIR/DEVICE; a device refused fails alone.
  const std::set<std::string> all = {">f+++++ app.conf", ">f+++++ sub/x.bin"};
  auto devices = fleet({"-d", "dev-*", "sync", ":" + shared / "conf", out.path()}, 1, 3);
  EXPECT_TRUE(devices["dev-a"].fOk && devices["dev-b"].fOk);
  EXPECT_EQ(all, devices["dev-a"].fFiles);
  EXPECT_EQ(all, devices["dev-b"].fFiles);
  EXPECT_FALSE(devices["dev-c"].fOk);
  EXPECT_NE(std::string::npos, devices["dev-c"].fError.find("permission denied")) << devices["dev-c"].fError;
  EXPECT_FALSE(fs::exists(out / "dev-c/app.conf"));
  // Again, each copy changed its own way: only that moves.
  writeText(out / "dev-a/app.conf", "changed\n");
  fs::remove(out / "dev-b/sub/x.bin");
  devices = fleet({"-d", "dev-a,dev-b", "--parallel", "1", "sync", ":" + shared / "conf", out.path()}, 0, 2);
  EXPECT_EQ(std::set<std::string>{">f.st.. app.conf"}, devices["dev-a"].fFiles);
  EXPECT_EQ(std::set<std::string>{">f+++++ sub/x.bin"}, devices["dev-b"].fFiles);
  for (const char* device : {"dev-a", "dev-b"}) EXPECT_EQ(treeSnapshot(shared / "conf"), treeSnapshot(out / device)) << device;
}

TEST_F(Broker, ABrokerLostMidTransferIsSaidAndTheHostComesBackWithNothingLeftOpen) {
  PBroker broker;
  PHostProcess host;
  ASSERT_TRUE(serve(host, broker, "dev-1")) << host.output();
  writeFile(host.data("huge"), patternBytes(16 << 20, 9));  // data, not holes: a sparse file's copy takes no reads
  ASSERT_TRUE(eventually([&] { return linesOf(host, "connected to the broker") == 1; }));
  const int held = descriptorCount(host.pid());
  PTempDir local;
  PChild get({ZEVOFA, "-e", broker.url("dev-1"), "--chunk", "512", "--window", "2", "get", host.data("huge"), local / "huge"});
  ASSERT_TRUE(eventually([&] { return host.descriptorsOn(host.data("huge")) == 1; }));
  broker.kill();
  EXPECT_EQ(4, get.wait());
  EXPECT_TRUE(std::regex_search(get.err(), std::regex("zevofa: connection lost: .*(broker|offline)"))) << get.err();
  EXPECT_FALSE(fs::exists(local / "huge")) << "only its kept part, to go on from";
  EXPECT_TRUE(eventually([&] { return host.descriptorsOn(host.data("huge")) == 0; }));
  EXPECT_TRUE(eventually([&] {
    // The session ends as a reply finds the broker gone, or as the host sees it go: either way once.
    return linesOf(host, "TransferCut .*by=connection-end") == 1 && linesOf(host, "lost the broker .*[01] sessions ended") == 1;
  })) << host.output();
  ASSERT_TRUE(broker.start());
  EXPECT_TRUE(eventually([&] { return linesOf(host, "connected to the broker") == 2; }, 30)) << host.output();
  EXPECT_EQ(0, zevofa({"-e", broker.url("dev-1"), "stat", host.data("huge")}).fExit);
  EXPECT_TRUE(eventually([&] { return descriptorCount(host.pid()) == held; })) << "no descriptor leaks: " << held << " before, "
                                                                             << descriptorCount(host.pid()) << " after";
}

// The device dies mid-transfer: the broker publishes its will, and the
// requester is told the host went offline rather than waiting for a reply.
TEST_F(Broker, AHostLostMidTransferIsSaidAtOnce) {
  PBroker broker;
  PHostProcess host;
  ASSERT_TRUE(serve(host, broker, "dev-1")) << host.output();
  writeFile(host.data("huge"), patternBytes(16 << 20, 3));
  ASSERT_TRUE(eventually([&] { return linesOf(host, "connected to the broker") == 1; }));
  PTempDir local;
  PChild get({ZEVOFA, "-e", broker.url("dev-1"), "--timeout", "60", "--chunk", "512", "--window", "2", "get", host.data("huge"), local / "huge"});
  ASSERT_TRUE(eventually([&] { return host.descriptorsOn(host.data("huge")) == 1; }));
  ASSERT_EQ(0, ::kill(host.pid(), SIGKILL));
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(4, get.wait());
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20)) << "said at once, not after the time-out";
  EXPECT_NE(std::string::npos, get.err().find("the host dev-1 went offline")) << get.err();
  EXPECT_FALSE(fs::exists(local / "huge"));
}

// A request names the one topic its replies may go to; a request that asks
// for another is dropped unserved, so no requester makes the host publish
// where the broker's access list would not let the requester read.
TEST_F(Broker, ARequestAskingForRepliesElsewhereIsDropped) {
  PBroker broker;
  PHostProcess host;
  ASSERT_TRUE(serve(host, broker, "dev-1")) << host.output();
  ASSERT_TRUE(eventually([&] { return linesOf(host, "connected to the broker") == 1; }));
  // Published as a requester would, its response topic chosen.
  const auto publish = [&](const std::string& iDir, const std::string& iResponse) {
    const Bytes frame = frameOf(FRAME_REQUEST, 1, kMakeDir, kFileAccessModule, PPayload().str(host.data(iDir)));
    bool acknowledged = false;  // the broker has it (QoS 1)
    mosquitto* client = mosquitto_new(nullptr, true, &acknowledged);
    mosquitto_publish_callback_set(client, [](mosquitto*, void* iDone, int) { *static_cast<bool*>(iDone) = true; });
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_property* properties = nullptr;
    mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC, iResponse.c_str());
    int result = mosquitto_connect(client, "127.0.0.1", broker.port(), 30);
    if (result == MOSQ_ERR_SUCCESS) {
      result = mosquitto_publish_v5(client, nullptr, "zevo/dev-1/req/alice/s1", static_cast<int>(frame.size()), frame.data(), 1, false, properties);
    }
    for (int turn = 0; result == MOSQ_ERR_SUCCESS && !acknowledged && turn < 500; ++turn) result = mosquitto_loop(client, 10, 1);
    mosquitto_disconnect(client);
    mosquitto_property_free_all(&properties);
    mosquitto_destroy(client);
    return acknowledged ? result : MOSQ_ERR_TIMEOUT;
  };
  ASSERT_EQ(0, publish("elsewhere", "zevo/dev-1/res/bob/s1"));
  ASSERT_EQ(0, publish("here", "zevo/dev-1/res/alice/s1"));
  EXPECT_TRUE(eventually([&] { return fs::is_directory(host.data("here")); })) << host.output();
  EXPECT_FALSE(fs::exists(host.data("elsewhere")));
  EXPECT_EQ(1, linesOf(host, "dropped a request of alice/s1 answering to zevo/dev-1/res/bob/s1")) << host.output();
}

TEST_F(Broker, ThePacketLimitAndTheAccessListHold) {
  PBroker broker("max_packet_size 40000\nacl_file " + std::string(ZEVO_SOURCE_DIR) + "/examples/mosquitto/acl\n");
  broker.stop();
  const std::string passwords = broker.fDir / "passwords";
  std::string lines;
  for (const char* user : {"dev-1", "alice", "mallory"}) lines += readText(broker.passwords(user, std::string(user) + "-pw"));
  writeText(passwords, lines);
  writeText(broker.fDir / "mosquitto.conf", readText(broker.fDir / "mosquitto.conf") + "password_file " + passwords + "\n");
  ASSERT_TRUE(broker.start()) << broker.log();
  PHostProcess host;
  writeText(host.fDir / "pw", "dev-1-pw\n");
  ASSERT_TRUE(serve(host, broker, "dev-1", "mqtt.username = dev-1\nmqtt.password_file = " + host.fDir / "pw" + "\n", "mqtt:alice"))
      << host.output();
  fs::create_directories(host.data("many"));
  for (int i = 0; i < 700; ++i) writeText(host.data("many/" + std::string(60, 'n') + std::to_string(i)), "");
  writeFile(host.data("f"), patternBytes(100000, 5));
  PTempDir local;
  writeFile(local / "f", patternBytes(100000, 5));
  const auto as = [&](const std::string& iUser, const std::string& iName, std::vector<std::string> iArgs) {
    writeText(local / ("pw-" + iUser), iUser + "-pw\n");
    iArgs.insert(iArgs.begin(), {"-e", broker.url("dev-1"), "--mqtt-user", iUser, "--mqtt-password-file", local / ("pw-" + iUser),
                                 "--mqtt-name", iName, "--timeout", "3"});
    return zevofa(iArgs);
  };
  const std::tuple<std::string, std::string, std::vector<std::string>, int, std::string> cases[] = {
      {"alice", "alice", {"get", host.data("f"), local / "got"}, 0, ""},
      // Listings and chunks are cut to what the broker's packets carry.
      {"alice", "alice", {"ls", host.data("many")}, 0, ""},
      {"alice", "alice", {"--chunk", "65536", "put", local / "f", host.data("up")}, 0, ""},
      {"mallory", "alice", {"ls", host.data()}, 4, "the broker refused a request on zevo/dev-1/req/alice/"},
      {"mallory", "mallory", {"ls", host.data()}, 4, "zevofa: host: mqtt:mallory has no role on this host (-4008)"},
  };
  for (const auto& [user, name, args, exit, says] : cases) {
    const PRun run = as(user, name, args);
    EXPECT_EQ(exit, run.fExit) << user << " as " << name << " " << args[0] << ": " << run.fErr;
    EXPECT_NE(std::string::npos, run.fErr.find(says)) << run.fErr;
  }
  EXPECT_EQ(readFile(host.data("f")), readFile(local / "got"));
  EXPECT_EQ(readFile(host.data("f")), readFile(host.data("up")));
  EXPECT_EQ(3, linesOf(host, "\\[accept\\] connection [0-9]+ from mqtt:alice/")) << "what the access list refuses never reaches the host";
  EXPECT_EQ(1, linesOf(host, "refused mqtt:mallory/.*no role")) << host.output();
}
