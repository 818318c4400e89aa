#include "zevo/PDataReader.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "PDataCodec.h"
#include "zevo/PErrors.h"
#include "zevo/PUtils.h"

namespace {

// Tag and count of a counted element.
constexpr size_t kHeader = 5;

// The header of a counted element at iPos: ERR_DATA_SHORT or ERR_DATA_TYPE,
// or 0 and its count. Moves nothing.
int peekHeader(const std::vector<unsigned char>& iData, size_t iPos, unsigned char iTag, std::uint32_t& oCount) {
  if (iData.size() - iPos < kHeader) return ERR_DATA_SHORT;
  if (iData[iPos] != iTag) return ERR_DATA_TYPE;
  oCount = PDataCodec::decode<std::uint32_t>(iData.data() + iPos + 1);
  return 0;
}

// The string element at iPos into oValue and the position after it in
// oNext; on failure oValue and oNext are untouched.
int decodeString(const std::vector<unsigned char>& iData, size_t iPos, PString& oValue, size_t& oNext) {
  std::uint32_t count = 0;
  const int rc = peekHeader(iData, iPos, TAG_STRING, count);
  if (rc != 0) return rc;
  if (count > iData.size() - iPos - kHeader) return ERR_DATA_SHORT;
  const char* text = reinterpret_cast<const char*>(iData.data() + iPos + kHeader);
  if (std::memchr(text, '\0', count)) return ERR_DATA_ENCODING;
  PString value;
  const int converted = PUtils::fromUtf8(text, count, value);
  if (converted == PERR_NO_MEMORY) return converted;
  if (converted != 0) return ERR_DATA_ENCODING;
  oValue = std::move(value);
  oNext = iPos + kHeader + count;
  return 0;
}

}  // namespace

PDataReader::PDataReader(const std::vector<unsigned char>& iData) : fData(iData), fPos(0) {}

int PDataReader::readHeader(unsigned char iTag, unsigned int& oValue) {
  std::uint32_t count = 0;
  const int rc = peekHeader(fData, fPos, iTag, count);
  if (rc == 0) oValue = count;
  return rc;
}

int PDataReader::readString(PString& oValue) try {
  return decodeString(fData, fPos, oValue, fPos);
} catch (const std::bad_alloc&) {
  return PERR_NO_MEMORY;
}

int PDataReader::readStrings(std::vector<PString>& oValues) try {
  unsigned int count = 0;
  int rc = readHeader(TAG_STRING_LIST, count);
  if (rc != 0) return rc;
  // Every string element takes at least a header: a count the remaining
  // bytes cannot hold fails before anything is reserved.
  const size_t available = remaining() - kHeader;
  if (count > available / kHeader) return ERR_DATA_SHORT;
  std::vector<PString> values;
  values.reserve(count);
  size_t pos = fPos + kHeader;
  for (unsigned int i = 0; i < count; ++i) {
    PString value;
    rc = decodeString(fData, pos, value, pos);
    if (rc != 0) return rc;
    values.push_back(std::move(value));
  }
  oValues.swap(values);
  fPos = pos;
  return 0;
} catch (const std::bad_alloc&) {
  return PERR_NO_MEMORY;
}

int PDataReader::readBool(bool& oValue) {
  if (remaining() < 2) return ERR_DATA_SHORT;
  if (fData[fPos] != TAG_BOOL) return ERR_DATA_TYPE;
  const unsigned char value = fData[fPos + 1];
  // Only 0 and 1 are bools; any other byte is not a bool element.
  if (value > 1) return ERR_DATA_TYPE;
  oValue = value == 1;
  fPos += 2;
  return 0;
}

int PDataReader::readInt32(int& oValue) {
  if (remaining() < 5) return ERR_DATA_SHORT;
  if (fData[fPos] != TAG_INT32) return ERR_DATA_TYPE;
  oValue = PDataCodec::decode<std::int32_t>(fData.data() + fPos + 1);
  fPos += 5;
  return 0;
}

int PDataReader::readInt64(long long& oValue) {
  if (remaining() < 9) return ERR_DATA_SHORT;
  if (fData[fPos] != TAG_INT64) return ERR_DATA_TYPE;
  oValue = PDataCodec::decode<std::int64_t>(fData.data() + fPos + 1);
  fPos += 9;
  return 0;
}

int PDataReader::readBytes(std::vector<unsigned char>& oBytes) {
  const unsigned char* bytes = nullptr;
  size_t count = 0;
  const size_t start = fPos;
  const int rc = readBytesView(bytes, count);
  if (rc != 0) return rc;
  try {
    oBytes.insert(oBytes.end(), bytes, bytes + count);
  } catch (const std::bad_alloc&) {
    fPos = start;  // nothing delivered: the element can be read again
    return PERR_NO_MEMORY;
  }
  return 0;
}

int PDataReader::readBytesView(const unsigned char*& oBytes, size_t& oCount) {
  unsigned int count = 0;
  const int rc = readHeader(TAG_BYTES, count);
  if (rc != 0) return rc;
  fPos += kHeader;
  // The header stays consumed: the block's count cannot be trusted.
  if (count > remaining()) return ERR_DATA_SHORT;
  oBytes = fData.data() + fPos;
  oCount = count;
  fPos += count;
  return 0;
}
