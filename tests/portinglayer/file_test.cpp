// PFile and PDir on real files: reads, writes, path safety, every path
// operation on a tree with symbolic links (followed, and refused with openat2
// and with the walk used where the system has none), faults injected through
// the system-call table, and files beyond 4 GiB or dated after 2038.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "PTestSupport.h"
#include "zevo/PDir.h"
#include "zevo/PFd.h"
#include "zevo/PFile.h"
#include "zevo/PUtils.h"
#include "zevo/portinglayer/PSysCalls.h"

static_assert(sizeof(off_t) == 8 && sizeof(time_t) == 8, "64-bit offsets and times on every target");

namespace {

int gCalls = 0;  // calls seen by the current fault
int fail(int iErrno) { return errno = iErrno, -1; }

int put(PFile& iFile, const std::string& iText) {
  unsigned int done = 0;
  return iFile.pwrite(iText.data(), static_cast<unsigned int>(iText.size()), done);
}

enum Mode { kFollow, kOpenat2, kWalk };
enum Op { kRead, kWrite, kList, kKind, kMkdir, kUnlink, kRmdir };

int gOpenat2Calls = 0;
bool gNoOpenat2 = false;  // ENOSYS: the walk

// What iOp answers for iPath; kKind: 1 a file, 2 a directory, 3 something else, 0 nothing.
int run(Op iOp, const PLiteral& iPath, std::string* oText = nullptr) {
  PFile file;
  char buffer[64];
  unsigned int done = 0;
  switch (iOp) {
    case kRead: {
      const int rc = file.popen(iPath, PFile::MODE_READ_ONLY, 0);
      if (rc == 0 && oText) oText->assign(buffer, file.pread(buffer, sizeof buffer, done) == 0 ? done : 0);
      return rc;
    }
    case kWrite: return file.popen(iPath, PFile::MODE_WRITE_NEW, 0);
    case kList: return PDir().popen(iPath, PLiteral());
    case kKind:
      return PFile::check(iPath, PFile::CHECK_FILE) ? 1 : PFile::check(iPath, PFile::CHECK_DIR) ? 2 : PFile::exists(iPath) ? 3 : 0;
    case kMkdir: return PDir::pcreate(iPath);
    case kUnlink: return PFile::pdelete(iPath);
    case kRmdir: return PDir::pdelete(iPath);
  }
  return 0;
}
int run(Op iOp, const std::string& iPath, std::string* oText = nullptr) { return run(iOp, wpath(iPath), oText); }

class Files : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(descriptors, descriptorCount()) << "a descriptor leaked"; }
  PString path(const std::string& iName) { return wpath(dir / iName); }
  std::set<std::wstring> list(const wchar_t* iFilter) {
    std::set<std::wstring> names;
    PDir listing;
    EXPECT_EQ(0, listing.popen(path(""), PLiteral(iFilter)) + listing.preaddir());
    for (; listing == 0; listing++) names.insert(listing.getEntry().ptr());
    EXPECT_TRUE(listing == PERR_FILE_EOF);
    return names;
  }

  PTempDir dir;
  PSysCallsScope restore;
  int descriptors = descriptorCount();
};

