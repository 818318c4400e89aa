// Invariant checks of the fuzz targets: a broken invariant prints where and
// why, then aborts, so that libFuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(iCondition, iWhat)                                                                      \
  do {                                                                                                     \
    if (!(iCondition)) {                                                                                   \
      std::fprintf(stderr, "%s:%d: invariant broken: %s (%s)\n", __FILE__, __LINE__, iWhat, #iCondition); \
      std::abort();                                                                                        \
    }                                                                                                      \
  } while (0)

// Reads the input front to back; past its end every read gives 0.
class PFuzzInput {
 public:
  PFuzzInput(const unsigned char* iData, size_t iSize) : fData(iData), fSize(iSize) {}
  bool empty() const { return fPos >= fSize; }
  unsigned char byte() { return fPos < fSize ? fData[fPos++] : 0; }
  unsigned int u32() {
    unsigned int value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<unsigned int>(byte()) << (8 * i);
    return value;
  }
  // Up to iCount bytes (fewer at the end).
  const unsigned char* take(size_t iCount, size_t& oTaken) {
    oTaken = iCount < fSize - fPos ? iCount : fSize - fPos;
    fPos += oTaken;
    return fData + fPos - oTaken;
  }

 private:
  const unsigned char* fData;
  size_t fSize;
  size_t fPos = 0;
};
