// The host's link setting end to end: the key, the option, the default, and
// configuration files that are links themselves (a value that is neither
// follow nor refuse: HostProcess.StartUpFailuresSayWhyAndExitNonZero).

#include <gtest/gtest.h>
#include <unistd.h>

#include "PHardening.h"
#include "PHostProcess.h"
#include "PPayload.h"
#include "zevo/PErrors.h"

namespace {

class HostLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(host.fDir / "outside");
    writeText(host.fDir / "outside/secret", "secret");
    ASSERT_EQ(0, ::symlink((host.fDir / "outside").c_str(), (host.data() + "/out").c_str()));
    writeText(host.data() + "/plain", "plain");
  }
  void TearDown() override {
    if (host.pid() > 0) {
      EXPECT_EQ(0, host.stop()) << host.output();
    }
  }
  // The status of opening data/NAME for reading, and the bytes it reads.
  int download(const std::string& iName, std::string& oText) {
    PWireClient client;
    EXPECT_TRUE(client.connect(host.endpoint()));
    PWireFrame reply = client.call(1001, PPayload().str(host.data() + "/" + iName).i32(1).data());
    if (reply.fWord != 0) return reply.fWord;
    const int id = payloadInt32(reply.fPayload);
    const std::vector<unsigned char> bytes =
        payloadBytes(client.call(1002, PPayload().i32(id).i32(100).data()).fPayload);
    oText.assign(bytes.begin(), bytes.end());
    EXPECT_EQ(0, client.call(1004, PPayload().i32(id).data()).fWord);
    return 0;
  }
  void restart(const std::string& iHostLines, const std::vector<std::string>& iArgs) {
    if (host.pid() > 0) {
      EXPECT_EQ(0, host.stop());
    }
    host.useDefaultConfig(iHostLines);
    ASSERT_TRUE(host.start(iArgs)) << host.output();
  }

  PHostProcess host;
};

}  // namespace

TEST_F(HostLinks, RefusedByDefaultFollowedOnRequest) {
  // The configuration directory is the administrator's: a set that is a
  // link loads all the same.
  host.useDefaultConfig();
  const std::string elsewhere = host.fDir / "persist.conf";
  std::filesystem::rename(host.configDir() + "/zevop.fileaccess.conf", elsewhere);
  ASSERT_EQ(0, ::symlink(elsewhere.c_str(), (host.configDir() + "/zevop.fileaccess.conf").c_str()));
  ASSERT_TRUE(host.start()) << host.output();
  std::string text;
  EXPECT_TRUE(host.waitForOutput("symbolic links in paths: refuse")) << host.output();
  EXPECT_EQ(PERR_SYMLINK, download("out/secret", text));
  EXPECT_EQ(0, download("plain", text));
  EXPECT_EQ("plain", text);
  EXPECT_EQ(std::string::npos, host.output().find("unknown key"));

  restart("symlinks = follow\n", {});
  EXPECT_EQ(0, download("out/secret", text));
  EXPECT_EQ("secret", text);
  EXPECT_EQ(std::string::npos, host.output().find("unknown key")) << "symlinks is a known key";

  restart("symlinks = follow\n", {"--symlinks", "refuse"});
  EXPECT_EQ(PERR_SYMLINK, download("out/secret", text)) << "the option wins over the key";

  restart("symlinks = refuse\n", {"--symlinks=follow"});
  EXPECT_EQ(0, download("out/secret", text));
}