// tree/: file, sub/inner, sub/deeper/, fifo; mid -> OUT, relmid -> ../outside,
// end -> OUT/secret, inlink -> sub, dangling -> OUT/new, loop1 -> loop2 -> loop1.
// OUT = outside/: secret, inner, dir/. A file holds its own name.
class Links : public Files, public ::testing::WithParamInterface<Mode> {
 protected:
  void SetUp() override {
    for (const char* name : {"tree/sub/deeper", "outside/dir"}) std::filesystem::create_directories(dir / name);
    for (const char* name : {"tree/file", "tree/sub/inner", "outside/secret", "outside/inner"}) writeText(dir / name, name);
    ASSERT_EQ(0, ::mkfifo(tree("fifo").c_str(), 0600));
    for (const auto& [target, name] : {std::pair{dir / "outside", "mid"}, {"../outside", "relmid"}, {dir / "outside/secret", "end"},
                                       {"sub", "inlink"}, {dir / "outside/new", "dangling"}, {"loop2", "loop1"}, {"loop1", "loop2"}}) {
      ASSERT_EQ(0, ::symlink(target.c_str(), tree(name).c_str()));
    }
    gOpenat2Calls = 0, gNoOpenat2 = GetParam() == kWalk;
    PSysCalls::table().fOpenat2 = [](int iDir, const char* iPath, int iFlags, mode_t iMode, unsigned long long iResolve) {
      ++gOpenat2Calls;
      return gNoOpenat2 ? (errno = ENOSYS, -1) : PSysCalls::defaults().fOpenat2(iDir, iPath, iFlags, iMode, iResolve);
    };
  }
  std::string tree(const std::string& iName) const { return iName[0] == '/' ? iName : dir / ("tree/" + iName); }

  PSymlinkPolicyScope policy{GetParam() == kFollow ? PPathPolicy::SYMLINKS_FOLLOW : PPathPolicy::SYMLINKS_REFUSE};
};

using Refusing = Links;

}  // namespace

TEST_F(Files, ChunkedReadsReassembleFilesAndEndWithEof) {
  for (size_t size : {0u, 1u, 8191u, 8192u, 8193u, 20000u}) {
    const Bytes data = patternBytes(size, static_cast<unsigned int>(size));
    writeFile(dir / "f", data);
    PFile file;
    Bytes got(8192), all;
    unsigned int done = 0;
    int rc = file.popen(path("f"), PFile::MODE_READ_ONLY, 0);
    EXPECT_EQ(std::make_pair(0, 0u), std::make_pair(file.pread(nullptr, 0, done), done)) << "nothing asked, even at the end";
    while ((rc = file.pread(reinterpret_cast<char*>(got.data()), 8192, done)) == 0) {
      EXPECT_EQ(0u, all.size() % 8192) << "a short count before the end";
      all.insert(all.end(), got.begin(), got.begin() + done);
    }
    EXPECT_EQ(data, all);
    EXPECT_EQ(std::make_pair(PERR_FILE_EOF, 0u), std::make_pair(rc, done)) << size;
  }
}

TEST_F(Files, WriteModesAndAClosedObject) {
  PFile file;
  ASSERT_EQ(0, file.popen(path("w"), PFile::MODE_WRITE_NEW, 1));
  EXPECT_EQ(PERR_ALREADY_OPEN, file.popen(path("w"), PFile::MODE_READ_ONLY, 0));
  long long size = -1;
  PString name;
  EXPECT_EQ(0, put(file, std::string(10000, 'd')) + file.pgetSize(size) + file.pgetName(name) + file.pclose());
  EXPECT_EQ(10000, size);
  EXPECT_EQ(path("w").str(), name.str());
  char buffer[4];
  unsigned int done = 0;
  for (int rc : {file.pread(buffer, 4, done), put(file, "x"), file.pgetSize(size), file.pgetName(name), file.pclose()}) {
    EXPECT_EQ(PERR_NOT_OPEN, rc);
  }
  EXPECT_EQ(10000, size) << "outputs stay as they were";
  // Write in place, append at the end; write-new empties.
  EXPECT_EQ(0, file.popen(path("w"), PFile::MODE_WRITE, 0) + put(file, "AB") + file.pclose());
  EXPECT_EQ(0, file.popen(path("w"), PFile::MODE_WRITE | PFile::MODE_APPEND, 0) + put(file, "YZ") + file.pclose());
  EXPECT_EQ("AB" + std::string(9998, 'd') + "YZ", readText(dir / "w"));
  EXPECT_EQ(0, file.popen(path("w"), PFile::MODE_WRITE_NEW, 0) + file.pgetSize(size) + file.pclose() + size);
  for (unsigned int mode : {0u, 0x04u, 0x10u, 0x11u, 0x05u, 0x08u}) EXPECT_EQ(PERR_INVALID_ARG, file.popen(path("w"), mode, 0)) << mode;
  // Opened without blocking (a FIFO must not block the open), a regular
  // file's descriptor is switched back, or the open fails.
  static int sFd = -1;
  PSysCalls::table().fFcntl = [](int iFd, int iCommand, int iArgument) { return PSysCalls::defaults().fFcntl(sFd = iFd, iCommand, iArgument); };
  ASSERT_EQ(0, file.popen(path("w"), PFile::MODE_WRITE | PFile::MODE_APPEND, 0));
  EXPECT_EQ(O_APPEND, ::fcntl(sFd, F_GETFL) & (O_NONBLOCK | O_APPEND));
  EXPECT_EQ(0, file.pclose());
  PSysCalls::table().fFcntl = [](int, int, int) { return fail(EINVAL); };
  EXPECT_EQ(PERR_INVALID_ARG, file.popen(path("w"), PFile::MODE_READ_ONLY, 0));
}

