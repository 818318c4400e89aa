// PFile and PDir on real files: reads, writes, path safety, faults injected
// through the system-call table, and files beyond 4 GiB or dated after 2038.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "PTestSupport.h"
#include "zevo/PDir.h"
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

}  // namespace

TEST_F(Files, ChunkedReadsReassembleFilesAndEndWithEof) {
  for (size_t size : {0u, 1u, 8191u, 8192u, 8193u, 20000u}) {
    const Bytes data = patternBytes(size, static_cast<unsigned int>(size));
    writeFile(dir / "f", data);
    PFile file;
    ASSERT_EQ(0, file.popen(path("f"), PFile::MODE_READ_ONLY, 0));
    Bytes got(8192);
    Bytes all;
    unsigned int done = 0;
    int rc;
    while ((rc = file.pread(reinterpret_cast<char*>(got.data()), 8192, done)) == 0) {
      EXPECT_EQ(0u, all.size() % 8192) << "a short count before the end";
      all.insert(all.end(), got.begin(), got.begin() + done);
    }
    EXPECT_EQ(data, all);
    EXPECT_EQ(PERR_FILE_EOF, rc) << size;
    EXPECT_EQ(0u, done);
  }
}

TEST_F(Files, WriteModesPermissionsAndAClosedObject) {
  const mode_t saved = umask(027);
  PFile file;
  ASSERT_EQ(0, file.popen(path("w"), PFile::MODE_WRITE_NEW, 1));
  umask(saved);
  EXPECT_EQ(PERR_ALREADY_OPEN, file.popen(path("w"), PFile::MODE_READ_ONLY, 0));
  long long size = -1;
  PString name;
  EXPECT_EQ(0, put(file, std::string(10000, 'd')) + file.pgetSize(size) + file.pgetName(name) + file.pclose());
  EXPECT_EQ(10000, size);
  EXPECT_EQ(path("w").str(), name.str());
  struct stat info;
  ASSERT_EQ(0, ::stat((dir / "w").c_str(), &info));
  EXPECT_EQ(0640u, info.st_mode & 0777);
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
  ASSERT_EQ(0, file.popen(path("w"), PFile::MODE_WRITE | PFile::MODE_APPEND, 0));
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) != dir / "w") continue;
    EXPECT_EQ(O_APPEND, ::fcntl(std::stoi(entry.path().filename()), F_GETFL) & (O_NONBLOCK | O_APPEND));
  }
  EXPECT_EQ(0, file.pclose());
  PSysCalls::table().fFcntl = [](int, int, int) { return fail(EINVAL); };
  EXPECT_EQ(PERR_INVALID_ARG, file.popen(path("w"), PFile::MODE_READ_ONLY, 0));
}

TEST_F(Files, PathOperationsOnFilesDirectoriesAndOthers) {
  writeText(dir / "f", "x");
  ASSERT_EQ(0, ::mkdir((dir / "d").c_str(), 0700) + ::mkfifo((dir / "p").c_str(), 0600) + ::symlink("f", (dir / "l").c_str()));
  EXPECT_TRUE(PFile::exists(path("f")) && PFile::exists(path("l")) && !PFile::exists(path("none")));
  EXPECT_TRUE(PFile::check(path("f"), PFile::CHECK_FILE) && !PFile::check(path("f"), PFile::CHECK_DIR));
  EXPECT_TRUE(PFile::check(path("d"), PFile::CHECK_DIR) && !PFile::check(path("d"), PFile::CHECK_FILE));
  EXPECT_FALSE(PFile::check(path("p"), PFile::CHECK_FILE));
  PFile file;
  for (const auto& [name, mode, code] : {std::tuple{"d", 1u, PERR_IS_DIR}, {"d", 18u, PERR_IS_DIR}, {"p", 1u, PERR_NOT_FILE},
                                         {"p", 2u, PERR_NOT_FILE}, {"none", 1u, PERR_NOT_FOUND}}) {
    EXPECT_EQ(code, file.popen(path(name), mode, 0)) << name << " " << mode;  // a FIFO must not block
  }
  EXPECT_EQ(PERR_NOT_FILE, file.popen(PString(L"/dev/null"), 1, 0));
  const mode_t saved = umask(002);
  const std::pair<int, int> results[] = {{PERR_NOT_FOUND, PFile::pdelete(path("none"))}, {PERR_IS_DIR, PFile::pdelete(path("d"))},
                                         {0, PFile::pdelete(path("l"))},                   {0, PDir::pcreate(path("e"))},
                                         {PERR_EXISTS, PDir::pcreate(path("e"))},          {PERR_NOT_FOUND, PDir::pcreate(path("x/y"))},
                                         {PERR_NOT_EMPTY, PDir::pdelete(path(""))},        {PERR_NOT_DIR, PDir::pdelete(path("f"))},
                                         {PERR_NOT_FOUND, PDir::pdelete(path("none"))},    {0, PDir::pdelete(path("d"))}};
  umask(saved);
  for (const auto& [expected, got] : results) EXPECT_EQ(expected, got);
  EXPECT_TRUE(PFile::exists(path("f")) && !std::filesystem::exists(dir / "d")) << "the link went, not its target";
  struct stat info;
  ASSERT_EQ(0, ::stat((dir / "e").c_str(), &info));
  EXPECT_EQ(0755u, info.st_mode & 0777);
}

