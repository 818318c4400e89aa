// PFrame::parse over any bytes, whole and cut short, as a connection feeds
// it: frames one after another from a buffer.
//
// Input: byte 0 chooses the size limit; the rest is the received stream.
// Each frame parsed must describe exactly its bytes (written again with
// PFrame::append they are the same), and every prefix of it must ask for
// more rather than give another answer.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "PFuzzCheck.h"
#include "zevo/PErrors.h"
#include "zevo/protocol/PFrame.h"

namespace {

const uint32_t kLimits[] = {kFrameMinLength, 12, 64, 300, 4096, kDefaultFrameMax, 0xFFFFFFFFu, 0};

void checkFrame(const unsigned char* iData, size_t iSize, uint32_t iLimit) {
  PFrameView frame;
  size_t needed = 0;
  const int rc = PFrame::parse(iData, iSize, iLimit, frame, needed);
  FUZZ_CHECK(rc == 0 || rc == 1 || rc == ERR_COMMS_FRAME || rc == ERR_COMMS_FRAME_SIZE, "an unknown result");
  if (iSize >= 9)
    FUZZ_CHECK(frame.fExchange == PFrame::readU32(iData + 5), "the exchange is read as soon as it can be");
  if (iSize >= 4) {
    const uint32_t length = PFrame::readU32(iData);
    if (length < kFrameMinLength) FUZZ_CHECK(rc == ERR_COMMS_FRAME, "a length below the minimum is malformed");
    if (length >= kFrameMinLength && length > iLimit) FUZZ_CHECK(rc == ERR_COMMS_FRAME_SIZE, "over the limit");
  }
  if (rc == 1) {
    FUZZ_CHECK(needed > iSize, "asks for bytes it has");
    FUZZ_CHECK(iSize < 4 ? needed == kFrameHeader : needed == 4 + size_t(PFrame::readU32(iData)),
               "asks for a wrong size");
    FUZZ_CHECK(needed <= 4 + size_t(iLimit) || iSize < 4, "asks for more than the limit allows");
    return;
  }
  if (rc != 0) return;
  FUZZ_CHECK(frame.fSize == 4 + size_t(PFrame::readU32(iData)) && frame.fSize <= iSize, "the frame's size");
  FUZZ_CHECK(frame.fSize >= kFrameHeader, "shorter than a header");
  FUZZ_CHECK(frame.fKind == iData[4] && frame.fWord == PFrame::readU32(iData + 9), "kind and word");
  FUZZ_CHECK(reinterpret_cast<const unsigned char*>(frame.fModule) == iData + kFrameHeader, "the module ID's place");
  FUZZ_CHECK(frame.fModuleLength == (size_t(iData[13]) | size_t(iData[14]) << 8), "the module ID's length");
  FUZZ_CHECK(frame.fPayload == iData + kFrameHeader + frame.fModuleLength, "the payload follows the module ID");
  FUZZ_CHECK(frame.fPayload + frame.fPayloadLength == iData + frame.fSize, "the payload ends with the frame");
  std::vector<unsigned char> again;
  PFrame::append(again, frame.fKind, frame.fExchange, frame.fWord, std::string(frame.fModule, frame.fModuleLength),
                 frame.fPayload, frame.fPayloadLength);
  FUZZ_CHECK(again.size() == frame.fSize && std::memcmp(again.data(), iData, frame.fSize) == 0,
             "written again the frame differs");
  // Every cut of the frame asks for more, and for the right amount.
  for (size_t cut = 0; cut < frame.fSize; cut += cut < 32 ? 1 : (frame.fSize - cut + 1) / 2) {
    PFrameView part;
    size_t more = 0;
    FUZZ_CHECK(PFrame::parse(iData, cut, iLimit, part, more) == 1, "a cut frame is not incomplete");
    FUZZ_CHECK(more == (cut < 4 ? kFrameHeader : frame.fSize), "a cut frame asks for a wrong size");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  if (iSize < 1) return 0;
  uint32_t limit = kLimits[iData[0] % 8];
  if (limit == 0) limit = kFrameMinLength + iData[0];
  // Exactly as many bytes as given: a copy, so that reading past them shows.
  const std::vector<unsigned char> stream(iData + 1, iData + iSize);
  size_t at = 0;
  while (at <= stream.size()) {
    checkFrame(stream.data() + at, stream.size() - at, limit);
    PFrameView frame;
    size_t needed = 0;
    if (PFrame::parse(stream.data() + at, stream.size() - at, limit, frame, needed) != 0) break;
    at += frame.fSize;
  }
  FUZZ_CHECK(at <= stream.size(), "consumed more than received");
  return 0;
}