TEST_F(Files, ListingsNameEveryEntryAndFilter) {
  for (const char* name : {"a.txt", "b.txt", "c.log", ".hidden.txt", "\xC3\xA9.txt", "\xFF.txt"}) writeText(dir / name, "");
  ASSERT_EQ(0, ::mkdir((dir / "sub").c_str(), 0700));
  using S = std::set<std::wstring>;
  const S all = {L".", L"..", L"a.txt", L"b.txt", L"c.log", L".hidden.txt", L"\u00E9.txt", L"sub"};  // not UTF-8: left out
  EXPECT_EQ(all, list(nullptr));
  EXPECT_EQ(all, list(L""));
  EXPECT_EQ((S{L".", L"..", L"a.txt", L"b.txt", L".hidden.txt", L"\u00E9.txt"}), list(L"*.txt"));
  EXPECT_EQ((S{L".", L"..", L"a.txt", L"c.log"}), list(L"[ac-c]*"));
  EXPECT_EQ((S{L".", L"..", L"b.txt", L"\u00E9.txt"}), list(L"[!a.c]?*t"));
  PDir listing;
  EXPECT_NE(0, listing.preaddir());
  EXPECT_EQ(PERR_NOT_FOUND, listing.popen(path("missing"), PLiteral()));
  EXPECT_EQ(PERR_NOT_FOUND, listing.preaddir()) << "a listing that could not be opened says why";
  ASSERT_EQ(0, listing.popen(path(""), PLiteral(L"c.*")));
  EXPECT_EQ(PERR_ALREADY_OPEN, listing.popen(path(""), PLiteral()));
  for (int pass = 0; pass < 2; ++pass) {  // a second preaddir starts over
    int count = listing.preaddir();
    for (; listing == 0; listing++) ++count;
    EXPECT_EQ(std::make_pair(3, 0u), std::make_pair(count, listing.getEntry().len()));
  }
  EXPECT_EQ(0, listing.pclose());
  EXPECT_EQ(PERR_NOT_OPEN, listing.pclose());
}

