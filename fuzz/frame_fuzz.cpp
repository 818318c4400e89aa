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

// The size of the frame at iData, 0 when none can be taken there.
size_t checkFrame(const unsigned char* iData, size_t iSize, uint32_t iLimit) {
  PFrameView frame;
  size_t needed = 0;
  const int rc = PFrame::parse(iData, iSize, iLimit, frame, needed);
  FUZZ_CHECK(rc == 0 || rc == 1 || rc == ERR_COMMS_FRAME || rc == ERR_COMMS_FRAME_SIZE, "an unknown result");
  if (iSize >= 9) FUZZ_CHECK(frame.fExchange == PFrame::readU32(iData + 5), "the exchange is read as soon as it can be");
  const uint32_t length = iSize >= 4 ? PFrame::readU32(iData) : 0;
  if (iSize >= 4 && length < kFrameMinLength) FUZZ_CHECK(rc == ERR_COMMS_FRAME, "a length below the minimum is malformed");
  if (length >= kFrameMinLength && length > iLimit) FUZZ_CHECK(rc == ERR_COMMS_FRAME_SIZE, "over the limit");
  if (rc == 1) FUZZ_CHECK(needed > iSize && needed == (iSize < 4 ? kFrameHeader : 4 + size_t(length)), "asks for a wrong size");
  if (rc != 0) return 0;
  FUZZ_CHECK(frame.fSize == 4 + size_t(length) && frame.fSize <= iSize, "the frame's size");
  std::vector<unsigned char> again;
  PFrame::append(again, frame.fKind, frame.fExchange, frame.fWord, std::string(frame.fModule, frame.fModuleLength),
                 frame.fPayload, frame.fPayloadLength);
  FUZZ_CHECK(again.size() == frame.fSize && std::memcmp(again.data(), iData, frame.fSize) == 0,
             "written again the frame differs");
  FUZZ_CHECK(frame.fPayload + frame.fPayloadLength == iData + frame.fSize, "the payload ends with the frame");
  // Every cut of the frame asks for more, and for the right amount.
  for (size_t cut = 0; cut < frame.fSize; cut += cut < 32 ? 1 : (frame.fSize - cut + 1) / 2) {
    PFrameView part;
    size_t more = 0;
    FUZZ_CHECK(PFrame::parse(iData, cut, iLimit, part, more) == 1, "a cut frame is not incomplete");
    FUZZ_CHECK(more == (cut < 4 ? kFrameHeader : frame.fSize), "a cut frame asks for a wrong size");
  }
  return frame.fSize;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  if (iSize < 1) return 0;
  uint32_t limit = kLimits[iData[0] % 8];
  if (limit == 0) limit = kFrameMinLength + iData[0];
  // Exactly as many bytes as given: a copy, so that reading past them shows.
  const std::vector<unsigned char> stream(iData + 1, iData + iSize);
  for (size_t at = 0, size = 1; size > 0; at += size) size = checkFrame(stream.data() + at, stream.size() - at, limit);
  return 0;
}
