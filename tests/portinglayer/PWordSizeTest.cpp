// What differs on a 32-bit target: 64-bit payload integers, full-range
// 32-bit ones, files beyond 2 and 4 GiB, times after January 2038, and
// payload elements at every alignment. Run natively and under qemu-arm.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "PlTestSupport.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PEndian.h"
#include "zevo/PFile.h"

// Without the project-wide _FILE_OFFSET_BITS=64 and _TIME_BITS=64 these fail
// on 32-bit glibc, and the file tests below could not even be written.
static_assert(sizeof(long long) == 8, "TAG_INT64 values are long long");
static_assert(sizeof(off_t) == 8, "64-bit file offsets");
static_assert(sizeof(decltype(stat::st_size)) == 8, "64-bit file sizes");
static_assert(sizeof(ino_t) == 8, "64-bit inode numbers");
static_assert(sizeof(time_t) == 8, "64-bit times");

namespace {

using Bytes = std::vector<unsigned char>;

constexpr long long kGiB = 1LL << 30;

// The wire order is little-endian whatever the host; restored at scope end.
class PLittleWire {
 public:
  PLittleWire() { zevoSetEndiannessOverride(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 0 : 1); }
  ~PLittleWire() { zevoSetEndiannessOverride(-1); }
};

// iValue's iCount bytes, least significant first, computed by shifts: an
// encoding independent of the codec under test.
Bytes littleEndian(unsigned long long iValue, int iCount) {
  Bytes out;
  for (int i = 0; i < iCount; ++i) out.push_back(static_cast<unsigned char>(iValue >> (8 * i)));
  return out;
}

Bytes element(unsigned char iTag, const Bytes& iBody) {
  Bytes out(1 + iBody.size(), iTag);
  std::copy(iBody.begin(), iBody.end(), out.begin() + 1);
  return out;
}

// iCount bytes at iOffset, read without the layer.
Bytes readAt(const std::string& iPath, long long iOffset, size_t iCount) {
  Bytes out(iCount);
  const int fd = ::open(iPath.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << std::strerror(errno);
  if (fd < 0) return {};
  const ssize_t got = ::pread(fd, out.data(), iCount, static_cast<off_t>(iOffset));
  ::close(fd);
  out.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return out;
}

}  // namespace

TEST(PDataWideValues, Int64BeyondFourGiBByteForByte) {
  struct Case {
    long long fValue;
    Bytes fLittle;  // the 8 value bytes as they stand on a little-endian wire
  };
  const Case cases[] = {
      {5 * kGiB + 3, {0x03, 0x00, 0x00, 0x40, 0x01, 0x00, 0x00, 0x00}},
      {-(5 * kGiB + 3), {0xFD, 0xFF, 0xFF, 0xBF, 0xFE, 0xFF, 0xFF, 0xFF}},
      {2 * kGiB, {0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00}},  // sign-extended from 32 bits: wrong
      {4 * kGiB - 1, {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00}},
      {4 * kGiB, {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}},
      {-2 * kGiB - 1, {0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF}},
      {-1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {LLONG_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
      {LLONG_MIN, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fValue);
    ASSERT_EQ(littleEndian(static_cast<unsigned long long>(c.fValue), 8), c.fLittle) << "table entry";
    for (bool swapped : {false, true}) {
      // swapped: the big-endian wire, the same bytes reversed.
      zevoSetEndiannessOverride((__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) == !swapped ? 0 : 1);
      const Bytes body = swapped ? Bytes(c.fLittle.rbegin(), c.fLittle.rend()) : c.fLittle;
      Bytes written;
      PDataWriter(written).writeInt64(c.fValue);
      EXPECT_EQ(element(TAG_INT64, body), written) << (swapped ? "big" : "little");
      const Bytes wire = element(TAG_INT64, body);
      PDataReader reader(wire);
      long long read = 0;
      EXPECT_EQ(0, reader.readInt64(read));
      EXPECT_EQ(c.fValue, read);
      EXPECT_EQ(0u, reader.remaining());
    }
    zevoSetEndiannessOverride(-1);
  }
}

TEST(PDataWideValues, Int32KeepsTheFullRangeAndItsSign) {
  PLittleWire wire;
  for (int value : {INT_MIN, INT_MIN + 1, -65536, -2, -1, 1, 0x7FFF, 0x10000, INT_MAX - 1, INT_MAX}) {
    SCOPED_TRACE(value);
    Bytes written;
    PDataWriter(written).writeInt32(value);
    EXPECT_EQ(element(TAG_INT32, littleEndian(static_cast<unsigned int>(value), 4)), written);
    int read = 0;
    EXPECT_EQ(0, PDataReader(written).readInt32(read));
    EXPECT_EQ(value, read);
  }
  // Neither width is read as the other, even with enough bytes following.
  long long wide = 7;
  int narrow = 7;
  const Bytes twoInt32{TAG_INT32, 0xFF, 0xFF, 0xFF, 0xFF, TAG_INT32, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(ERR_DATA_TYPE, PDataReader(twoInt32).readInt64(wide));
  EXPECT_EQ(ERR_DATA_TYPE, PDataReader(element(TAG_INT64, Bytes(8, 0xFF))).readInt32(narrow));
  EXPECT_EQ(7, wide);
  EXPECT_EQ(7, narrow);
}

// Every element kind preceded by 0 to 18 bytes of filler elements, so the
// multi-byte value behind its tag starts at every address modulo 8. Reads
// through casted pointers would fault on ARM (LDRD) or under UBSan's
// alignment check; the values must come out right at every offset.
TEST(PDataWideValues, ElementsAtEveryAlignment) {
  PLittleWire wire;
  const std::vector<PString> list = {PString(L"a\u00E9"), PString(L""), PString(L"\u20AC\U0001F600")};
  const Bytes block = patternBytes(11, 3);
  struct Kind {
    const char* fName;
    std::function<void(PDataWriter&)> fWrite;
    Bytes fExpected;  // the element, encoded independently
    std::function<void(PDataReader&, const unsigned char*)> fCheck;  // reads and checks it; the argument is where it starts
  };
  auto stringElement = [](const std::string& iUtf8) {
    Bytes out = element(TAG_STRING, littleEndian(iUtf8.size(), 4));
    out.insert(out.end(), iUtf8.begin(), iUtf8.end());
    return out;
  };
  Bytes listElement = element(TAG_STRING_LIST, littleEndian(3, 4));
  for (const std::string& utf8 : {std::string("a\xC3\xA9"), std::string(), std::string("\xE2\x82\xAC\xF0\x9F\x98\x80")}) {
    const Bytes one = stringElement(utf8);
    listElement.insert(listElement.end(), one.begin(), one.end());
  }
  Bytes blockElement = element(TAG_BYTES, littleEndian(block.size(), 4));
  blockElement.insert(blockElement.end(), block.begin(), block.end());

  const Kind kinds[] = {
      {"int32", [](PDataWriter& w) { w.writeInt32(static_cast<int>(0x89ABCDEFu)); },
       element(TAG_INT32, {0xEF, 0xCD, 0xAB, 0x89}),
       [](PDataReader& r, const unsigned char*) {
         int v = 0;
         EXPECT_EQ(0, r.readInt32(v));
         EXPECT_EQ(static_cast<int>(0x89ABCDEFu), v);
       }},
      {"int64", [](PDataWriter& w) { w.writeInt64(0x0123456789ABCDEFLL); },
       element(TAG_INT64, {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}),
       [](PDataReader& r, const unsigned char*) {
         long long v = 0;
         EXPECT_EQ(0, r.readInt64(v));
         EXPECT_EQ(0x0123456789ABCDEFLL, v);
       }},
      {"negative int64", [](PDataWriter& w) { w.writeInt64(-(5 * kGiB + 3)); },
       element(TAG_INT64, {0xFD, 0xFF, 0xFF, 0xBF, 0xFE, 0xFF, 0xFF, 0xFF}),
       [](PDataReader& r, const unsigned char*) {
         long long v = 0;
         EXPECT_EQ(0, r.readInt64(v));
         EXPECT_EQ(-(5 * kGiB + 3), v);
       }},
      {"bytes", [&](PDataWriter& w) { w.writeBytes(block); }, blockElement,
       [&](PDataReader& r, const unsigned char* iElement) {
         const unsigned char* view = nullptr;
         size_t count = 0;
         EXPECT_EQ(0, r.readBytesView(view, count));
         EXPECT_EQ(iElement + 5, view);  // in place, past the header
         EXPECT_EQ(block, Bytes(view, view + count));
       }},
      {"bytes copied", [&](PDataWriter& w) { w.writeBytes(block.data(), block.size()); }, blockElement,
       [&](PDataReader& r, const unsigned char*) {
         Bytes v{0xEE};
         EXPECT_EQ(0, r.readBytes(v));
         EXPECT_EQ(0xEE, v.front());
         EXPECT_EQ(block, Bytes(v.begin() + 1, v.end()));
       }},
      {"string", [](PDataWriter& w) { EXPECT_EQ(0, w.writeString(PLiteral(L"\u20AC\U0001F600"))); },
       stringElement("\xE2\x82\xAC\xF0\x9F\x98\x80"),
       [](PDataReader& r, const unsigned char*) {
         PString v;
         EXPECT_EQ(0, r.readString(v));
         EXPECT_EQ(L"\u20AC\U0001F600", v.str());
       }},
      {"string list", [&](PDataWriter& w) { EXPECT_EQ(0, w.writeStrings(list)); }, listElement,
       [&](PDataReader& r, const unsigned char*) {
         std::vector<PString> v;
         EXPECT_EQ(0, r.readStrings(v));
         ASSERT_EQ(list.size(), v.size());
         for (size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i].str(), v[i].str());
       }},
  };

  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.fName);
    std::set<uintptr_t> residues;
    // Fillers: 0 to 3 bools (2 bytes each), then none or a block of 0 to 7
    // bytes (5 to 12 bytes).
    for (int bools = 0; bools <= 3; ++bools) {
      for (int blockSize = -1; blockSize <= 7; ++blockSize) {
        SCOPED_TRACE(testing::Message() << bools << " bools, block " << blockSize);
        Bytes data;
        PDataWriter writer(data);
        for (int i = 0; i < bools; ++i) writer.writeBool(i % 2 == 0);
        const Bytes filler = patternBytes(blockSize < 0 ? 0 : static_cast<size_t>(blockSize), 7);
        if (blockSize >= 0) writer.writeBytes(filler);
        const size_t at = data.size();
        kind.fWrite(writer);
        ASSERT_EQ(kind.fExpected, Bytes(data.begin() + static_cast<std::ptrdiff_t>(at), data.end()));
        residues.insert(reinterpret_cast<uintptr_t>(data.data() + at + 1) % 8);

        PDataReader reader(data);
        for (int i = 0; i < bools; ++i) {
          bool flag = false;
          ASSERT_EQ(0, reader.readBool(flag));
          EXPECT_EQ(i % 2 == 0, flag);
        }
        if (blockSize >= 0) {
          const unsigned char* view = nullptr;
          size_t count = 99;
          ASSERT_EQ(0, reader.readBytesView(view, count));
          EXPECT_EQ(data.data() + at - filler.size(), view);
          EXPECT_EQ(filler, Bytes(view, view + count));
        }
        ASSERT_EQ(at, reader.position());
        kind.fCheck(reader, data.data() + at);
        EXPECT_EQ(0u, reader.remaining());
      }
    }
    EXPECT_EQ(8u, residues.size()) << "not every alignment was exercised";
  }
}

// A sparse file of 5 GiB + 3 bytes (no data blocks, so no disk space): on a
// 32-bit build without large-file support open() and stat() fail with
// EOVERFLOW and the size comes out as 1 GiB + 3.
TEST(PLargeFile, SparseFileBeyondFourGiBOpensSizesAndReads) {
  PTempDir dir;
  const std::string path = dir.path() + "/big";
  const long long size = 5 * kGiB + 3;
  const Bytes head = patternBytes(16, 1);
  ASSERT_TRUE(makeSparse(path, size, head)) << std::strerror(errno);

  EXPECT_EQ(1, PFile::exists(widePath(dir, "big")));
  EXPECT_EQ(1, PFile::check(widePath(dir, "big"), PFile::CHECK_FILE));
  PFile file;
  ASSERT_EQ(0, file.popen(widePath(dir, "big"), PFile::MODE_READ_ONLY, 0));
  long long reported = -1;
  ASSERT_EQ(0, file.pgetSize(reported));
  EXPECT_EQ(size, reported);

  // A fresh file reads from its start: the written head, then the hole's zeros.
  std::vector<char> buffer(8192, 'x');
  unsigned int done = 0;
  ASSERT_EQ(0, file.pread(buffer.data(), static_cast<unsigned int>(buffer.size()), done));
  EXPECT_EQ(buffer.size(), done);
  Bytes expected = head;
  expected.resize(buffer.size(), 0);
  EXPECT_EQ(expected, Bytes(buffer.begin(), buffer.end()));
  EXPECT_EQ(0, file.pclose());
}

// Appending writes to files already 2 GiB - 2, 4 GiB - 2 and 5 GiB long: the
// first two straddle the 31- and 32-bit limits. Only the written blocks use
// disk space.
TEST(PLargeFile, AppendingWritesLandBeyondTwoAndFourGiB) {
  PTempDir dir;
  const std::string path = dir.path() + "/grow";
  for (long long start : {2 * kGiB - 2, 4 * kGiB - 2, 5 * kGiB}) {
    SCOPED_TRACE(start);
    ASSERT_TRUE(makeSparse(path, start)) << std::strerror(errno);
    const Bytes data = patternBytes(4096, static_cast<unsigned int>(start));
    PFile file;
    ASSERT_EQ(0, file.popen(widePath(dir, "grow"), PFile::MODE_WRITE | PFile::MODE_APPEND, 0));
    unsigned int done = 0;
    ASSERT_EQ(0, file.pwrite(reinterpret_cast<const char*>(data.data()), static_cast<unsigned int>(data.size()), done));
    EXPECT_EQ(data.size(), done);
    long long size = -1;
    ASSERT_EQ(0, file.pgetSize(size));
    EXPECT_EQ(start + static_cast<long long>(data.size()), size);
    EXPECT_EQ(0, file.pclose());

    struct stat info;
    ASSERT_EQ(0, ::stat(path.c_str(), &info));
    EXPECT_EQ(start + static_cast<long long>(data.size()), static_cast<long long>(info.st_size));
    EXPECT_EQ(Bytes(1, 0), readAt(path, start - 1, 1)) << "the byte before the append";
    EXPECT_EQ(data, readAt(path, start, data.size()));
  }
}

// A file dated after January 2038 (and after 2106, beyond an unsigned 32-bit
// count): with a 32-bit time_t, stat() and fstat() fail with EOVERFLOW, and
// the file looks missing to exists() and check().
TEST(PLargeFile, FilesDatedBeyond2038AreSeenAndOpened) {
  PTempDir dir;
  const std::string path = dir.path() + "/late";
  ASSERT_TRUE(makeSparse(path, 5)) << std::strerror(errno);
  for (long long seconds : {2208988800LL /* 2040-01-01 */, 7258118400LL /* 2200-01-01 */}) {
    SCOPED_TRACE(seconds);
    const struct timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0)) << std::strerror(errno);
    struct stat info;
    ASSERT_EQ(0, ::stat(path.c_str(), &info)) << std::strerror(errno);
    if (static_cast<long long>(info.st_mtime) != seconds) {
      GTEST_SKIP() << "the file system under " << dir.path() << " stores no time after 2038 (read back "
                   << static_cast<long long>(info.st_mtime) << ")";
    }
    EXPECT_EQ(1, PFile::exists(widePath(dir, "late")));
    EXPECT_EQ(1, PFile::check(widePath(dir, "late"), PFile::CHECK_FILE));
    PFile file;
    ASSERT_EQ(0, file.popen(widePath(dir, "late"), PFile::MODE_READ_ONLY, 0));
    long long size = -1;
    EXPECT_EQ(0, file.pgetSize(size));
    EXPECT_EQ(5, size);
  }
}
