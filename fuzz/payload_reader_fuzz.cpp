// PDataReader over any payload, every element read in any order.
//
// Input: byte 0 gives the number of reads (low 4 bits, plus one) and the
// byte order (bit 4); the next bytes choose each read; the rest is the
// payload. Each read's outcome is checked against an independent reading of
// the bytes, and what was read is written back with PDataWriter and must
// give the same bytes.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "PFuzzCheck.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PEndian.h"
#include "zevo/PErrors.h"
#include "zevo/core/PConfigParser.h"

namespace {

using Bytes = std::vector<unsigned char>;

unsigned int countAt(const Bytes& iData, size_t iPos) {
  unsigned char bytes[4];
  std::memcpy(bytes, iData.data() + iPos, 4);
  if (getEndianness() != 0) std::reverse(bytes, bytes + 4);
  unsigned int value;
  std::memcpy(&value, bytes, 4);
  return value;
}

// What readString must answer for the string element at iPos, and its size.
int expectString(const Bytes& iData, size_t iPos, size_t& oSize) {
  const size_t left = iData.size() - iPos;
  if (left < 5) return ERR_DATA_SHORT;
  if (iData[iPos] != 0x86) return ERR_DATA_TYPE;
  const unsigned int count = countAt(iData, iPos + 1);
  if (count > left - 5) return ERR_DATA_SHORT;
  const char* text = reinterpret_cast<const char*>(iData.data() + iPos + 5);
  // The configuration parser's own UTF-8 check, written apart from the layer's.
  if (std::memchr(text, 0, count) || PConfigParser::invalidUtf8At(text, count) != count) return ERR_DATA_ENCODING;
  oSize = 5 + count;
  return 0;
}

Bytes slice(const Bytes& iData, size_t iFrom, size_t iTo) {
  return Bytes(iData.begin() + static_cast<long>(iFrom), iData.begin() + static_cast<long>(iTo));
}

void readOnce(PDataReader& ioReader, const Bytes& iData, unsigned int iKind) {
  const size_t before = ioReader.position();
  const size_t left = iData.size() - before;
  const unsigned char tag = left > 0 ? iData[before] : 0;
  Bytes written;
  PDataWriter writer(written);
  int rc = 0;
  int expected = 0;
  size_t size = 0;           // bytes a successful read takes
  size_t failedAt = before;  // where a failed read leaves the position
  switch (iKind % 7) {
    case 0: {
      int value = 0x5A5A5A5A;
      rc = ioReader.readInt32(value);
      expected = left < 5 ? ERR_DATA_SHORT : tag != 0x03 ? ERR_DATA_TYPE : 0;
      size = 5;
      if (rc == 0) writer.writeInt32(value);
      if (rc != 0) FUZZ_CHECK(value == 0x5A5A5A5A, "a failed readInt32 changed its output");
      break;
    }
    case 1: {
      long long value = 0x5A5A5A5A5A5ALL;
      rc = ioReader.readInt64(value);
      expected = left < 9 ? ERR_DATA_SHORT : tag != 0x04 ? ERR_DATA_TYPE : 0;
      size = 9;
      if (rc == 0) writer.writeInt64(value);
      if (rc != 0) FUZZ_CHECK(value == 0x5A5A5A5A5A5ALL, "a failed readInt64 changed its output");
      break;
    }
    case 2: {
      bool value = true;
      rc = ioReader.readBool(value);
      expected = left < 2 ? ERR_DATA_SHORT : (tag != 0x01 || iData[before + 1] > 1) ? ERR_DATA_TYPE : 0;
      size = 2;
      if (rc == 0) writer.writeBool(value);
      if (rc != 0) FUZZ_CHECK(value, "a failed readBool changed its output");
      break;
    }
    case 3:
    case 4: {
      Bytes value = {0xEE};
      const unsigned char* view = nullptr;
      size_t count = 99;
      rc = iKind % 7 == 3 ? ioReader.readBytes(value) : ioReader.readBytesView(view, count);
      if (left < 5) {
        expected = ERR_DATA_SHORT;
      } else if (tag != 0x85) {
        expected = ERR_DATA_TYPE;
      } else if (countAt(iData, before + 1) > left - 5) {
        expected = ERR_DATA_SHORT;
        failedAt = before + 5;  // the header stays consumed
      } else {
        size = 5 + countAt(iData, before + 1);
      }
      if (rc == 0) {
        if (iKind % 7 == 3) {
          FUZZ_CHECK(value.size() == size - 5 + 1 && value[0] == 0xEE, "readBytes appends");
          writer.writeBytes(value.data() + 1, value.size() - 1);
        } else {
          FUZZ_CHECK(count == size - 5 && view == iData.data() + before + 5, "readBytesView points into the payload");
          writer.writeBytes(view, count);
        }
      } else {
        FUZZ_CHECK(value == Bytes{0xEE} && view == nullptr && count == 99, "a failed block read delivered bytes");
      }
      break;
    }
    case 5: {
      PString value(L"unchanged");
      rc = ioReader.readString(value);
      expected = expectString(iData, before, size);
      if (rc == 0) FUZZ_CHECK(writer.writeString(value) == 0, "a string read cannot be written back");
      if (rc != 0) FUZZ_CHECK(value.cmp(L"unchanged", PLiteral::kToNul) == 0, "a failed readString changed its output");
      break;
    }
    case 6: {
      std::vector<PString> values(1, PString(L"unchanged"));
      rc = ioReader.readStrings(values);
      // Expected: the header, then each string element in turn.
      if (left < 5) {
        expected = ERR_DATA_SHORT;
      } else if (tag != 0x87) {
        expected = ERR_DATA_TYPE;
      } else {
        const unsigned int count = countAt(iData, before + 1);
        size = 5;
        if (count > (left - 5) / 5) expected = ERR_DATA_SHORT;
        for (unsigned int i = 0; i < count && expected == 0; ++i) {
          size_t one = 0;
          expected = expectString(iData, before + size, one);
          size += one;
        }
      }
      if (rc == 0) FUZZ_CHECK(writer.writeStrings(values) == 0, "a list read cannot be written back");
      if (rc != 0) {
        FUZZ_CHECK(values.size() == 1 && values[0].cmp(L"unchanged", PLiteral::kToNul) == 0,
                   "a failed readStrings changed its output");
      }
      break;
    }
  }
  const size_t after = ioReader.position();
  FUZZ_CHECK(after <= iData.size(), "the position went past the payload");
  FUZZ_CHECK(ioReader.remaining() == iData.size() - after, "remaining() disagrees with position()");
  FUZZ_CHECK(rc == expected, "the read's code differs from the independent reading");
  if (rc == 0) {
    FUZZ_CHECK(after == before + size, "a read took another number of bytes than its element");
    FUZZ_CHECK(written == slice(iData, before, after), "the value written back differs from the bytes read");
  } else {
    FUZZ_CHECK(after == failedAt, "a failed read moved the position");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  if (iSize < 1) return 0;
  const size_t reads = (iData[0] & 0x0F) + 1u;
  if (iSize < 1 + reads) return 0;
  zevoSetEndiannessOverride((iData[0] >> 4) & 1);
  const Bytes payload(iData + 1 + reads, iData + iSize);
  PDataReader reader(payload);
  for (size_t i = 0; i < reads; ++i) readOnce(reader, payload, iData[1 + i]);
  zevoSetEndiannessOverride(-1);
  return 0;
}
