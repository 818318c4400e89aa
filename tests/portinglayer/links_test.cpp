// Symbolic links: every path operation of PFile and PDir on a farm of links,
// refused (with openat2, and with the walk used where the system has none)
// and followed.
#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "PTestSupport.h"
#include "zevo/PDir.h"
#include "zevo/PFile.h"
#include "zevo/portinglayer/PSysCalls.h"

namespace {

enum class Mode { kFollow, kOpenat2, kWalk };

int gOpenat2Calls = 0;

// The code of opening for reading; the content in oText.
int readPath(const std::string& iPath, std::string* oText = nullptr) {
  PFile file;
  const int rc = file.popen(wpath(iPath), PFile::MODE_READ_ONLY, 0);
  char buffer[256];
  unsigned int done = 0;
  if (rc == 0 && oText) oText->assign(buffer, file.pread(buffer, sizeof buffer, done) == 0 ? done : 0);
  return rc;
}

int writePath(const std::string& iPath) {
  PFile file;
  unsigned int done = 0;
  const int rc = file.popen(wpath(iPath), PFile::MODE_WRITE_NEW, 0);
  return rc != 0 ? rc : file.pwrite("written", 7, done);
}

int listPath(const std::string& iPath) { return PDir().popen(wpath(iPath), PLiteral()); }

// tree/: file "inside", sub/inner "inner", sub/deeper/; mid -> OUT,
// relmid -> ../outside, end -> OUT/secret, inlink -> sub, infile -> file,
// dangling -> OUT/new, loop1 -> loop2 -> loop1.
// outside/: secret "secret", inner "OUTSIDE", dir/.
class Links : public ::testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(tree("sub/deeper"));
    std::filesystem::create_directories(outside("dir"));
    writeText(tree("file"), "inside");
    writeText(tree("sub/inner"), "inner");
    writeText(outside("secret"), "secret");
    writeText(outside("inner"), "OUTSIDE");
    for (const auto& [target, name] : {std::pair{outside(""), "mid"}, {"../outside", "relmid"}, {outside("secret"), "end"},
                                       {"sub", "inlink"}, {"file", "infile"}, {outside("new"), "dangling"},
                                       {"loop2", "loop1"}, {"loop1", "loop2"}}) {
      ASSERT_EQ(0, ::symlink(target.c_str(), tree(name).c_str()));
    }
    gOpenat2Calls = 0;
    PSysCalls::table().fOpenat2 = GetParam() == Mode::kWalk ? noOpenat2 : countedOpenat2;
  }
  void TearDown() override { EXPECT_EQ(descriptors, descriptorCount()) << "a descriptor leaked"; }

  static int noOpenat2(int, const char*, int, mode_t, unsigned long long) {
    ++gOpenat2Calls;
    errno = ENOSYS;
    return -1;
  }
  static int countedOpenat2(int iDir, const char* iPath, int iFlags, mode_t iMode, unsigned long long iResolve) {
    ++gOpenat2Calls;
    return PSysCalls::defaults().fOpenat2(iDir, iPath, iFlags, iMode, iResolve);
  }
  std::string tree(const std::string& iName) const { return dir / ("tree/" + iName); }
  std::string outside(const std::string& iName) const { return dir / ("outside/" + iName); }
  PString wtree(const std::string& iName) const { return wpath(tree(iName)); }

  PTempDir dir;
  PSysCallsScope restore;
  PSymlinkPolicyScope policy{GetParam() == Mode::kFollow ? PPathPolicy::SYMLINKS_FOLLOW : PPathPolicy::SYMLINKS_REFUSE};
  int descriptors = descriptorCount();
};

using Refusing = Links;
using Following = Links;

}  // namespace