TEST_F(Files, FaultsOfTheSystemLoseNothingAndLeaveNothingOpen) {
  // Writes of 5 bytes are repeated; after the sixth the disk is full.
  PFile file;
  ASSERT_EQ(0, file.popen(path("f"), PFile::MODE_WRITE_NEW, 0));
  gCalls = 0;
  PSysCalls::table().fWrite = [](int iFd, const void* iBuffer, size_t iSize) -> ssize_t {
    return gCalls++ < 6 ? PSysCalls::defaults().fWrite(iFd, iBuffer, iSize < 5 ? iSize : 5) : fail(ENOSPC);
  };
  EXPECT_EQ(0, put(file, "more than seven bytes"));
  unsigned int done = 0;
  EXPECT_EQ(PERR_NO_SPACE, file.pwrite("0123456789", 10, done));
  EXPECT_EQ(5u, done);
  PSysCalls::restore();
  EXPECT_EQ(0, file.pclose());
  EXPECT_EQ("more than seven bytes", readText(dir / "f")) << "a failed write takes back what it appended";
  // Interrupted once (retried), 10 bytes, then a device error: the next
  // read starts where the failed one did.
  ASSERT_EQ(0, file.popen(path("f"), PFile::MODE_READ_ONLY, 0));
  gCalls = 0;
  PSysCalls::table().fRead = [](int iFd, void* oBuffer, size_t iSize) -> ssize_t {
    return gCalls++ == 0 ? fail(EINTR) : gCalls == 2 ? PSysCalls::defaults().fRead(iFd, oBuffer, iSize < 10 ? iSize : 10) : fail(EIO);
  };
  char buffer[100];
  EXPECT_EQ(PERR_IO, file.pread(buffer, sizeof buffer, done));
  EXPECT_EQ(10u, done);
  PSysCalls::restore();
  EXPECT_EQ(0, file.pread(buffer, sizeof buffer, done));
  EXPECT_EQ("more than seven bytes", std::string(buffer, done));
  PSysCalls::table().fClose = [](int iFd) { return PSysCalls::defaults().fClose(iFd), fail(EIO); };
  EXPECT_EQ(PERR_IO, file.pclose());
  EXPECT_FALSE(file.isOpen());
  PSysCalls::restore();
  PSysCalls::table().fFstat = [](int, struct stat*) { return fail(EIO); };  // after the open: the descriptor goes again
  EXPECT_EQ(PERR_IO, file.popen(path("f"), PFile::MODE_READ_ONLY, 0));
  PSysCalls::restore();
  // A directory removed mid-listing ends it.
  PDir listing;
  ASSERT_EQ(0, listing.popen(path(""), PLiteral()) + ::mkdir((dir / "d").c_str(), 0700));
  gCalls = 0;
  PSysCalls::table().fReaddir = [](DIR* iDir) { return gCalls++ < 2 ? PSysCalls::defaults().fReaddir(iDir) : (errno = ENOENT, nullptr); };
  int seen = listing.preaddir();
  for (; listing == 0; listing++) ++seen;
  EXPECT_EQ(std::make_pair(2, PERR_NOT_FOUND), std::make_pair(seen, listing.lastError()));
}

TEST_F(Files, BeyondFourGiBAndAfter2038) {
  const long long kGiB = 1LL << 30;
  const Bytes head = patternBytes(16, 1);
  ASSERT_TRUE(makeSparse(dir / "big", 5 * kGiB + 3, head));
  PFile file;
  long long size = -1;
  char buffer[32];
  unsigned int done = 0;
  ASSERT_EQ(0, file.popen(path("big"), PFile::MODE_READ_ONLY, 0) + file.pgetSize(size) + file.pread(buffer, 16, done) + file.pclose());
  EXPECT_EQ(5 * kGiB + 3, size);
  EXPECT_EQ(head, Bytes(buffer, buffer + 16));
  for (long long start : {2 * kGiB - 2, 4 * kGiB - 2}) {  // appends straddling the 31- and 32-bit limits
    ASSERT_TRUE(makeSparse(dir / "grow", start));
    EXPECT_EQ(0, file.popen(path("grow"), PFile::MODE_WRITE | PFile::MODE_APPEND, 0) + put(file, "tail") + file.pclose());
    EXPECT_EQ(5, ::pread(PFd(::open((dir / "grow").c_str(), O_RDONLY | O_CLOEXEC)).get(), buffer, 5, start - 1));
    EXPECT_EQ(std::string("\0tail", 5), std::string(buffer, 5));
  }
  const struct timespec late[2] = {{static_cast<time_t>(7258118400LL), 0}, {static_cast<time_t>(7258118400LL), 0}};  // 2200
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, (dir / "big").c_str(), late, 0));
  EXPECT_TRUE(PFile::exists(path("big")) && PFile::check(path("big"), PFile::CHECK_FILE));
  EXPECT_EQ(0, file.popen(path("big"), PFile::MODE_READ_ONLY, 0) + file.pclose());
}

