// What differs on a 32-bit target, seen through the plug-in: sizes beyond
// 2 and 4 GiB as TAG_INT64 replies, transfers of files beyond 4 GiB, files
// dated after 2038, and log lines that carry addresses. Run natively and
// under qemu-arm.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "PServiceTest.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr long long kGiB = 1LL << 30;

class WordSize : public PServiceTest<> {};

// The log line that starts with iPrefix (exactly one expected).
std::wstring lineStartingWith(PFakeLogger& iLogger, const std::wstring& iPrefix) {
  std::vector<std::wstring> found;
  for (const PLogLine& line : iLogger.lines()) {
    if (line.fText.compare(0, iPrefix.size(), iPrefix) == 0) found.push_back(line.fText);
  }
  EXPECT_EQ(1u, found.size()) << "lines starting with the prefix";
  return found.empty() ? std::wstring() : found.front();
}

bool allHex(const std::wstring& iText) {
  if (iText.empty()) return false;
  for (wchar_t c : iText) {
    if (!std::iswxdigit(static_cast<wint_t>(c))) return false;
  }
  return true;
}

std::wstring formatted(const wchar_t* iFormat, ...) {
  wchar_t buffer[64];
  va_list args;
  va_start(args, iFormat);
  const int n = std::vswprintf(buffer, 64, iFormat, args);
  va_end(args);
  return n < 0 ? std::wstring() : std::wstring(buffer, static_cast<size_t>(n));
}

}  // namespace

// Sizes at the 31- and 32-bit limits and beyond: the TAG_INT64 reply byte for
// byte. A size taken through a 32-bit off_t or int fails at least one.
TEST_F(WordSize, GetFileSizeBeyondTwoAndFourGiB) {
  struct Case {
    long long fSize;
    Bytes fReply;
  };
  const Case cases[] = {
      {2 * kGiB - 1, {0x04, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0}},
      {2 * kGiB, {0x04, 0x00, 0x00, 0x00, 0x80, 0, 0, 0, 0}},
      {4 * kGiB - 1, {0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}},
      {4 * kGiB, {0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0, 0, 0}},
      {5 * kGiB + 3, {0x04, 0x03, 0x00, 0x00, 0x40, 0x01, 0, 0, 0}},
  };
  const int descriptors = openDescriptorCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fSize);
    ASSERT_TRUE(makeSparse(dir / "data/big", c.fSize)) << std::strerror(errno);
    const PCommsMessage reply = call(2001, t + L"/data/big");
    EXPECT_EQ(0, statusOf(reply));
    EXPECT_EQ(c.fReply, reply.fData);
    EXPECT_EQ(c.fSize, replyInt64(reply));
  }
  EXPECT_EQ(descriptors, openDescriptorCount());
}

// A download of a 5 GiB file starts at its first byte; the transfer's ID
// serves the chunk and the close like any other.
TEST_F(WordSize, DownloadOfAFileBeyondFourGiBStartsAtItsFirstByte) {
  const Bytes head = patternBytes(100, 5);
  ASSERT_TRUE(makeSparse(dir / "data/big", 5 * kGiB, head)) << std::strerror(errno);
  const int descriptors = openDescriptorCount();

  const PCommsMessage opened = harness.call(1001, PPayload().str(t + L"/data/big").i32(1).data());
  ASSERT_EQ(0, statusOf(opened));
  const int id = replyInt32(opened);
  ASSERT_NE(0, id);
  EXPECT_EQ(descriptors + 1, openDescriptorCount());

  Bytes expected = head;
  expected.resize(8192, 0);
  const PCommsMessage chunk = next(id, 8192);
  EXPECT_EQ(0, statusOf(chunk));
  EXPECT_EQ(expected, replyBytes(chunk));
  EXPECT_EQ(0, close(id));
  EXPECT_EQ(descriptors, openDescriptorCount());
}

// With a 32-bit time_t, stat() fails with EOVERFLOW on these files and the
// plug-in would call them missing.
TEST_F(WordSize, FilesDatedAfter2038AreServed) {
  writeFile(dir / "data/late", patternBytes(7, 2));
  const struct timespec times[2] = {{static_cast<time_t>(7258118400LL), 0}, {static_cast<time_t>(7258118400LL), 0}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, (dir / "data/late").c_str(), times, 0)) << std::strerror(errno);
  struct stat info;
  ASSERT_EQ(0, ::stat((dir / "data/late").c_str(), &info));
  if (static_cast<long long>(info.st_mtime) != 7258118400LL) {
    GTEST_SKIP() << "the file system under " << dir.path() << " stores no time after 2038";
  }

  EXPECT_TRUE(replyBool(call(2002, t + L"/data/late")));
  PCommsMessage reply = call(2003, t + L"/data/late");
  EXPECT_EQ(0, statusOf(reply));
  EXPECT_TRUE(replyBool(reply));
  reply = call(2001, t + L"/data/late");
  EXPECT_EQ(0, statusOf(reply));
  EXPECT_EQ(7, replyInt64(reply));
  const PCommsMessage opened = harness.call(1001, PPayload().str(t + L"/data/late").i32(1).data());
  ASSERT_EQ(0, statusOf(opened));
  const int id = replyInt32(opened);
  EXPECT_EQ(patternBytes(7, 2), replyBytes(next(id, 100)));
  EXPECT_EQ(0, close(id));
}

// "0x%08x" lines carry the low 32 bits of an address as exactly 8 hex digits
// on both word sizes, "%p" lines the whole pointer; each names the object it
// is about.
TEST_F(WordSize, AddressesInLogLinesFitTheWordSize) {
  const auto low32 = [](const void* iAddress) {
    return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(iAddress) & 0xFFFFFFFFu);
  };

  // The service logs its own address; it is the listener it registered.
  const std::wstring created = lineStartingWith(harness.fLogger, L"[PFileAccess] Create instance: 0x");
  const std::wstring createdDigits = created.substr(std::wcslen(L"[PFileAccess] Create instance: 0x"));
  EXPECT_EQ(8u, createdDigits.size()) << std::string(created.begin(), created.end());
  EXPECT_TRUE(allHex(createdDigits));
  ASSERT_NE(nullptr, harness.listener());
  EXPECT_EQ(formatted(L"%08x", low32(harness.listener())), createdDigits);

  const std::wstring dispatcher = lineStartingWith(harness.fLogger, L"[startComms] Get IEventDispatcher ptr: 0x");
  const std::wstring dispatcherDigits = dispatcher.substr(std::wcslen(L"[startComms] Get IEventDispatcher ptr: 0x"));
  EXPECT_EQ(8u, dispatcherDigits.size());
  EXPECT_TRUE(allHex(dispatcherDigits));
  EXPECT_EQ(formatted(L"%08x", low32(static_cast<IBase*>(&harness.fDispatcher))), dispatcherDigits);

  const std::wstring comms = lineStartingWith(harness.fLogger, L"[startComms] Get FA IComms ptr: ");
  const std::wstring pointer = comms.substr(std::wcslen(L"[startComms] Get FA IComms ptr: "));
  ASSERT_GT(pointer.size(), 2u);
  EXPECT_EQ(L"0x", pointer.substr(0, 2));
  const std::wstring pointerDigits = pointer.substr(2);
  EXPECT_TRUE(allHex(pointerDigits));
  EXPECT_LE(pointerDigits.size(), 2 * sizeof(void*)) << "more digits than a pointer has";
  EXPECT_EQ(reinterpret_cast<uintptr_t>(static_cast<IBase*>(&harness.fComms)),
            static_cast<uintptr_t>(std::wcstoull(pointerDigits.c_str(), nullptr, 16)));
}
