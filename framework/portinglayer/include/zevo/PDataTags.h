// Tag bytes of payload elements.
#pragma once

constexpr unsigned char TAG_BOOL = 0x01;         // 1 byte: 0 false, 1 true
constexpr unsigned char TAG_INT32 = 0x03;        // 4 bytes
constexpr unsigned char TAG_INT64 = 0x04;        // 8 bytes
constexpr unsigned char TAG_BYTES = 0x85;        // u32 count n, then n bytes
constexpr unsigned char TAG_STRING = 0x86;       // u32 byte count n, then n bytes of UTF-8
constexpr unsigned char TAG_STRING_LIST = 0x87;  // u32 count n, then n string elements