TEST_P(Refusing, NoOperationPassesThroughALink) {
  const auto before = treeSnapshot(outside(""));
  for (const char* name : {"mid/secret", "relmid/secret", "end", "infile", "inlink/inner", "loop1", "loop1/x", "mid/", "end/"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(PERR_SYMLINK, readPath(tree(name)));
    EXPECT_EQ(0, PFile::exists(wtree(name)) + PFile::check(wtree(name), PFile::CHECK_FILE) +
                     PFile::check(wtree(name), PFile::CHECK_DIR));
  }
  for (const char* name : {"mid/newfile", "end", "dangling", "infile", "relmid/secret"}) EXPECT_EQ(PERR_SYMLINK, writePath(tree(name))) << name;
  for (const char* name : {"mid", "mid/", "relmid/dir", "inlink", "loop1"}) EXPECT_EQ(PERR_SYMLINK, listPath(tree(name))) << name;
  for (const char* name : {"mid/newdir", "dangling", "end", "inlink", "dangling/"}) EXPECT_EQ(PERR_SYMLINK, PDir::pcreate(wtree(name))) << name;
  for (const char* name : {"mid/secret", "end", "dangling", "infile", "loop1"}) EXPECT_EQ(PERR_SYMLINK, PFile::pdelete(wtree(name))) << name;
  for (const char* name : {"mid/dir", "inlink", "mid", "relmid/dir/"}) EXPECT_EQ(PERR_SYMLINK, PDir::pdelete(wtree(name))) << name;
  EXPECT_EQ(before, treeSnapshot(outside("")));
  EXPECT_TRUE(std::filesystem::is_symlink(tree("end")) && std::filesystem::is_symlink(tree("inlink")));
  EXPECT_GT(gOpenat2Calls, 0) << "openat2 is tried first";
}

TEST_P(Refusing, PathsWithoutLinksBehaveAsTheSystemSays) {
  std::string text;
  EXPECT_EQ(0, readPath(tree("./sub//./inner"), &text));
  EXPECT_EQ("inner", text);
  const std::pair<const char*, int> reads[] = {{"missing/x", PERR_NOT_FOUND}, {"file/x", PERR_NOT_DIR}, {"file/", PERR_NOT_DIR},
                                               {"sub/", PERR_IS_DIR}};
  for (const auto& [name, code] : reads) EXPECT_EQ(code, readPath(tree(name))) << name;
  EXPECT_EQ(PERR_IS_DIR, writePath(tree("newx/")));
  EXPECT_TRUE(PFile::exists(wtree("sub/")) && !PFile::exists(wtree("file/")) && PFile::check(PString(L"/"), PFile::CHECK_DIR));
  EXPECT_EQ(PERR_NOT_DIR, listPath(tree("file")));
  const std::pair<int, int> results[] = {
      {0, writePath(tree("sub/new"))},            {0, listPath(tree("sub/"))},
      {0, PDir::pcreate(wtree("made/"))},          {PERR_NOT_FOUND, PDir::pcreate(wtree("none/x"))},
      {PERR_EXISTS, PDir::pcreate(wtree("sub"))}, {0, PDir::pdelete(wtree("made/"))},
      {PERR_NOT_DIR, PDir::pdelete(wtree("file"))}, {PERR_IS_DIR, PFile::pdelete(wtree("sub/deeper"))},
      {PERR_NOT_DIR, PFile::pdelete(wtree("file/"))}, {0, PFile::pdelete(wtree("sub/new"))}};
  for (const auto& [expected, got] : results) EXPECT_EQ(expected, got);
  // Relative paths start at the working directory, as for the system.
  const int here = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(0, ::chdir(dir.path().c_str()));
  const int relative = readPath("tree/file"), throughLink = readPath("tree/end");
  ASSERT_EQ(0, ::fchdir(here) + ::close(here));
  EXPECT_EQ(0, relative);
  EXPECT_EQ(PERR_SYMLINK, throughLink);
}

TEST_P(Refusing, ADirectorySwappedForALinkDuringTheCallReachesNothingOutside) {
  // The directory that holds the last component is held open while the last
  // step runs; a last component swapped for a link is refused by O_NOFOLLOW.
  static std::string sFrom, sTo, sTarget;
  for (bool swapDirectory : {true, false}) {
    sFrom = swapDirectory ? tree("sub") : tree("file");
    sTo = dir / (swapDirectory ? "moved-dir" : "moved-file");
    sTarget = swapDirectory ? outside("") : outside("secret");
    PSysCalls::table().fOpenat = [](int iDir, const char* iPath, int iFlags, mode_t iMode) {
      if ((iFlags & O_PATH) == 0 && !sFrom.empty()) {  // the last step
        if (::rename(sFrom.c_str(), sTo.c_str()) != 0 || ::symlink(sTarget.c_str(), sFrom.c_str()) != 0) ADD_FAILURE();
        sFrom.clear();
      }
      return PSysCalls::defaults().fOpenat(iDir, iPath, iFlags, iMode);
    };
    std::string text;
    if (swapDirectory) {
      EXPECT_EQ(0, readPath(tree("sub/inner"), &text));
      EXPECT_EQ("inner", text) << "read from the directory that was checked";
    } else {
      EXPECT_EQ(PERR_SYMLINK, readPath(tree("file"), &text));
    }
  }
}

TEST_P(Following, TheSystemsBehaviourWithItsDangers) {
  std::string text;
  EXPECT_EQ(0, readPath(tree("mid/secret"), &text));
  EXPECT_EQ("secret", text);
  EXPECT_EQ(0, readPath(tree("relmid/inner"), &text));
  EXPECT_EQ("OUTSIDE", text);
  EXPECT_EQ(PERR_LOOP, readPath(tree("loop1")));
  EXPECT_EQ(0, PFile::exists(wtree("dangling")));
  EXPECT_EQ(0, listPath(tree("mid")));
  EXPECT_EQ(0, writePath(tree("dangling")));
  EXPECT_EQ("written", readText(outside("new")));
  EXPECT_EQ(0, PDir::pcreate(wtree("mid/made")));
  EXPECT_TRUE(std::filesystem::is_directory(outside("made")));
  EXPECT_EQ(0, PFile::pdelete(wtree("end")));
  EXPECT_EQ("secret", readText(outside("secret"))) << "deleting a link removes the link";
}

INSTANTIATE_TEST_SUITE_P(Links, Refusing, ::testing::Values(Mode::kOpenat2, Mode::kWalk));
INSTANTIATE_TEST_SUITE_P(Links, Following, ::testing::Values(Mode::kFollow));

TEST(LinkPolicy, SettingsAndTheFollowScope) {
  PSymlinkPolicyScope policy(PPathPolicy::SYMLINKS_REFUSE);
  int parsed = -1;
  EXPECT_EQ(PERR_INVALID_ARG, PPathPolicy::setSymlinks(7));
  EXPECT_EQ(PERR_INVALID_ARG, PPathPolicy::parseSymlinks("Refuse", parsed));
  EXPECT_EQ(0, PPathPolicy::parseSymlinks("follow", parsed));
  EXPECT_EQ(PPathPolicy::SYMLINKS_FOLLOW, parsed);
  PTempDir dir;
  writeText(dir / "f", "x");
  ASSERT_EQ(0, ::symlink("f", (dir / "l").c_str()));
  {
    PFollowLinksScope follow;  // lifted on this thread only
    EXPECT_EQ(0, readPath(dir / "l"));
    int other = 0;
    std::thread([&] { other = readPath(dir / "l"); }).join();
    EXPECT_EQ(PERR_SYMLINK, other);
  }
  EXPECT_EQ(PERR_SYMLINK, readPath(dir / "l"));
}
