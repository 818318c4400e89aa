// Payload elements: byte layouts in both byte orders and every read rule.
#include <climits>
#include <functional>

#include <gtest/gtest.h>

#include "PTestSupport.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PEndian.h"

namespace {

// Puts values on the wire little- or big-endian whatever the host.
class PWireOrder {
 public:
  explicit PWireOrder(bool iLittle) { zevoSetEndiannessOverride(iLittle == (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) ? 0 : 1); }
  ~PWireOrder() { zevoSetEndiannessOverride(-1); }
};

Bytes written(const std::function<void(PDataWriter&)>& iWrite) {
  Bytes data;
  PDataWriter writer(data);
  iWrite(writer);
  return data;
}

// Reads one element (without a reader: nothing) into a value that was 7, true
// or "7" and writes the value, whatever the read answered.
using Copy = std::function<int(PDataReader*, PDataWriter&)>;
const Copy kInt32 = [](PDataReader* r, PDataWriter& w) { int v = 7; const int rc = r ? r->readInt32(v) : 0; w.writeInt32(v); return rc; };
const Copy kInt64 = [](PDataReader* r, PDataWriter& w) { long long v = 7; const int rc = r ? r->readInt64(v) : 0; w.writeInt64(v); return rc; };
const Copy kBool = [](PDataReader* r, PDataWriter& w) { bool v = true; const int rc = r ? r->readBool(v) : 0; w.writeBool(v); return rc; };
const Copy kBytes = [](PDataReader* r, PDataWriter& w) {  // the view: pointer and count
  const unsigned char* v = reinterpret_cast<const unsigned char*>("7");
  size_t n = 1;
  const int rc = r ? r->readBytesView(v, n) : 0;
  return w.writeBytes(v, n), rc;
};
const Copy kString = [](PDataReader* r, PDataWriter& w) { PString v(L"7"); const int rc = r ? r->readString(v) : 0; return w.writeString(v) ? -1 : rc; };
const Copy kList = [](PDataReader* r, PDataWriter& w) {
  std::vector<PString> v{PString(L"7")};
  const int rc = r ? r->readStrings(v) : 0;
  return w.writeStrings(v) ? -1 : rc;
};

}  // namespace

TEST(PData, EveryKindByteForByteInBothOrders) {
  // Each example as written on a little-endian wire; the big-endian wire
  // reverses each multi-byte value, the tag and single bytes stay.
  struct Example { std::function<void(PDataWriter&)> fWrite; Copy fCopy; Bytes fLittle, fBig; };
  const Example examples[] = {
      {[](PDataWriter& w) { w.writeInt32(1000); }, kInt32, {3, 0xE8, 3, 0, 0}, {3, 0, 0, 3, 0xE8}},
      {[](PDataWriter& w) { w.writeInt32(INT_MIN); }, kInt32, {3, 0, 0, 0, 0x80}, {3, 0x80, 0, 0, 0}},
      {[](PDataWriter& w) { w.writeInt64(5000); }, kInt64, {4, 0x88, 0x13, 0, 0, 0, 0, 0, 0}, {4, 0, 0, 0, 0, 0, 0, 0x13, 0x88}},
      {[](PDataWriter& w) { w.writeInt64(-(5LL << 30) - 3); }, kInt64, {4, 0xFD, 0xFF, 0xFF, 0xBF, 0xFE, 0xFF, 0xFF, 0xFF},
       {4, 0xFF, 0xFF, 0xFF, 0xFE, 0xBF, 0xFF, 0xFF, 0xFD}},
      {[](PDataWriter& w) { w.writeBool(true); }, kBool, {1, 1}, {1, 1}},
      {[](PDataWriter& w) { w.writeBytes(Bytes{0x61, 0x62, 0x63}); }, kBytes, {0x85, 3, 0, 0, 0, 0x61, 0x62, 0x63},
       {0x85, 0, 0, 0, 3, 0x61, 0x62, 0x63}},
      {[](PDataWriter& w) { w.writeBytes(nullptr, 0); }, kBytes, {0x85, 0, 0, 0, 0}, {0x85, 0, 0, 0, 0}},
      {[](PDataWriter& w) { w.writeString(PLiteral(L"\u00E9")); }, kString, {0x86, 2, 0, 0, 0, 0xC3, 0xA9},
       {0x86, 0, 0, 0, 2, 0xC3, 0xA9}},
      {[](PDataWriter& w) { w.writeStrings({PString(L"a"), PString(L"")}); }, kList,
       {0x87, 2, 0, 0, 0, 0x86, 1, 0, 0, 0, 'a', 0x86, 0, 0, 0, 0}, {0x87, 0, 0, 0, 2, 0x86, 0, 0, 0, 1, 'a', 0x86, 0, 0, 0, 0}},
  };
  for (bool little : {true, false}) {
    PWireOrder order(little);
    for (const Example& example : examples) {
      const Bytes data = written(example.fWrite);
      EXPECT_EQ(little ? example.fLittle : example.fBig, data) << (little ? "little" : "big");
      PDataReader reader(data);
      EXPECT_EQ(data, written([&](PDataWriter& w) { EXPECT_EQ(0, example.fCopy(&reader, w)); }));
      EXPECT_EQ(0u, reader.remaining());
    }
  }
  Bytes appended{0xEE};
  EXPECT_EQ(0, PDataReader(written([](PDataWriter& w) { w.writeBytes("ab", 2); })).readBytes(appended));
  EXPECT_EQ((Bytes{0xEE, 'a', 'b'}), appended);
}

