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

using Copy = std::function<int(PDataReader&, PDataWriter&)>;  // reads one element, writes it again
const Copy kInt32 = [](PDataReader& r, PDataWriter& w) { int v = 0; const int rc = r.readInt32(v); w.writeInt32(v); return rc; };
const Copy kInt64 = [](PDataReader& r, PDataWriter& w) { long long v = 0; const int rc = r.readInt64(v); w.writeInt64(v); return rc; };
const Copy kBool = [](PDataReader& r, PDataWriter& w) { bool v = false; const int rc = r.readBool(v); w.writeBool(v); return rc; };
const Copy kBytes = [](PDataReader& r, PDataWriter& w) { Bytes v; const int rc = r.readBytes(v); w.writeBytes(v); return rc; };
const Copy kString = [](PDataReader& r, PDataWriter& w) { PString v; const int rc = r.readString(v); return rc ? rc : w.writeString(v); };
const Copy kList = [](PDataReader& r, PDataWriter& w) { std::vector<PString> v; const int rc = r.readStrings(v); return rc ? rc : w.writeStrings(v); };

}  // namespace

TEST(PData, EveryKindByteForByteInBothOrders) {
  const long long kGiB = 1LL << 30;
  // Each example as written on a little-endian wire; the big-endian wire
  // reverses each multi-byte value, the tag and single bytes stay.
  struct Example {
    std::function<void(PDataWriter&)> fWrite;
    Copy fCopy;
    Bytes fLittle, fBig;
  };
  const Example examples[] = {
      {[](PDataWriter& w) { w.writeInt32(1000); }, kInt32, {3, 0xE8, 3, 0, 0}, {3, 0, 0, 3, 0xE8}},
      {[](PDataWriter& w) { w.writeInt32(INT_MIN); }, kInt32, {3, 0, 0, 0, 0x80}, {3, 0x80, 0, 0, 0}},
      {[](PDataWriter& w) { w.writeInt64(5000); }, kInt64, {4, 0x88, 0x13, 0, 0, 0, 0, 0, 0}, {4, 0, 0, 0, 0, 0, 0, 0x13, 0x88}},
      {[&](PDataWriter& w) { w.writeInt64(2 * kGiB); }, kInt64, {4, 0, 0, 0, 0x80, 0, 0, 0, 0}, {4, 0, 0, 0, 0, 0x80, 0, 0, 0}},
      {[&](PDataWriter& w) { w.writeInt64(-(5 * kGiB + 3)); }, kInt64, {4, 0xFD, 0xFF, 0xFF, 0xBF, 0xFE, 0xFF, 0xFF, 0xFF},
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
      EXPECT_EQ(data, written([&](PDataWriter& w) { EXPECT_EQ(0, example.fCopy(reader, w)); }));
      EXPECT_EQ(0u, reader.remaining());
    }
  }
  Bytes appended{0xEE};
  EXPECT_EQ(0, PDataReader(written([](PDataWriter& w) { w.writeBytes("ab", 2); })).readBytes(appended));
  EXPECT_EQ((Bytes{0xEE, 'a', 'b'}), appended);
}

TEST(PData, FailedReadsKeepPositionAndOutput) {
  // Every case fails on a fresh reader and must leave position and output alone.
  struct Case {
    Bytes fData;
    Copy fCopy;
    int fCode;
    size_t fPosition = 0;  // blocks: the header stays consumed when the count overruns
  };
  const Case cases[] = {
      {{0x03, 0, 0, 0}, kInt32, ERR_DATA_SHORT},        {{0x86, 0}, kInt32, ERR_DATA_SHORT},
      {{0x86, 1, 0, 0, 0, 0x41}, kInt32, ERR_DATA_TYPE}, {{0x86, 1, 0, 0, 0, 0x41}, kBool, ERR_DATA_TYPE},
      {{0x03, 0, 0, 0, 0, 0, 0, 0, 0}, kInt64, ERR_DATA_TYPE}, {{0x04, 0, 0, 0, 0, 0, 0, 0}, kInt64, ERR_DATA_SHORT},
      {{0x01}, kBool, ERR_DATA_SHORT},                  {{0x01, 0x02}, kBool, ERR_DATA_TYPE},
      {{0x85, 0, 0}, kBytes, ERR_DATA_SHORT},           {{0x86, 1, 0, 0, 0, 0x41}, kBytes, ERR_DATA_TYPE},
      {{0x85, 4, 0, 0, 0, 1, 2, 3}, kBytes, ERR_DATA_SHORT, 5}, {{0x85, 0xFF, 0xFF, 0xFF, 0xFF, 1}, kBytes, ERR_DATA_SHORT, 5},
      {{0x86, 1, 0, 0}, kString, ERR_DATA_SHORT},       {{0x86, 3, 0, 0, 0, 0x41}, kString, ERR_DATA_SHORT},
      {{0x85, 1, 0, 0, 0, 0x41}, kString, ERR_DATA_TYPE}, {{0x86, 2, 0, 0, 0, 0xC0, 0xAF}, kString, ERR_DATA_ENCODING},
      {{0x86, 3, 0, 0, 0, 0xED, 0xA0, 0x80}, kString, ERR_DATA_ENCODING}, {{0x86, 2, 0, 0, 0, 0x41, 0}, kString, ERR_DATA_ENCODING},
      {{0x86, 0xFF, 0xFF, 0xFF, 0xFF, 0x41}, kString, ERR_DATA_SHORT},
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
    EXPECT_EQ(test.fCode, test.fCopy(reader, writer));
    EXPECT_EQ(test.fPosition, reader.position());
  }
  // What a failed read was given stays as it was.
  int i32 = 7;
  PString text(L"keep");
  std::vector<PString> list{PString(L"old")};
  Bytes block{0xAA};
  const unsigned char* view = nullptr;
  size_t count = 99;
  EXPECT_NE(0, PDataReader(Bytes{0x86, 0}).readInt32(i32) + PDataReader(Bytes{0x86, 2, 0, 0, 0, 0x41, 0}).readString(text) +
                   PDataReader(Bytes{0x87, 1, 0, 0, 0, 3}).readStrings(list) + PDataReader(Bytes{0x85, 9, 0, 0, 0}).readBytes(block) +
                   PDataReader(Bytes{0x85, 9, 0, 0, 0}).readBytesView(view, count));
  EXPECT_EQ(7, i32);
  EXPECT_EQ(L"keep", text.str());
  EXPECT_EQ(1u, list.size());
  EXPECT_EQ(Bytes{0xAA}, block);
  EXPECT_EQ(99u, count);
  // Unwritable text writes nothing.
  Bytes data;
  const wchar_t bad[] = {L'a', wchar_t(0xDC00), 0};
  EXPECT_EQ(ERR_DATA_ENCODING, PDataWriter(data).writeString(PLiteral(bad)));
  EXPECT_EQ(ERR_DATA_ENCODING, PDataWriter(data).writeString(PLiteral(L"a\0b", 3)));
  EXPECT_EQ(ERR_DATA_ENCODING, PDataWriter(data).writeStrings({PString(L"ok"), PString(bad)}));
  EXPECT_TRUE(data.empty());
}