TEST_P(Links, EachOperationFollowsOrRefusesLinksWhereverTheyStand) {
  const int S = PERR_SYMLINK, NF = PERR_NOT_FOUND, ND = PERR_NOT_DIR, ID = PERR_IS_DIR, NFILE = PERR_NOT_FILE;
  const auto outside = treeSnapshot(dir / "outside");
  const mode_t saved = umask(070);
  // Operation, path in tree/, answer with links followed, answer with links refused; in this order.
  const std::tuple<Op, const char*, int, int> cases[] = {
      {kRead, "mid/secret", 0, S}, {kRead, "end", 0, S}, {kRead, "end/", ND, S}, {kRead, "mid/", ID, S}, {kRead, "loop1", PERR_LOOP, S},
      {kKind, "mid/secret", 1, 0}, {kKind, "mid/", 2, 0}, {kKind, "dangling", 0, 0}, {kKind, "loop1/x", 0, 0},
      {kList, "mid", 0, S}, {kList, "relmid/dir", 0, S}, {kWrite, "mid/newfile", 0, S}, {kWrite, "dangling", 0, S},
      {kMkdir, "mid/newdir", 0, S}, {kMkdir, "dangling/", PERR_EXISTS, S}, {kUnlink, "end", 0, S}, {kUnlink, "relmid/inner", 0, S},
      {kRmdir, "mid/dir", 0, S}, {kRmdir, "inlink", ND, S},
      // No link on the way: the system's answers in every mode.
      {kRead, "./sub//./inner", 0, 0}, {kRead, "missing/x", NF, NF}, {kRead, "file/x", ND, ND}, {kRead, "sub", ID, ID},
      {kRead, "fifo", NFILE, NFILE}, {kRead, "/dev/null", NFILE, NFILE}, {kWrite, "fifo", NFILE, NFILE}, {kWrite, "sub", ID, ID},
      {kWrite, "newx/", ID, ID}, {kWrite, "new", 0, 0}, {kKind, "file", 1, 1}, {kKind, "sub/", 2, 2}, {kKind, "file/", 0, 0},
      {kKind, "fifo", 3, 3}, {kKind, "/", 2, 2}, {kList, "file", ND, ND}, {kList, "sub/", 0, 0}, {kMkdir, "made/", 0, 0},
      {kMkdir, "made", PERR_EXISTS, PERR_EXISTS}, {kMkdir, "none/x", NF, NF}, {kRmdir, "file", ND, ND},
      {kRmdir, "sub", PERR_NOT_EMPTY, PERR_NOT_EMPTY}, {kRmdir, "none", NF, NF}, {kRmdir, "sub/deeper/", 0, 0},
      {kUnlink, "sub", ID, ID}, {kUnlink, "file/", ND, ND}, {kUnlink, "none", NF, NF}, {kUnlink, "sub/inner", 0, 0},
      {kWrite, "..a", 0, 0}, {kWrite, "a..", 0, 0}, {kWrite, "...", 0, 0}};  // names, not ".."
  for (const auto& [op, name, followed, refused] : cases) {
    EXPECT_EQ(GetParam() == kFollow ? followed : refused, run(op, tree(name))) << op << " " << name;
  }
  // Refused before anything else: "..", NUL, text that is not Unicode, nothing.
  const wchar_t nul[] = L"a\0b", surrogate[] = {L'a', wchar_t(0xD800), 0};
  for (const PString& bad :
       {PString(L""), PString(L"../x"), wpath(tree("sub/..")), wpath(tree("sub/../escape")), PString(nul, 3), PString(surrogate)}) {
    for (Op op : {kRead, kWrite, kList, kKind, kMkdir, kUnlink, kRmdir}) EXPECT_EQ(op == kKind ? 0 : PERR_INVALID_PATH, run(op, bad)) << op;
  }
  EXPECT_FALSE(std::filesystem::exists(tree("escape")));
  umask(saved);
  struct stat file, directory;
  ASSERT_EQ(0, ::stat(tree("new").c_str(), &file) + ::stat(tree("made").c_str(), &directory));
  EXPECT_EQ(0604u, file.st_mode & 0777) << "0644 less the umask";
  EXPECT_EQ(0705u, directory.st_mode & 0777) << "0755 less the umask";
  // Relative paths start at the working directory, as for the system.
  const int here = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(0, ::chdir(dir.path().c_str()));
  const int relative = run(kRead, "tree/file"), throughLink = run(kRead, "tree/mid/secret");
  ASSERT_EQ(0, ::fchdir(here) + ::close(here));
  EXPECT_EQ(0, relative);
  EXPECT_EQ(GetParam() == kFollow ? 0 : S, throughLink);
  if (GetParam() == kFollow) {
    EXPECT_TRUE(std::filesystem::exists(dir / "outside/new") && std::filesystem::is_directory(dir / "outside/newdir"));
    EXPECT_TRUE(std::filesystem::exists(dir / "outside/secret")) << "deleting a link removes the link";
  } else {
    EXPECT_EQ(outside, treeSnapshot(dir / "outside"));
    EXPECT_TRUE(std::filesystem::is_symlink(tree("end")) && std::filesystem::is_symlink(tree("inlink")));
    EXPECT_GT(gOpenat2Calls, 0) << "openat2 is tried first";
  }
}

