#include "zevo/protocol/PFrame.h"

#include "zevo/PErrors.h"

namespace {

void putU32(unsigned char* oBytes, uint32_t iValue) {
  oBytes[0] = static_cast<unsigned char>(iValue);
  oBytes[1] = static_cast<unsigned char>(iValue >> 8);
  oBytes[2] = static_cast<unsigned char>(iValue >> 16);
  oBytes[3] = static_cast<unsigned char>(iValue >> 24);
}

}  // namespace

int PFrame::parse(const unsigned char* iData, size_t iSize, uint32_t iMaxLength, PFrameView& oFrame,
                  size_t& oNeeded) {
  if (iSize < kFrameLengthField) {
    oNeeded = kFrameHeader;
    return 1;
  }
  const uint32_t length = readU32(iData);
  if (iSize >= 9) oFrame.fExchange = readU32(iData + 5);
  if (length < kFrameMinLength) return ERR_COMMS_FRAME;
  if (length > iMaxLength) return ERR_COMMS_FRAME_SIZE;
  const size_t total = kFrameLengthField + static_cast<size_t>(length);
  if (iSize < total) {
    oNeeded = total;
    return 1;
  }
  const size_t moduleLength = size_t(iData[13]) | size_t(iData[14]) << 8;
  if (moduleLength > length - kFrameMinLength) return ERR_COMMS_FRAME;
  oFrame.fKind = iData[4];
  oFrame.fWord = readU32(iData + 9);
  oFrame.fModule = reinterpret_cast<const char*>(iData + kFrameHeader);
  oFrame.fModuleLength = moduleLength;
  oFrame.fPayload = iData + kFrameHeader + moduleLength;
  oFrame.fPayloadLength = total - kFrameHeader - moduleLength;
  oFrame.fSize = total;
  return 0;
}

void PFrame::appendHeader(std::vector<unsigned char>& ioOut, uint8_t iKind, uint32_t iExchange, uint32_t iWord,
                          const std::string& iModule, size_t iPayloadLength) {
  const size_t moduleLength = iModule.size() > 0xFFFF ? 0xFFFF : iModule.size();
  const size_t at = ioOut.size();
  ioOut.resize(at + kFrameHeader);
  unsigned char* header = ioOut.data() + at;
  putU32(header, static_cast<uint32_t>(kFrameMinLength + moduleLength + iPayloadLength));
  header[4] = iKind;
  putU32(header + 5, iExchange);
  putU32(header + 9, iWord);
  header[13] = static_cast<unsigned char>(moduleLength);
  header[14] = static_cast<unsigned char>(moduleLength >> 8);
  ioOut.insert(ioOut.end(), iModule.begin(), iModule.begin() + static_cast<std::ptrdiff_t>(moduleLength));
}

void PFrame::append(std::vector<unsigned char>& ioOut, uint8_t iKind, uint32_t iExchange, uint32_t iWord,
                    const std::string& iModule, const unsigned char* iPayload, size_t iPayloadLength) {
  appendHeader(ioOut, iKind, iExchange, iWord, iModule, iPayloadLength);
  if (iPayloadLength > 0) ioOut.insert(ioOut.end(), iPayload, iPayload + iPayloadLength);
}
