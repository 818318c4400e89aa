#include "zevo/PDataWriter.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "PDataCodec.h"
#include "zevo/PErrors.h"
#include "zevo/PUtils.h"

namespace {

// Room for iCount more bytes at the end of ioData; their offset. resize()
// grows geometrically and leaves the vector unchanged if it throws.
size_t grow(std::vector<unsigned char>& ioData, size_t iCount) {
  const size_t offset = ioData.size();
  ioData.resize(offset + iCount);
  return offset;
}

void putHeader(unsigned char* oBytes, unsigned char iTag, std::uint32_t iCount) {
  oBytes[0] = iTag;
  PDataCodec::encode(iCount, oBytes + 1);
}

// Written so that a 32-bit size_t draws no "always false" warning.
bool exceedsU32(size_t iValue) { return ((iValue >> 16) >> 16) != 0; }

// Tag and count of a counted element.
constexpr size_t kHeader = 5;

}  // namespace

PDataWriter::PDataWriter(std::vector<unsigned char>& oData) : fData(oData) {}

int PDataWriter::writeString(const PLiteral& iValue) {
  std::string utf8;
  const int rc = PUtils::toUtf8(iValue, utf8);
  if (rc == PERR_NO_MEMORY) return rc;
  // A NUL could not be read back: the reader refuses it.
  if (rc != 0 || exceedsU32(utf8.size()) || utf8.find('\0') != std::string::npos) return ERR_DATA_ENCODING;
  try {
    const size_t at = grow(fData, kHeader + utf8.size());
    unsigned char* out = fData.data() + at;
    putHeader(out, TAG_STRING, static_cast<std::uint32_t>(utf8.size()));
    if (!utf8.empty()) std::memcpy(out + kHeader, utf8.data(), utf8.size());
  } catch (const std::bad_alloc&) {
    return PERR_NO_MEMORY;
  } catch (const std::length_error&) {
    return PERR_NO_MEMORY;
  }
  return 0;
}

int PDataWriter::writeStrings(const std::vector<PString>& iValues) {
  if (exceedsU32(iValues.size())) return PERR_TOO_LARGE;
  const size_t start = fData.size();
  try {
    fData.push_back(TAG_STRING_LIST);
    writeU32(static_cast<unsigned int>(iValues.size()));
    for (const PString& value : iValues) {
      const int rc = writeString(value);
      if (rc != 0) {
        fData.resize(start);  // all or nothing
        return rc;
      }
    }
  } catch (const std::exception&) {  // bad_alloc, length_error
    fData.resize(start);
    return PERR_NO_MEMORY;
  }
  return 0;
}

void PDataWriter::writeBool(bool iValue) {
  const unsigned char element[2] = {TAG_BOOL, static_cast<unsigned char>(iValue ? 1 : 0)};
  fData.insert(fData.end(), element, element + sizeof element);
}

void PDataWriter::writeInt32(int iValue) {
  unsigned char element[5] = {TAG_INT32};
  PDataCodec::encode(static_cast<std::int32_t>(iValue), element + 1);
  fData.insert(fData.end(), element, element + sizeof element);
}

void PDataWriter::writeInt64(long long iValue) {
  unsigned char element[9] = {TAG_INT64};
  PDataCodec::encode(static_cast<std::int64_t>(iValue), element + 1);
  fData.insert(fData.end(), element, element + sizeof element);
}

void PDataWriter::writeBytes(const std::vector<unsigned char>& iBytes) { writeBytes(iBytes.data(), iBytes.size()); }

void PDataWriter::writeBytes(const void* iBytes, size_t iCount) {
  // A block the count cannot express (or bytes that are not there) is not written.
  if (exceedsU32(iCount) || iCount > SIZE_MAX - kHeader || (!iBytes && iCount > 0)) return;
  const size_t at = grow(fData, kHeader + iCount);
  unsigned char* out = fData.data() + at;
  putHeader(out, TAG_BYTES, static_cast<std::uint32_t>(iCount));
  if (iCount > 0) std::memcpy(out + kHeader, iBytes, iCount);
}

unsigned char* PDataWriter::beginBytes(size_t iMax) {
  if (exceedsU32(iMax) || iMax > SIZE_MAX - kHeader) return nullptr;
  fOpenBlock = grow(fData, kHeader + iMax);
  return fData.data() + fOpenBlock + kHeader;
}

void PDataWriter::endBytes(size_t iCount) {
  const size_t room = fData.size() - fOpenBlock - kHeader;
  if (iCount > room) iCount = room;
  putHeader(fData.data() + fOpenBlock, TAG_BYTES, static_cast<std::uint32_t>(iCount));
  fData.resize(fOpenBlock + kHeader + iCount);
}

void PDataWriter::writeBytesHeader(uint32_t iCount) {
  const size_t at = grow(fData, kHeader);
  putHeader(fData.data() + at, TAG_BYTES, iCount);
}

void PDataWriter::writeU32(unsigned int iValue) {
  unsigned char bytes[4];
  PDataCodec::encode(static_cast<std::uint32_t>(iValue), bytes);
  fData.insert(fData.end(), bytes, bytes + sizeof bytes);
}
