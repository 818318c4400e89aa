// PFile on real files, path safety and descriptor hygiene.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "PlTestSupport.h"
#include "zevo/PDir.h"
#include "zevo/PFile.h"
#include "zevo/PUtils.h"

namespace {

std::string bytesOf(size_t iSize) {
  std::string out(iSize, '\0');
  unsigned int state = static_cast<unsigned int>(iSize) * 2654435761u + 1;
  for (char& c : out) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 16);
  return out;
}

void writeRaw(const std::string& iPath, const std::string& iData) {
  const int fd = ::open(iPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(static_cast<ssize_t>(iData.size()), ::write(fd, iData.data(), iData.size()));
  ::close(fd);
}

// Everything left in the file, in iChunk pieces; the last code in oEnd.
std::string readAll(PFile& iFile, unsigned int iChunk, int& oEnd, unsigned int& oLastDone) {
  std::string out;
  std::vector<char> buffer(iChunk);
  for (;;) {
    oEnd = iFile.pread(buffer.data(), iChunk, oLastDone);
    if (oEnd != 0 || oLastDone == 0) return out;
    EXPECT_EQ(0u, out.size() % iChunk) << "a short count before the end";
    out.append(buffer.data(), oLastDone);
  }
}

}  // namespace

TEST(PFile, ChunkedReadsReassembleFilesAndEndWithEof) {
  PTempDir dir;
  for (size_t size : {0u, 1u, 8191u, 8192u, 8193u, 20000u}) {
    const std::string data = bytesOf(size);
    writeRaw(dir.path() + "/f", data);
    PFile file;
    ASSERT_EQ(0, file.popen(widePath(dir, "f"), PFile::MODE_READ_ONLY, 0));
    unsigned int done = 99;
    EXPECT_EQ(0, file.pread(nullptr, 0, done));
    EXPECT_EQ(0u, done);
    int end = 0;
    EXPECT_EQ(data, readAll(file, 8192, end, done)) << size;
    EXPECT_EQ(PERR_FILE_EOF, end) << size << ": " << codeName(end);
    EXPECT_EQ(0u, done);
    char more = 0;
    EXPECT_EQ(PERR_FILE_EOF, file.pread(&more, 1, done));
  }
}

TEST(PFile, WriteModesPermissionsAndClosedObject) {
  PTempDir dir;
  const PString path = widePath(dir, "w.bin");
  const mode_t saved = umask(027);
  PFile file;
  ASSERT_EQ(0, file.popen(path, PFile::MODE_WRITE_NEW, 1));
  umask(saved);
  EXPECT_EQ(PERR_ALREADY_OPEN, file.popen(path, PFile::MODE_READ_ONLY, 0));
  const std::string data = bytesOf(10000);
  unsigned int done = 0;
  ASSERT_EQ(0, file.pwrite(data.data(), 10000, done));
  EXPECT_EQ(10000u, done);
  long long size = -1;
  EXPECT_EQ(0, file.pgetSize(size));
  EXPECT_EQ(10000, size);
  PString name;
  EXPECT_EQ(0, file.pgetName(name));
  EXPECT_EQ(path.str(), name.str());
  EXPECT_EQ(0, file.pclose());
  struct stat info;
  ASSERT_EQ(0, ::stat((dir.path() + "/w.bin").c_str(), &info));
  EXPECT_EQ(0640u, info.st_mode & 0777);

  // A closed object refuses everything and changes no output.
  char buffer[4];
  EXPECT_EQ(PERR_NOT_OPEN, file.pread(buffer, 4, done));
  EXPECT_EQ(PERR_NOT_OPEN, file.pwrite("x", 1, done));
  EXPECT_EQ(PERR_NOT_OPEN, file.pgetSize(size));
  EXPECT_EQ(10000, size);
  EXPECT_EQ(PERR_NOT_OPEN, file.pgetName(name));
  EXPECT_EQ(PERR_NOT_OPEN, file.pclose());

  // Write without create overwrites in place; append goes to the end;
  // write-new truncates.
  ASSERT_EQ(0, file.popen(path, PFile::MODE_WRITE, 0));
  EXPECT_EQ(0, file.pwrite("AB", 2, done));
  EXPECT_EQ(0, file.pclose());
  ASSERT_EQ(0, file.popen(path, PFile::MODE_WRITE | PFile::MODE_APPEND, 0));
  EXPECT_EQ(0, file.pwrite("YZ", 2, done));
  EXPECT_EQ(0, file.pclose());
  ASSERT_EQ(0, file.popen(path, PFile::MODE_READ | PFile::MODE_WRITE, 0));
  int end = 0;
  EXPECT_EQ("AB" + data.substr(2) + "YZ", readAll(file, 8192, end, done));
  EXPECT_EQ(0, file.pclose());
  ASSERT_EQ(0, file.popen(path, PFile::MODE_WRITE_NEW, 0));
  EXPECT_EQ(0, file.pgetSize(size));
  EXPECT_EQ(0, size);
  EXPECT_EQ(0, file.pclose());

  for (unsigned int mode : {0u, 0x04u, 0x10u, 0x11u, 0x05u, 0x08u, 0x23u}) {
    EXPECT_EQ(PERR_INVALID_ARG, file.popen(path, mode, 0)) << mode;
  }
  EXPECT_FALSE(file.isOpen());
}

