// Byte order of multi-byte payload values, shared by reader and writer.
#pragma once

#include <algorithm>
#include <cstring>

#include "zevo/PEndian.h"

class PDataCodec {
 public:
  // A value's bytes as they stand in a payload: host order, reversed as a
  // whole when getEndianness() says so (asked once per value).
  template <class Value>
  static void encode(Value iValue, unsigned char* oBytes) {
    std::memcpy(oBytes, &iValue, sizeof iValue);
    if (getEndianness() != 0) std::reverse(oBytes, oBytes + sizeof iValue);
  }

  template <class Value>
  static Value decode(const unsigned char* iBytes) {
    unsigned char bytes[sizeof(Value)];
    std::memcpy(bytes, iBytes, sizeof bytes);
    if (getEndianness() != 0) std::reverse(bytes, bytes + sizeof bytes);
    Value value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }
};
