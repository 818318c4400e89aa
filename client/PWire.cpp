#include "PWire.h"

#include <cstring>

#include "zevo/PDataTags.h"
#include "zevo/PErrors.h"

PWriter& PWriter::i32(int iValue) {
  fOut.push_back(TAG_INT32);
  raw(static_cast<uint32_t>(iValue), 4);
  return *this;
}

PWriter& PWriter::i64(long long iValue) {
  fOut.push_back(TAG_INT64);
  raw(static_cast<uint64_t>(iValue), 8);
  return *this;
}

PWriter& PWriter::flag(bool iValue) {
  fOut.push_back(TAG_BOOL);
  fOut.push_back(iValue ? 1 : 0);
  return *this;
}

PWriter& PWriter::str(const std::string& iValue) {
  fOut.push_back(TAG_STRING);
  raw(iValue.size(), 4);
  fOut.insert(fOut.end(), iValue.begin(), iValue.end());
  return *this;
}

void PWriter::raw(uint64_t iValue, int iBytes) {
  for (int i = 0; i < iBytes; ++i) fOut.push_back(static_cast<unsigned char>(iValue >> (8 * i)));
}

namespace {

uint64_t little(const unsigned char* iBytes, int iCount) {
  uint64_t value = 0;
  for (int i = iCount - 1; i >= 0; --i) value = value << 8 | iBytes[i];
  return value;
}

}  // namespace

bool PViewReader::take(unsigned char iTag, size_t iSize, const unsigned char*& oValue) {
  if (fCode != 0) return false;
  if (fAt == fEnd || static_cast<size_t>(fEnd - fAt) < 1 + iSize) {
    fCode = fAt != fEnd && *fAt != iTag ? ERR_DATA_TYPE : ERR_DATA_SHORT;
    return false;
  }
  if (*fAt != iTag) {
    fCode = ERR_DATA_TYPE;
    return false;
  }
  oValue = fAt + 1;
  fAt += 1 + iSize;
  return true;
}

bool PViewReader::counted(unsigned char iTag, const unsigned char*& oBytes, size_t& oCount) {
  const unsigned char* header = nullptr;
  if (!take(iTag, 4, header)) return false;
  const uint64_t count = little(header, 4);
  if (count > static_cast<uint64_t>(fEnd - fAt)) {
    fCode = ERR_DATA_SHORT;
    return false;
  }
  oBytes = fAt;
  oCount = static_cast<size_t>(count);
  fAt += count;
  return true;
}

bool PViewReader::i32(int& oValue) {
  const unsigned char* value = nullptr;
  if (!take(TAG_INT32, 4, value)) return false;
  oValue = static_cast<int32_t>(little(value, 4));
  return true;
}

bool PViewReader::i64(long long& oValue) {
  const unsigned char* value = nullptr;
  if (!take(TAG_INT64, 8, value)) return false;
  oValue = static_cast<long long>(little(value, 8));
  return true;
}

bool PViewReader::flag(bool& oValue) {
  const unsigned char* value = nullptr;
  if (!take(TAG_BOOL, 1, value)) return false;
  if (*value > 1) {
    fCode = ERR_DATA_TYPE;
    return false;
  }
  oValue = *value == 1;
  return true;
}

bool PViewReader::bytes(const unsigned char*& oBytes, size_t& oCount) { return counted(TAG_BYTES, oBytes, oCount); }

bool PViewReader::str(std::string& oValue) {
  const unsigned char* bytes = nullptr;
  size_t count = 0;
  if (!counted(TAG_STRING, bytes, count)) return false;
  oValue.assign(reinterpret_cast<const char*>(bytes), count);
  return true;
}

bool entryName(const std::string& iName) {
  return !iName.empty() && iName != "." && iName != ".." && iName.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

bool PViewReader::strs(std::vector<std::string>& oValues) {
  const unsigned char* header = nullptr;
  if (!take(TAG_STRING_LIST, 4, header)) return false;
  const uint64_t count = little(header, 4);
  std::vector<std::string> values;
  for (uint64_t i = 0; i < count; ++i) {
    std::string value;
    if (!str(value)) return false;
    values.push_back(std::move(value));
  }
  oValues.swap(values);
  return true;
}

PSha256::PSha256() : fContext(EVP_MD_CTX_new()) {
  if (!fContext || EVP_DigestInit_ex(fContext.get(), EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
}

void PSha256::update(const unsigned char* iBytes, size_t iCount) {
  EVP_DigestUpdate(fContext.get(), iBytes, iCount);
  fHashed += static_cast<long long>(iCount);
}

void PSha256::zeros(long long iCount) {
  static const unsigned char kZeros[65536] = {};
  while (iCount > 0) {
    const size_t count = iCount < static_cast<long long>(sizeof kZeros) ? static_cast<size_t>(iCount) : sizeof kZeros;
    update(kZeros, count);
    iCount -= static_cast<long long>(count);
  }
}

PDigest PSha256::digest() const {
  PDigest digest{};
  std::unique_ptr<EVP_MD_CTX, Free> copy(EVP_MD_CTX_new());
  unsigned int length = 0;
  if (!copy || EVP_MD_CTX_copy_ex(copy.get(), fContext.get()) != 1 || EVP_DigestFinal_ex(copy.get(), digest.data(), &length) != 1) {
    throw std::bad_alloc();
  }
  return digest;
}

std::string digestHex(const PDigest& iDigest) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char byte : iDigest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}
