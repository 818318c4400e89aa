// Appends payload elements to a byte vector. Writes cannot fail, except a
// string that cannot be converted to UTF-8 or holds a NUL (ERR_DATA_ENCODING,
// nothing written); the vector grows as needed. writeString and writeStrings
// answer PERR_NO_MEMORY when memory runs out. A block of more than 0xFFFFFFFF
// bytes cannot be expressed and is not written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "zevo/PDataTags.h"
#include "zevo/PExport.h"
#include "zevo/PString.h"

class ZEVO_EXPORT PDataWriter {
 public:
  // Keeps a reference to oData, which must outlive the writer.
  explicit PDataWriter(std::vector<unsigned char>& oData);

  int writeString(const PLiteral& iValue);
  // A list element; a string that cannot be converted fails the whole list
  // and nothing is written.
  int writeStrings(const std::vector<PString>& iValues);
  void writeBool(bool iValue);
  void writeInt32(int iValue);
  void writeInt64(long long iValue);
  void writeBytes(const std::vector<unsigned char>& iBytes);
  void writeBytes(const void* iBytes, size_t iCount);
  // A bytes element filled in place, without a copy: beginBytes gives room
  // for up to iMax bytes (null when iMax is too large), endBytes(n) gives the
  // element its count n (at most iMax) and drops the rest. Nothing else may
  // be written between the two.
  unsigned char* beginBytes(size_t iMax);
  void endBytes(size_t iCount);
  // Only the tag and count of a bytes element of iCount bytes, which follow
  // from elsewhere (IComms::sendFile); nothing is written after it.
  void writeBytesHeader(uint32_t iCount);

 private:
  void writeU32(unsigned int iValue);

  std::vector<unsigned char>& fData;
  size_t fOpenBlock = 0;  // where the element of beginBytes starts
};
