// Reads payload elements in order from a byte vector.
//
// Every multi-byte value is taken in host order and byte-reversed as a whole
// when getEndianness() is nonzero. Each read returns 0, or a code and leaves
// its output unchanged: ERR_DATA_SHORT when the payload ends before the
// element, ERR_DATA_TYPE for another tag, ERR_DATA_ENCODING for a string that
// is not valid UTF-8 or holds a NUL. A failed read leaves the position where
// it was, except readBytes and readBytesView, which stay past the header when
// the count exceeds the bytes that follow it.
#pragma once

#include <cstddef>
#include <vector>

#include "zevo/PDataTags.h"
#include "zevo/PExport.h"
#include "zevo/PString.h"

class ZEVO_EXPORT PDataReader {
 public:
  // Keeps a reference to iData, which must outlive the reader.
  explicit PDataReader(const std::vector<unsigned char>& iData);

  int readString(PString& oValue);
  // Replaces oValues with the list's strings; all or nothing.
  int readStrings(std::vector<PString>& oValues);
  int readBool(bool& oValue);
  int readInt32(int& oValue);
  int readInt64(long long& oValue);
  // Appends the block's bytes to oBytes.
  int readBytes(std::vector<unsigned char>& oBytes);
  // The block's bytes in place, without a copy; valid while iData is.
  int readBytesView(const unsigned char*& oBytes, size_t& oCount);

  size_t position() const { return fPos; }
  size_t remaining() const { return fData.size() - fPos; }

 private:
  int readHeader(unsigned char iTag, unsigned int& oValue);

  const std::vector<unsigned char>& fData;
  size_t fPos;
};