TEST(PData, FailedReadsKeepPositionAndOutput) {
  // Every case fails on a fresh reader and must leave the output alone, and
  // the position too, but for a block's header when its count overruns.
  struct Case { Bytes fData; Copy fCopy; int fCode; size_t fPosition = 0; };
  const Case cases[] = {
      {{0x03, 0, 0, 0}, kInt32, ERR_DATA_SHORT}, {{0x86, 0}, kInt32, ERR_DATA_SHORT}, {{0x86, 1, 0, 0, 0, 0x41}, kInt32, ERR_DATA_TYPE},
      {{0x04, 0, 0, 0, 0, 0, 0, 0}, kInt64, ERR_DATA_SHORT}, {{0x03, 0, 0, 0, 0, 0, 0, 0, 0}, kInt64, ERR_DATA_TYPE},
      {{0x01}, kBool, ERR_DATA_SHORT}, {{0x01, 0x02}, kBool, ERR_DATA_TYPE}, {{0x86, 1, 0, 0, 0, 0x41}, kBool, ERR_DATA_TYPE},
      {{0x85, 0, 0}, kBytes, ERR_DATA_SHORT}, {{0x86, 1, 0, 0, 0, 0x41}, kBytes, ERR_DATA_TYPE},
      {{0x85, 4, 0, 0, 0, 1, 2, 3}, kBytes, ERR_DATA_SHORT, 5}, {{0x85, 0xFF, 0xFF, 0xFF, 0xFF, 1}, kBytes, ERR_DATA_SHORT, 5},
      {{0x86, 1, 0, 0}, kString, ERR_DATA_SHORT}, {{0x86, 3, 0, 0, 0, 0x41}, kString, ERR_DATA_SHORT},
      {{0x86, 0xFF, 0xFF, 0xFF, 0xFF, 0x41}, kString, ERR_DATA_SHORT}, {{0x85, 1, 0, 0, 0, 0x41}, kString, ERR_DATA_TYPE},
      {{0x86, 2, 0, 0, 0, 0xC0, 0xAF}, kString, ERR_DATA_ENCODING}, {{0x86, 2, 0, 0, 0, 0x41, 0}, kString, ERR_DATA_ENCODING},
      {{0x87, 0xFF, 0xFF, 0xFF, 0xFF, 0x86, 0, 0, 0, 0}, kList, ERR_DATA_SHORT},  // fails before allocating
      {{0x87, 2, 0, 0, 0, 0x86, 1, 0, 0, 0, 0x41, 0x86, 1, 0, 0, 0, 0xFF}, kList, ERR_DATA_ENCODING},
      {{0x87, 2, 0, 0, 0, 0x86, 1, 0, 0, 0, 0x41, 0x86, 9, 0, 0, 0, 0x41}, kList, ERR_DATA_SHORT},
      {{0x87, 1, 0, 0, 0, 0x03, 0, 0, 0, 0}, kList, ERR_DATA_TYPE},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(::testing::PrintToString(test.fData));
    PDataReader reader(test.fData);
    Bytes out;
    PDataWriter writer(out);
    EXPECT_EQ(test.fCode, test.fCopy(&reader, writer));
    EXPECT_EQ(test.fPosition, reader.position());
    EXPECT_EQ(written([&](PDataWriter& w) { test.fCopy(nullptr, w); }), out) << "the output stays as it was";
  }
  // Text a reader would refuse is not written.
  Bytes data;
  const wchar_t bad[] = {L'a', wchar_t(0xDC00), 0};
  for (int rc : {PDataWriter(data).writeString(PLiteral(bad)), PDataWriter(data).writeString(PLiteral(L"a\0b", 3)),
                 PDataWriter(data).writeStrings({PString(L"ok"), PString(bad)})}) {
    EXPECT_EQ(ERR_DATA_ENCODING, rc);
  }
  EXPECT_TRUE(data.empty());
}
