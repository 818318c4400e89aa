// Frames of the socket transport (docs/protocol.md): u32 length, u8 kind,
// u32 exchange, u32 word, u16 module ID length, module ID (UTF-8), payload.
// Integers are little-endian whatever the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zevo/PExport.h"

constexpr uint8_t FRAME_REQUEST = 1;
constexpr uint8_t FRAME_REPLY = 2;
constexpr uint8_t FRAME_ERROR = 3;

constexpr size_t kFrameLengthField = 4;
// Bytes after the length field before the module ID.
constexpr uint32_t kFrameMinLength = 11;
constexpr size_t kFrameHeader = kFrameLengthField + kFrameMinLength;
constexpr uint32_t kDefaultFrameMax = 1u << 20;

// One frame in place in a receive buffer.
struct PFrameView {
  uint8_t fKind = 0;
  uint32_t fExchange = 0;
  uint32_t fWord = 0;
  const char* fModule = nullptr;  // not NUL-terminated
  size_t fModuleLength = 0;
  const unsigned char* fPayload = nullptr;
  size_t fPayloadLength = 0;
  size_t fSize = 0;  // bytes the frame takes, length field included
};

class ZEVO_EXPORT PFrame {
 public:
  // Looks at the bytes at iData. 0: a whole frame is there (oFrame); 1: more
  // bytes are needed, at least oNeeded in all; ERR_COMMS_FRAME_SIZE: the length
  // exceeds iMaxLength; ERR_COMMS_FRAME: the length is below the minimum or
  // the module ID runs past the frame. The kind and the module ID's text are
  // not judged here. oFrame.fExchange is set as soon as it can be read.
  static int parse(const unsigned char* iData, size_t iSize, uint32_t iMaxLength, PFrameView& oFrame,
                   size_t& oNeeded);

  // Appends a whole frame.
  static void append(std::vector<unsigned char>& ioOut, uint8_t iKind, uint32_t iExchange, uint32_t iWord,
                     const std::string& iModule, const unsigned char* iPayload, size_t iPayloadLength);
  // Appends the header of a frame whose payload of iPayloadLength bytes
  // follows it.
  static void appendHeader(std::vector<unsigned char>& ioOut, uint8_t iKind, uint32_t iExchange, uint32_t iWord,
                           const std::string& iModule, size_t iPayloadLength);

  static uint32_t readU32(const unsigned char* iBytes) {
    return uint32_t(iBytes[0]) | uint32_t(iBytes[1]) << 8 | uint32_t(iBytes[2]) << 16 | uint32_t(iBytes[3]) << 24;
  }
};
