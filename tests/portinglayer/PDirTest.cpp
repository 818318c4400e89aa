// PDir listings and directory operations on real directories.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>

#include "PlTestSupport.h"
#include "zevo/PDir.h"
#include "zevo/portinglayer/PSysCalls.h"

namespace {

std::set<std::wstring> list(const PString& iPath, const PLiteral& iFilter) {
  std::set<std::wstring> names;
  PDir dir;
  EXPECT_EQ(0, dir.popen(iPath, iFilter));
  EXPECT_EQ(0, dir.preaddir());
  for (; dir == 0; dir++) names.insert(std::wstring(dir.getEntry().ptr(), dir.getEntry().len()));
  EXPECT_TRUE(dir == PERR_FILE_EOF);
  EXPECT_EQ(0, dir.lastError());
  return names;
}

void touch(const std::string& iPath) { ::close(::open(iPath.c_str(), O_WRONLY | O_CREAT, 0600)); }

int gMetadataCalls = 0;
int countingStat(const char* iPath, struct stat* oStat) { return ++gMetadataCalls, PSysCalls::defaults().fStat(iPath, oStat); }
int countingLstat(const char* iPath, struct stat* oStat) { return ++gMetadataCalls, PSysCalls::defaults().fLstat(iPath, oStat); }
int countingFstat(int iFd, struct stat* oStat) { return ++gMetadataCalls, PSysCalls::defaults().fFstat(iFd, oStat); }

}  // namespace

TEST(PDir, ListsNamesExactlyAndFilters) {
  PTempDir dir;
  for (const char* name : {"a.txt", "b.txt", "c.log", ".hidden.txt", "\xC3\xA9.txt", "\xFF.txt"}) {
    touch(dir.path() + "/" + name);
  }
  ASSERT_EQ(0, ::mkdir((dir.path() + "/sub").c_str(), 0700));
  using S = std::set<std::wstring>;
  const S all = {L".", L"..", L"a.txt", L"b.txt", L"c.log", L".hidden.txt", L"\u00E9.txt", L"sub"};
  EXPECT_EQ(all, list(widePath(dir, ""), PLiteral(nullptr)));
  EXPECT_EQ(all, list(widePath(dir, ""), PLiteral(L"")));
  EXPECT_EQ((S{L".", L"..", L"a.txt", L"b.txt", L".hidden.txt", L"\u00E9.txt"}), list(widePath(dir, ""), PLiteral(L"*.txt")));
  EXPECT_EQ((S{L".", L"..", L"a.txt", L"b.txt", L"\u00E9.txt"}), list(widePath(dir, ""), PLiteral(L"?.t?t")));
  EXPECT_EQ((S{L".", L"..", L"a.txt", L"c.log"}), list(widePath(dir, ""), PLiteral(L"[ac-c]*")));
  EXPECT_EQ((S{L".", L"..", L"b.txt", L"\u00E9.txt"}), list(widePath(dir, ""), PLiteral(L"[!a.c]*t")));
  EXPECT_EQ((S{L".", L"..", L"sub"}), list(widePath(dir, ""), PLiteral(L"s*b**")));

  PDir listing;
  EXPECT_NE(0, listing.preaddir());
  EXPECT_EQ(PERR_NOT_FOUND, listing.popen(widePath(dir, "missing"), PLiteral()));
  EXPECT_EQ(PERR_NOT_FOUND, listing.preaddir()) << "a listing that could not be opened says why";
  EXPECT_FALSE(listing == 0);
  EXPECT_EQ(0, listing.popen(widePath(dir, ""), PLiteral(L"c.*")));
  EXPECT_EQ(PERR_ALREADY_OPEN, listing.popen(widePath(dir, ""), PLiteral()));
  for (int pass = 0; pass < 2; ++pass) {  // a second preaddir starts over
    EXPECT_EQ(0, listing.preaddir());
    int count = 0;
    for (; listing == 0; listing++) ++count;
    EXPECT_EQ(3, count);
    EXPECT_EQ(0u, listing.getEntry().len());
    listing++;
    EXPECT_TRUE(listing == PERR_FILE_EOF);
  }
  EXPECT_EQ(0, listing.pclose());
  EXPECT_EQ(PERR_NOT_OPEN, listing.pclose());

  PTempDir empty;
  EXPECT_EQ((S{L".", L".."}), list(widePath(empty, ""), PLiteral()));
}

TEST(PDir, CreateAndDelete) {
  PTempDir dir;
  const mode_t saved = umask(002);
  EXPECT_EQ(0, PDir::pcreate(widePath(dir, "d")));
  umask(saved);
  struct stat info;
  ASSERT_EQ(0, ::stat((dir.path() + "/d").c_str(), &info));
  EXPECT_EQ(0755u, info.st_mode & 0777);
  EXPECT_EQ(PERR_EXISTS, PDir::pcreate(widePath(dir, "d")));
  EXPECT_EQ(PERR_NOT_FOUND, PDir::pcreate(widePath(dir, "x/y")));
  touch(dir.path() + "/d/f");
  EXPECT_EQ(PERR_NOT_EMPTY, PDir::pdelete(widePath(dir, "d")));
  EXPECT_EQ(PERR_NOT_DIR, PDir::pdelete(widePath(dir, "d/f")));
  EXPECT_EQ(PERR_NOT_FOUND, PDir::pdelete(widePath(dir, "none")));
  ASSERT_EQ(0, ::unlink((dir.path() + "/d/f").c_str()));
  EXPECT_EQ(0, PDir::pdelete(widePath(dir, "d")));
  EXPECT_NE(0, ::access((dir.path() + "/d").c_str(), F_OK));
}

TEST(PDir, TenThousandEntriesWithoutPerEntryCalls) {
  PTempDir dir;
  for (int i = 0; i < 10000; ++i) touch(dir.path() + "/n" + std::to_string(i));
  PSysCallsScope restore;
  PSysCalls::table().fStat = countingStat;
  PSysCalls::table().fLstat = countingLstat;
  PSysCalls::table().fFstat = countingFstat;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(10002u, list(widePath(dir, ""), PLiteral(L"n*")).size());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(0, gMetadataCalls);
}