TEST(PFile, StaticsAndNonRegularFiles) {
  PTempDir dir;
  writeRaw(dir.path() + "/f", "x");
  ASSERT_EQ(0, ::mkdir((dir.path() + "/d").c_str(), 0700));
  ASSERT_EQ(0, ::mkfifo((dir.path() + "/p").c_str(), 0600));
  ASSERT_EQ(0, ::symlink("f", (dir.path() + "/l").c_str()));

  EXPECT_NE(0, PFile::exists(widePath(dir, "f")));
  EXPECT_NE(0, PFile::exists(widePath(dir, "l")));
  EXPECT_EQ(0, PFile::exists(widePath(dir, "none")));
  EXPECT_NE(0, PFile::check(widePath(dir, "f"), PFile::CHECK_FILE));
  EXPECT_EQ(0, PFile::check(widePath(dir, "f"), PFile::CHECK_DIR));
  EXPECT_NE(0, PFile::check(widePath(dir, "d"), PFile::CHECK_DIR));
  EXPECT_EQ(0, PFile::check(widePath(dir, "d"), PFile::CHECK_FILE));
  EXPECT_EQ(0, PFile::check(widePath(dir, "p"), PFile::CHECK_FILE));

  PFile file;
  const std::pair<const char*, unsigned int> refused[] = {{"d", 1}, {"d", 18}, {"p", 1}, {"p", 2}, {"p", 3}};
  for (const auto& r : refused) {
    const int rc = file.popen(widePath(dir, r.first), r.second, 0);
    EXPECT_EQ(r.first[0] == 'd' ? PERR_IS_DIR : PERR_NOT_FILE, rc) << r.first << " " << r.second << " " << codeName(rc);
  }
  EXPECT_EQ(PERR_NOT_FILE, file.popen(PString(L"/dev/null"), 1, 0));
  EXPECT_EQ(PERR_NOT_FOUND, file.popen(widePath(dir, "none"), 1, 0));
  EXPECT_FALSE(file.isOpen());

  EXPECT_EQ(PERR_NOT_FOUND, PFile::pdelete(widePath(dir, "none")));
  EXPECT_EQ(PERR_IS_DIR, PFile::pdelete(widePath(dir, "d")));
  EXPECT_EQ(0, PFile::pdelete(widePath(dir, "l")));
  EXPECT_NE(0, PFile::exists(widePath(dir, "f")));  // the link went, not its target
  EXPECT_EQ(0, PFile::pdelete(widePath(dir, "f")));
  EXPECT_EQ(0, PFile::exists(widePath(dir, "f")));
}