TEST_P(Refusing, ADirectorySwappedForALinkDuringTheCallReachesNothingOutside) {
  // The directory that holds the last component is held open while the last
  // step runs; a last component swapped for a link is refused by O_NOFOLLOW.
  static std::string sFrom, sTarget;
  PSysCalls::table().fOpenat = [](int iDir, const char* iPath, int iFlags, mode_t iMode) {
    if ((iFlags & O_PATH) == 0 && !sFrom.empty()) {  // the last step
      if (::rename(sFrom.c_str(), (sFrom + ".moved").c_str()) != 0 || ::symlink(sTarget.c_str(), sFrom.c_str()) != 0) ADD_FAILURE();
      sFrom.clear();
    }
    return PSysCalls::defaults().fOpenat(iDir, iPath, iFlags, iMode);
  };
  for (const auto& [from, target, name, code, text] :
       {std::tuple{"sub", "outside", "sub/inner", 0, "tree/sub/inner"}, {"file", "outside/secret", "file", PERR_SYMLINK, ""}}) {
    sFrom = tree(from), sTarget = dir / target;
    std::string got;
    EXPECT_EQ(code, run(kRead, tree(name), &got));
    EXPECT_EQ(text, got) << "read from the directory that was checked";
  }
}

TEST_P(Refusing, TheFollowScopeLiftsTheRefusalOnItsThreadOnly) {
  EXPECT_EQ(PERR_INVALID_ARG, PPathPolicy::setSymlinks(7));
  {
    PFollowLinksScope follow;
    int other = 0;
    std::thread([&] { other = run(kRead, tree("end")); }).join();
    EXPECT_EQ(std::make_pair(0, PERR_SYMLINK), std::make_pair(run(kRead, tree("end")), other));
  }
  EXPECT_EQ(PERR_SYMLINK, run(kRead, tree("end")));
}

INSTANTIATE_TEST_SUITE_P(Modes, Links, ::testing::Values(kFollow, kOpenat2, kWalk));
INSTANTIATE_TEST_SUITE_P(Modes, Refusing, ::testing::Values(kOpenat2, kWalk));