TEST_F(Files, NoPathOperationTakesDotDotNulOrBadText) {
  ASSERT_EQ(0, ::mkdir((dir / "sub").c_str(), 0700));
  const wchar_t withNul[] = L"a\0b";
  const wchar_t surrogate[] = {L'a', wchar_t(0xD800), 0};
  for (const PString& bad : {PString(L""), PString(L"../x"), path("sub/.."), path("sub/../escape"), PString(withNul, 3), PString(surrogate)}) {
    SCOPED_TRACE(PUtils::toDisplay(bad));
    PFile file;
    EXPECT_EQ(PERR_INVALID_PATH, file.popen(bad, PFile::MODE_WRITE_NEW, 0));
    EXPECT_EQ(0, PFile::exists(bad) + PFile::check(bad, PFile::CHECK_DIR) + PFile::check(bad, PFile::CHECK_FILE));
    for (int rc : {PFile::pdelete(bad), PDir().popen(bad, PLiteral()), PDir::pcreate(bad), PDir::pdelete(bad)}) EXPECT_EQ(PERR_INVALID_PATH, rc);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "escape"));
  PFile file;
  for (const char* name : {"..a", "a..", "./sub/./g", "...", "sub//h"}) {
    EXPECT_EQ(0, file.popen(path(name), PFile::MODE_WRITE_NEW, 0) + file.pclose() + PFile::pdelete(path(name))) << name;
  }
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
    int count = 0;
    EXPECT_EQ(0, listing.preaddir());
    for (; listing == 0; listing++) ++count;
    EXPECT_EQ(3, count);
    EXPECT_EQ(0u, listing.getEntry().len());
  }
  EXPECT_EQ(0, listing.pclose());
  EXPECT_EQ(PERR_NOT_OPEN, listing.pclose());
}

TEST_F(Files, FaultsOfTheSystemLoseNothingAndLeaveNothingOpen) {
  PFile file;
  ASSERT_EQ(0, file.popen(path("f"), PFile::MODE_WRITE_NEW, 0));
  PSysCalls::table().fWrite = [](int iFd, const void* iBuffer, size_t iSize) {
    return PSysCalls::defaults().fWrite(iFd, iBuffer, iSize < 7 ? iSize : 7);  // short writes are repeated
  };
  EXPECT_EQ(0, put(file, "more than seven bytes"));
  gCalls = 0;
  PSysCalls::table().fWrite = [](int iFd, const void* iBuffer, size_t iSize) -> ssize_t {
    return gCalls++ == 0 ? PSysCalls::defaults().fWrite(iFd, iBuffer, iSize < 5 ? iSize : 5) : fail(ENOSPC);
  };
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
  PDir listing;
  PSysCalls::table().fOpen = [](const char*, int, mode_t) { return fail(EACCES); };
  EXPECT_EQ(PERR_ACCESS, file.popen(path("f"), PFile::MODE_WRITE_NEW, 0));
  EXPECT_EQ(PERR_ACCESS, listing.popen(path(""), PLiteral()));
  PSysCalls::restore();
  PSysCalls::table().fFstat = [](int, struct stat*) { return fail(EIO); };  // after the open: the descriptor goes again
  EXPECT_EQ(PERR_IO, file.popen(path("f"), PFile::MODE_READ_ONLY, 0));
  PSysCalls::restore();
  // A directory removed mid-listing ends it.
  ASSERT_EQ(0, listing.popen(path(""), PLiteral()) + ::mkdir((dir / "d").c_str(), 0700));
  gCalls = 0;
  PSysCalls::table().fReaddir = [](DIR* iDir) { return gCalls++ < 2 ? PSysCalls::defaults().fReaddir(iDir) : (errno = ENOENT, nullptr); };
  int seen = 0;
  EXPECT_EQ(0, listing.preaddir());
  for (; listing == 0; listing++) ++seen;
  EXPECT_EQ(2, seen);
  EXPECT_EQ(PERR_NOT_FOUND, listing.lastError());
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
    const int fd = ::open((dir / "grow").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(5, ::pread(fd, buffer, 5, start - 1));
    ::close(fd);
    EXPECT_EQ(std::string("\0tail", 5), std::string(buffer, 5));
  }
  const struct timespec late[2] = {{static_cast<time_t>(7258118400LL), 0}, {static_cast<time_t>(7258118400LL), 0}};  // 2200
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, (dir / "big").c_str(), late, 0));
  EXPECT_TRUE(PFile::exists(path("big")) && PFile::check(path("big"), PFile::CHECK_FILE));
  EXPECT_EQ(0, file.popen(path("big"), PFile::MODE_READ_ONLY, 0) + file.pclose());
}