TEST(PFile, PathSafetyForEveryPathOperation) {
  PTempDir dir;
  ASSERT_EQ(0, ::mkdir((dir.path() + "/sub").c_str(), 0700));
  writeRaw(dir.path() + "/sub/f", "x");
  const wchar_t withNul[] = L"a\0b";
  const wchar_t surrogate[] = {L'a', wchar_t(0xD800), 0};
  const std::vector<PString> refused = {PString(L""), PString(L".."), PString(L"../x"), widePath(dir, "sub/.."),
                                        widePath(dir, "sub/../escape"), widePath(dir, "sub/../sub/f"), widePath(dir, "../x"),
                                        PString(withNul, 3), PString(surrogate)};
  for (const PString& path : refused) {
    const std::string shown = PUtils::toDisplay(path);
    PFile file;
    PDir listing;
    EXPECT_EQ(PERR_INVALID_PATH, file.popen(path, PFile::MODE_WRITE_NEW, 0)) << shown;
    EXPECT_EQ(PERR_INVALID_PATH, PFile::pdelete(path)) << shown;
    EXPECT_EQ(0, PFile::exists(path)) << shown;
    EXPECT_EQ(0, PFile::check(path, PFile::CHECK_DIR)) << shown;
    EXPECT_EQ(0, PFile::check(path, PFile::CHECK_FILE)) << shown;
    EXPECT_EQ(PERR_INVALID_PATH, listing.popen(path, PLiteral()));
    EXPECT_EQ(PERR_INVALID_PATH, PDir::pcreate(path)) << shown;
    EXPECT_EQ(PERR_INVALID_PATH, PDir::pdelete(path)) << shown;
  }
  EXPECT_EQ(0, ::access((dir.path() + "/sub/f").c_str(), F_OK));
  EXPECT_NE(0, ::access((dir.path() + "/escape").c_str(), F_OK));

  PFile file;
  for (const char* name : {"..a", "a..", "./sub/./g", "...", "sub//h"}) {
    EXPECT_EQ(0, file.popen(widePath(dir, name), PFile::MODE_WRITE_NEW, 0)) << name;
    EXPECT_EQ(0, file.pclose());
    EXPECT_EQ(0, PFile::pdelete(widePath(dir, name))) << name;
  }
  EXPECT_EQ(0, PDir::pcreate(widePath(dir, "b..")));
  EXPECT_EQ(0, PDir::pdelete(widePath(dir, "b..")));
}

TEST(PFile, NoDescriptorLeaksOnSuccessOrFailure) {
  PTempDir dir;
  writeRaw(dir.path() + "/f", "data");
  ASSERT_EQ(0, ::mkfifo((dir.path() + "/p").c_str(), 0600));
  const int before = openDescriptorCount();
  for (int round = 0; round < 3; ++round) {
    PFile file;
    EXPECT_EQ(PERR_IS_DIR, file.popen(PString(widePath(dir, "")), 1, 0));
    EXPECT_EQ(PERR_NOT_FILE, file.popen(widePath(dir, "p"), 1, 0));
    EXPECT_EQ(PERR_NOT_FOUND, file.popen(widePath(dir, "x"), 1, 0));
    EXPECT_EQ(0, file.popen(widePath(dir, "f"), 1, 0));  // the destructor closes it
    PDir listing;
    EXPECT_EQ(PERR_NOT_DIR, listing.popen(widePath(dir, "f"), PLiteral()));
    EXPECT_EQ(PERR_NOT_FOUND, listing.popen(widePath(dir, "x"), PLiteral()));
    EXPECT_EQ(0, listing.popen(widePath(dir, ""), PLiteral(L"*")));
    EXPECT_EQ(0, listing.preaddir());
    {
      PDir other;
      EXPECT_EQ(0, other.popen(widePath(dir, ""), PLiteral()));
    }
    EXPECT_EQ(before + 2, openDescriptorCount());  // `file` and `listing`
    for (const std::string& name : {dir.path() + "/f", dir.path()}) {
      const int fd = descriptorOf(name);
      ASSERT_GE(fd, 0) << name;
      EXPECT_NE(0, ::fcntl(fd, F_GETFD) & FD_CLOEXEC) << name;
    }
  }
  EXPECT_EQ(before, openDescriptorCount());
}
