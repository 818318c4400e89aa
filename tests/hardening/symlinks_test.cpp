// Symbolic links: every path operation of PFile and PDir on a link farm,
// with the links followed and refused (openat2, and the walk used where the
// system has no openat2); then the plug-in on the same farm.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "PFakeFramework.h"
#include "PHardening.h"
#include "zevo/PDir.h"
#include "zevo/PFile.h"
#include "zevo/portinglayer/PSysCalls.h"

namespace {

enum class Mode { kFollow, kRefuse, kRefuseWalk };

int gOpenat2Calls = 0;
int noOpenat2(int, const char*, int, mode_t, unsigned long long) {
  ++gOpenat2Calls;
  errno = ENOSYS;
  return -1;
}
int countedOpenat2(int iDirFd, const char* iPath, int iFlags, mode_t iMode, unsigned long long iResolve) {
  ++gOpenat2Calls;
  return PSysCalls::defaults().fOpenat2(iDirFd, iPath, iFlags, iMode, iResolve);
}

// The code of opening for reading; the content read in oText.
int readPath(const std::string& iPath, std::string& oText) {
  PFile file;
  const int rc = file.popen(PString(widen(iPath).c_str()), PFile::MODE_READ_ONLY, 0);
  if (rc != 0) return rc;
  char buffer[256];
  unsigned int done = 0;
  file.pread(buffer, sizeof buffer, done);
  oText.assign(buffer, done);
  return 0;
}

int writePath(const std::string& iPath, const std::string& iText) {
  PFile file;
  const int rc = file.popen(PString(widen(iPath).c_str()), PFile::MODE_WRITE_NEW, 0);
  if (rc != 0) return rc;
  unsigned int done = 0;
  return file.pwrite(iText.data(), static_cast<unsigned int>(iText.size()), done);
}

int listPath(const std::string& iPath) {
  PDir dir;
  return dir.popen(PString(widen(iPath).c_str()), PLiteral());
}

PString wide(const std::string& iPath) { return PString(widen(iPath).c_str()); }

class LayerLinks : public ::testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    gOpenat2Calls = 0;
    if (GetParam() == Mode::kRefuseWalk) PSysCalls::table().fOpenat2 = noOpenat2;
    if (GetParam() == Mode::kRefuse) PSysCalls::table().fOpenat2 = countedOpenat2;
    descriptors = openDescriptorCount();
  }
  void TearDown() override { EXPECT_EQ(descriptors, openDescriptorCount()) << "a descriptor leaked"; }

  PSysCallsScope restore;
  PSymlinkPolicyScope policy{GetParam() == Mode::kFollow ? PPathPolicy::SYMLINKS_FOLLOW : PPathPolicy::SYMLINKS_REFUSE};
  PLinkFarm farm;
  int descriptors = 0;
};

using Refusing = LayerLinks;
using Following = LayerLinks;

}  // namespace

TEST_P(Refusing, NoOperationPassesThroughALink) {
  const auto before = farm.outsideSnapshot();
  std::string text;
  for (const char* name : {"mid/secret", "relmid/secret", "end", "infile", "inlink/inner", "loop1", "loop1/x", "mid/",
                           "end/", "inlink/", "mid/dir/../secret"}) {
    SCOPED_TRACE(name);
    const int expected = std::string(name).find("..") != std::string::npos ? PERR_INVALID_PATH : PERR_SYMLINK;
    EXPECT_EQ(expected, readPath(farm.tree(name), text));
    EXPECT_EQ(0, PFile::exists(wide(farm.tree(name))));
    EXPECT_EQ(0, PFile::check(wide(farm.tree(name)), PFile::CHECK_FILE));
    EXPECT_EQ(0, PFile::check(wide(farm.tree(name)), PFile::CHECK_DIR));
  }
  for (const char* name : {"mid/newfile", "end", "dangling", "infile", "relmid/secret"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(PERR_SYMLINK, writePath(farm.tree(name), "written"));
  }
  for (const char* name : {"mid", "mid/", "relmid/dir", "inlink", "loop1"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(PERR_SYMLINK, listPath(farm.tree(name)));
  }
  for (const char* name : {"mid/newdir", "mid/dir/x", "dangling", "end", "inlink", "dangling/"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(PERR_SYMLINK, PDir::pcreate(wide(farm.tree(name))));
  }
  for (const char* name : {"mid/secret", "end", "dangling", "infile", "loop1", "end/"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(PERR_SYMLINK, PFile::pdelete(wide(farm.tree(name))));
  }
  for (const char* name : {"mid/dir", "inlink", "mid", "relmid/dir/"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(PERR_SYMLINK, PDir::pdelete(wide(farm.tree(name))));
  }
  EXPECT_EQ(before, farm.outsideSnapshot()) << "nothing outside changed";
  for (const char* name : {"end", "dangling", "infile", "inlink", "mid"}) {
    EXPECT_TRUE(std::filesystem::is_symlink(farm.tree(name))) << name << " still there";
  }
  if (GetParam() == Mode::kRefuseWalk) {
    EXPECT_GT(gOpenat2Calls, 0) << "openat2 was tried first";
  }
}

TEST_P(Refusing, PathsWithoutLinksBehaveAsTheSystemSays) {
  std::string text;
  EXPECT_EQ(0, readPath(farm.tree("sub/inner"), text));
  EXPECT_EQ("inner", text);
  EXPECT_EQ(0, readPath(farm.tree("./sub//./inner"), text));
  EXPECT_EQ(PERR_NOT_FOUND, readPath(farm.tree("missing"), text));
  EXPECT_EQ(PERR_NOT_FOUND, readPath(farm.tree("missing/x"), text));
  EXPECT_EQ(PERR_NOT_DIR, readPath(farm.tree("file/x"), text));
  EXPECT_EQ(PERR_NOT_DIR, readPath(farm.tree("file/"), text));
  EXPECT_EQ(PERR_IS_DIR, readPath(farm.tree("sub/"), text));
  EXPECT_EQ(PERR_IS_DIR, readPath(farm.tree("sub"), text));
  EXPECT_EQ(PERR_IS_DIR, writePath(farm.tree("newx/"), "x"));
  EXPECT_EQ(0, writePath(farm.tree("sub/new"), "fresh"));
  EXPECT_EQ("fresh", readText(farm.tree("sub/new")));

  EXPECT_NE(0, PFile::exists(wide(farm.tree("sub/inner"))));
  EXPECT_NE(0, PFile::exists(wide(farm.tree("sub/"))));
  EXPECT_EQ(0, PFile::exists(wide(farm.tree("file/"))));
  EXPECT_NE(0, PFile::check(wide(farm.tree("sub")), PFile::CHECK_DIR));
  EXPECT_NE(0, PFile::check(wide(farm.tree("file")), PFile::CHECK_FILE));
  EXPECT_NE(0, PFile::exists(wide("/")));
  EXPECT_NE(0, PFile::check(wide("/"), PFile::CHECK_DIR));

  EXPECT_EQ(0, listPath(farm.tree("sub")));
  EXPECT_EQ(0, listPath(farm.tree("sub/")));
  EXPECT_EQ(PERR_NOT_DIR, listPath(farm.tree("file")));
  EXPECT_EQ(0, PDir::pcreate(wide(farm.tree("made"))));
  EXPECT_EQ(0, PDir::pcreate(wide(farm.tree("made/deeper/"))));
  EXPECT_EQ(PERR_EXISTS, PDir::pcreate(wide(farm.tree("sub"))));
  EXPECT_EQ(PERR_NOT_FOUND, PDir::pcreate(wide(farm.tree("none/x"))));
  EXPECT_EQ(PERR_NOT_EMPTY, PDir::pdelete(wide(farm.tree("made"))));
  EXPECT_EQ(0, PDir::pdelete(wide(farm.tree("made/deeper/"))));
  EXPECT_EQ(PERR_NOT_DIR, PDir::pdelete(wide(farm.tree("file"))));
  EXPECT_EQ(PERR_IS_DIR, PFile::pdelete(wide(farm.tree("sub/deeper"))));
  EXPECT_EQ(PERR_NOT_DIR, PFile::pdelete(wide(farm.tree("file/"))));
  EXPECT_EQ(0, PFile::pdelete(wide(farm.tree("sub/new"))));
  EXPECT_EQ(PERR_NOT_FOUND, PFile::pdelete(wide(farm.tree("sub/new"))));
  EXPECT_FALSE(std::filesystem::exists(farm.tree("sub/new")));

  // Relative paths start at the working directory, as for the system.
  const int here = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(0, ::chdir(farm.root().c_str()));
  const int relative = readPath("tree/file", text);
  const int throughLink = readPath("tree/end", text);
  ASSERT_EQ(0, ::fchdir(here));
  ::close(here);
  EXPECT_EQ(0, relative);
  EXPECT_EQ(PERR_SYMLINK, throughLink);
}

TEST_P(Refusing, ADirectorySwappedForALinkDuringTheCallReachesNothingOutside) {
  // The directory holding the last component is held open while the last
  // step runs: swapping it for a link then changes nothing. A last
  // component swapped for a link is refused by O_NOFOLLOW.
  static std::string sFrom, sTo, sOutside;
  sFrom = farm.tree("sub");
  sTo = farm.tree("sub-old");
  sOutside = farm.outside("");
  PSysCalls::table().fOpenat = [](int iDir, const char* iPath, int iFlags, mode_t iMode) {
    if ((iFlags & O_PATH) == 0 && !sFrom.empty()) {  // the last step
      ::rename(sFrom.c_str(), sTo.c_str());
      if (::symlink(sOutside.c_str(), sFrom.c_str()) != 0) ADD_FAILURE() << "swap";
      sFrom.clear();
    }
    return PSysCalls::defaults().fOpenat(iDir, iPath, iFlags, iMode);
  };
  std::string text;
  EXPECT_EQ(0, readPath(farm.tree("sub/inner"), text));
  EXPECT_EQ("inner", text) << "read from the directory that was checked";
  EXPECT_EQ(PERR_SYMLINK, readPath(farm.tree("sub/inner"), text)) << "now sub is a link";

  static std::string sFile, sSecret;
  sFile = farm.tree("file");
  sSecret = farm.outside("secret");
  PSysCalls::table().fOpenat = [](int iDir, const char* iPath, int iFlags, mode_t iMode) {
    if ((iFlags & O_PATH) == 0 && !sFile.empty()) {
      ::unlink(sFile.c_str());
      if (::symlink(sSecret.c_str(), sFile.c_str()) != 0) ADD_FAILURE() << "swap";
      sFile.clear();
    }
    return PSysCalls::defaults().fOpenat(iDir, iPath, iFlags, iMode);
  };
  EXPECT_EQ(PERR_SYMLINK, readPath(farm.tree("file"), text));
}

TEST_P(Refusing, TheWalkAndOpenat2JudgeAlike) {
  // Every (operation, path) gives the same code with openat2 and without.
  const char* const names[] = {"file", "sub/inner", "sub/",    "file/",        "missing/x",   "mid/secret",
                               "end",  "dangling",  "loop1/x", "inlink/inner", "sub/deeper/", "relmid/dir"};
  auto codes = [&] {
    std::vector<int> all;
    std::string text;
    for (const char* name : names) {
      all.push_back(readPath(farm.tree(name), text));
      all.push_back(PFile::exists(wide(farm.tree(name))));
      all.push_back(PFile::check(wide(farm.tree(name)), PFile::CHECK_DIR));
      all.push_back(listPath(farm.tree(name)));
    }
    return all;
  };
  const std::vector<int> first = codes();
  PSysCalls::table().fOpenat2 = GetParam() == Mode::kRefuseWalk ? countedOpenat2 : noOpenat2;
  EXPECT_EQ(first, codes());
}

TEST_P(Following, TheSystemsBehaviourWithItsDangers) {
  std::string text;
  EXPECT_EQ(0, readPath(farm.tree("mid/secret"), text));
  EXPECT_EQ("secret", text);
  EXPECT_EQ(0, readPath(farm.tree("relmid/inner"), text));
  EXPECT_EQ("OUTSIDE", text);
  EXPECT_EQ(0, readPath(farm.tree("inlink/inner"), text));
  EXPECT_EQ(PERR_LOOP, readPath(farm.tree("loop1"), text));
  EXPECT_EQ(0, PFile::exists(wide(farm.tree("dangling"))));
  EXPECT_NE(0, PFile::check(wide(farm.tree("mid")), PFile::CHECK_DIR));
  EXPECT_EQ(0, listPath(farm.tree("mid")));
  // Writing through a dangling link creates its target outside.
  EXPECT_EQ(0, writePath(farm.tree("dangling"), "escaped"));
  EXPECT_EQ("escaped", readText(farm.outside("new")));
  EXPECT_EQ(0, PDir::pcreate(wide(farm.tree("mid/made"))));
  EXPECT_TRUE(std::filesystem::is_directory(farm.outside("made")));
  // Deleting a link removes the link, not its target.
  EXPECT_EQ(0, PFile::pdelete(wide(farm.tree("end"))));
  EXPECT_EQ("secret", readText(farm.outside("secret")));
  EXPECT_EQ(0, PFile::pdelete(wide(farm.tree("mid/secret"))));
  EXPECT_FALSE(std::filesystem::exists(farm.outside("secret")));
}

static std::string modeName(const ::testing::TestParamInfo<Mode>& iInfo) {
  return iInfo.param == Mode::kFollow ? "follow" : iInfo.param == Mode::kRefuse ? "openat2" : "walk";
}
INSTANTIATE_TEST_SUITE_P(Links, Refusing, ::testing::Values(Mode::kRefuse, Mode::kRefuseWalk), modeName);
INSTANTIATE_TEST_SUITE_P(Links, Following, ::testing::Values(Mode::kFollow), modeName);

TEST(LinkPolicy, SettingsAndTheFollowScope) {
  PSymlinkPolicyScope policy(PPathPolicy::SYMLINKS_REFUSE);
  EXPECT_EQ(PERR_INVALID_ARG, PPathPolicy::setSymlinks(7));
  EXPECT_EQ(PPathPolicy::SYMLINKS_REFUSE, PPathPolicy::symlinks());
  int parsed = -1;
  EXPECT_EQ(0, PPathPolicy::parseSymlinks("follow", parsed));
  EXPECT_EQ(PPathPolicy::SYMLINKS_FOLLOW, parsed);
  EXPECT_EQ(PERR_INVALID_ARG, PPathPolicy::parseSymlinks("Refuse", parsed));
  EXPECT_STREQ("refuse", PPathPolicy::symlinksName(PPathPolicy::SYMLINKS_REFUSE));

  PLinkFarm farm;
  std::string text;
  {
    // Lifted on this thread only (the configuration manager uses it).
    PFollowLinksScope follow;
    EXPECT_EQ(0, readPath(farm.tree("end"), text));
    int other = 0;
    std::thread([&] { other = readPath(farm.tree("end"), text); }).join();
    EXPECT_EQ(PERR_SYMLINK, other);
  }
  EXPECT_EQ(PERR_SYMLINK, readPath(farm.tree("end"), text));
}

// ------------------------------------------------------------ the plug-in

namespace {

const std::vector<std::string> kLinkPaths = {"mid/secret",     "relmid/secret", "end",    "dangling", "mid/newdir",
                                             "mid/dir",        "inlink/inner",  "infile", "loop1",    "mid/",
                                             "relmid/dir/new", "end/"};

class PluginLinks : public ::testing::Test {
 protected:
  void start(int iPolicy) {
    policy = std::make_unique<PSymlinkPolicyScope>(iPolicy);
    ASSERT_EQ(0, harness.start(L"", L"", farm.wtree(""), farm.wtree("")));
  }
  PCommsMessage call(uint32_t iAction, const std::string& iName) {
    return harness.call(iAction, PPayload().str(farm.wtree(iName)).data());
  }

  PLinkFarm farm;
  std::unique_ptr<PSymlinkPolicyScope> policy;
  PPluginHarness harness;
};

bool holds(const std::vector<unsigned char>& iBytes, const std::string& iText) {
  return std::search(iBytes.begin(), iBytes.end(), iText.begin(), iText.end()) != iBytes.end();
}

}  // namespace

TEST_F(PluginLinks, RefusingNoRequestReachesAFileOutsideTheGrantedTree) {
  start(PPathPolicy::SYMLINKS_REFUSE);
  const auto before = farm.outsideSnapshot();
  const int descriptors = openDescriptorCount();
  for (const std::string& name : kLinkPaths) {
    SCOPED_TRACE(name);
    for (int mode : {1, 2, 3}) {
      PCommsMessage reply = harness.call(1001, PPayload().str(farm.wtree(name)).i32(mode).data());
      EXPECT_EQ(PERR_SYMLINK, statusOf(reply)) << "mode " << mode;
      EXPECT_EQ(0, replyInt32(reply));
    }
    EXPECT_EQ(PERR_SYMLINK, statusOf(call(2001, name)));
    PCommsMessage reply = call(2002, name);
    EXPECT_EQ(0, statusOf(reply));
    EXPECT_FALSE(replyBool(reply)) << "a path through a link is not there";
    EXPECT_EQ(ERR_FAILED, statusOf(call(2003, name)));
    reply = call(2004, name);
    EXPECT_EQ(ERR_FAILED, statusOf(reply));
    EXPECT_TRUE(replyStrings(reply).empty());
    for (uint32_t action : {2005u, 2006u, 2007u}) {
      reply = call(action, name);
      EXPECT_EQ(PERR_SYMLINK, statusOf(reply)) << "action " << action;
    }
  }
  EXPECT_EQ(before, farm.outsideSnapshot());
  EXPECT_EQ(descriptors, openDescriptorCount());
  for (const PSentReply& reply : harness.fComms.replies()) {
    EXPECT_FALSE(holds(reply.fMessage.fData, "secret") || holds(reply.fMessage.fData, "OUTSIDE"));
  }
  // The tree itself is served.
  PCommsMessage reply = harness.call(1001, PPayload().str(farm.wtree("sub/inner")).i32(1).data());
  ASSERT_EQ(0, statusOf(reply));
  const int id = replyInt32(reply);
  EXPECT_EQ(std::vector<unsigned char>({'i', 'n', 'n', 'e', 'r'}),
            replyBytes(harness.call(1002, PPayload().i32(id).i32(100).data())));
  EXPECT_EQ(0, statusOf(harness.call(1004, PPayload().i32(id).data())));
  EXPECT_EQ(0, statusOf(call(2005, "sub/a/b/c")));
  EXPECT_TRUE(std::filesystem::is_directory(farm.tree("sub/a/b/c")));
}

TEST_F(PluginLinks, FollowingReachesWhatTheLinksNameAsTheSystemDoes) {
  start(PPathPolicy::SYMLINKS_FOLLOW);
  PCommsMessage reply = harness.call(1001, PPayload().str(farm.wtree("mid/secret")).i32(1).data());
  ASSERT_EQ(0, statusOf(reply));
  const int id = replyInt32(reply);
  EXPECT_TRUE(holds(replyBytes(harness.call(1002, PPayload().i32(id).i32(100).data())), "secret"));
  EXPECT_EQ(0, statusOf(harness.call(1004, PPayload().i32(id).data())));
  EXPECT_TRUE(replyBool(call(2002, "end")));
  EXPECT_EQ(PERR_LOOP, statusOf(call(2001, "loop1")));
  EXPECT_EQ(0, statusOf(call(2005, "mid/made")));
  EXPECT_TRUE(std::filesystem::is_directory(farm.outside("made")));
}
