// Payload elements: byte layouts in both byte orders and every read rule.
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <vector>

#include "PlTestSupport.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PEndian.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes written(const std::function<void(PDataWriter&)>& iWrite) {
  Bytes data;
  PDataWriter writer(data);
  iWrite(writer);
  return data;
}

// Forces the byte order that puts values on the wire little- or big-endian.
class PWireOrder {
 public:
  explicit PWireOrder(bool iLittle) {
    const bool hostLittle = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    zevoSetEndiannessOverride(iLittle == hostLittle ? 0 : 1);
  }
  ~PWireOrder() { zevoSetEndiannessOverride(-1); }
};

}  // namespace

TEST(PData, WorkedExamplesByteForByteInBothOrders) {
  using Write = std::function<void(PDataWriter&)>;
  using Copy = std::function<int(PDataReader&, PDataWriter&)>;  // reads one element, writes it again
  const Copy int32 = [](PDataReader& r, PDataWriter& w) { int v = 0; const int rc = r.readInt32(v); w.writeInt32(v); return rc; };
  const Copy int64 = [](PDataReader& r, PDataWriter& w) { long long v = 0; const int rc = r.readInt64(v); w.writeInt64(v); return rc; };
  const Copy boolean = [](PDataReader& r, PDataWriter& w) { bool v = false; const int rc = r.readBool(v); w.writeBool(v); return rc; };
  const Copy bytes = [](PDataReader& r, PDataWriter& w) { Bytes v; const int rc = r.readBytes(v); w.writeBytes(v); return rc; };
  const Copy text = [](PDataReader& r, PDataWriter& w) { PString v; const int rc = r.readString(v); return rc ? rc : w.writeString(v); };
  struct Example {
    Write fWrite;
    Copy fCopy;
    Bytes fLittle;
    Bytes fBig;
  };
  const Example examples[] = {
      {[](PDataWriter& w) { w.writeInt32(1000); }, int32, {3, 0xE8, 3, 0, 0}, {3, 0, 0, 3, 0xE8}},
      {[](PDataWriter& w) { w.writeInt32(-2); }, int32, {3, 0xFE, 0xFF, 0xFF, 0xFF}, {3, 0xFF, 0xFF, 0xFF, 0xFE}},
      {[](PDataWriter& w) { w.writeInt64(5000); }, int64, {4, 0x88, 0x13, 0, 0, 0, 0, 0, 0}, {4, 0, 0, 0, 0, 0, 0, 0x13, 0x88}},
      {[](PDataWriter& w) { w.writeInt64(0x0102030405060708LL); }, int64, {4, 8, 7, 6, 5, 4, 3, 2, 1}, {4, 1, 2, 3, 4, 5, 6, 7, 8}},
      {[](PDataWriter& w) { w.writeBool(true); }, boolean, {1, 1}, {1, 1}},
      {[](PDataWriter& w) { w.writeBool(false); }, boolean, {1, 0}, {1, 0}},
      {[](PDataWriter& w) { w.writeBytes(Bytes{0x61, 0x62, 0x63}); }, bytes, {0x85, 3, 0, 0, 0, 0x61, 0x62, 0x63},
       {0x85, 0, 0, 0, 3, 0x61, 0x62, 0x63}},
      {[](PDataWriter& w) { w.writeBytes(nullptr, 0); }, bytes, {0x85, 0, 0, 0, 0}, {0x85, 0, 0, 0, 0}},
      {[](PDataWriter& w) { w.writeString(PLiteral(L"\u00E9")); }, text, {0x86, 2, 0, 0, 0, 0xC3, 0xA9},
       {0x86, 0, 0, 0, 2, 0xC3, 0xA9}}};
  for (bool little : {true, false}) {
    PWireOrder order(little);
    for (size_t i = 0; i < std::size(examples); ++i) {
      const Example& example = examples[i];
      const Bytes data = written(example.fWrite);
      EXPECT_EQ(little ? example.fLittle : example.fBig, data) << "example " << i << (little ? " little" : " big");
      PDataReader reader(data);
      EXPECT_EQ(data, written([&](PDataWriter& w) { EXPECT_EQ(0, example.fCopy(reader, w)); })) << "example " << i;
      EXPECT_EQ(0u, reader.remaining());
    }
  }
  const Bytes block = written([](PDataWriter& w) { w.writeBytes("ab", 2); });
  Bytes appended{0xEE};
  EXPECT_EQ(0, PDataReader(block).readBytes(appended));
  EXPECT_EQ((Bytes{0xEE, 'a', 'b'}), appended);
}

TEST(PData, FailedReadsKeepPositionAndOutput) {
  const Bytes shortInt{0x03, 0, 0, 0};
  const Bytes stringTag{0x86, 1, 0, 0, 0, 0x41};
  int i32 = 7;
  long long i64 = 7;
  bool flag = true;
  PDataReader a(shortInt);
  EXPECT_EQ(ERR_DATA_SHORT, a.readInt32(i32));
  EXPECT_EQ(ERR_DATA_SHORT, PDataReader(Bytes{0x86, 0}).readInt32(i32));
  EXPECT_EQ(ERR_DATA_SHORT, a.readInt64(i64));
  PDataReader b(stringTag);
  EXPECT_EQ(ERR_DATA_TYPE, b.readInt32(i32));
  EXPECT_EQ(ERR_DATA_TYPE, b.readBool(flag));
  EXPECT_EQ(ERR_DATA_SHORT, b.readInt64(i64));
  EXPECT_EQ(ERR_DATA_TYPE, PDataReader(Bytes{0x03, 0, 0, 0, 0, 0, 0, 0, 0}).readInt64(i64));
  EXPECT_EQ(ERR_DATA_SHORT, PDataReader(Bytes{0x01}).readBool(flag));
  EXPECT_EQ(ERR_DATA_TYPE, PDataReader(Bytes{0x01, 0x02}).readBool(flag));
  EXPECT_EQ(0u, a.position() + b.position());
  EXPECT_EQ(7, i32);
  EXPECT_EQ(7, i64);
  EXPECT_TRUE(flag);

  // Blocks: the header stays consumed when the count overruns the payload.
  Bytes out{0xAA};
  const unsigned char* view = nullptr;
  size_t count = 99;
  EXPECT_EQ(ERR_DATA_SHORT, PDataReader(Bytes{0x85, 0, 0}).readBytes(out));
  PDataReader c(stringTag);
  EXPECT_EQ(ERR_DATA_TYPE, c.readBytes(out));
  EXPECT_EQ(ERR_DATA_TYPE, c.readBytesView(view, count));
  EXPECT_EQ(0u, c.position());
  for (const Bytes& overrun : {Bytes{0x85, 4, 0, 0, 0, 1, 2, 3}, Bytes{0x85, 0xFF, 0xFF, 0xFF, 0xFF, 1}}) {
    PDataReader d(overrun);
    EXPECT_EQ(ERR_DATA_SHORT, d.readBytes(out));
    EXPECT_EQ(5u, d.position());
    PDataReader e(overrun);
    EXPECT_EQ(ERR_DATA_SHORT, e.readBytesView(view, count));
    EXPECT_EQ(5u, e.position());
  }
  EXPECT_EQ(Bytes{0xAA}, out);
  EXPECT_EQ(99u, count);
  const Bytes twoBlocks{0x85, 2, 0, 0, 0, 7, 8, 0x85, 0, 0, 0, 0};
  PDataReader f(twoBlocks);
  ASSERT_EQ(0, f.readBytesView(view, count));
  EXPECT_EQ(twoBlocks.data() + 5, view);
  EXPECT_EQ(2u, count);
  EXPECT_EQ(0, f.readBytesView(view, count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(0u, f.remaining());

  // Strings: every failure leaves everything as it was.
  const std::pair<Bytes, int> badStrings[] = {
      {{0x86, 1, 0, 0}, ERR_DATA_SHORT},           {{0x86, 3, 0, 0, 0, 0x41}, ERR_DATA_SHORT},
      {{0x85, 1, 0, 0, 0, 0x41}, ERR_DATA_TYPE},   {{0x86, 2, 0, 0, 0, 0xC0, 0xAF}, ERR_DATA_ENCODING},
      {{0x86, 3, 0, 0, 0, 0xED, 0xA0, 0x80}, ERR_DATA_ENCODING}, {{0x86, 2, 0, 0, 0, 0x41, 0}, ERR_DATA_ENCODING},
      {{0x86, 0xFF, 0xFF, 0xFF, 0xFF, 0x41}, ERR_DATA_SHORT}};
  for (const auto& bad : badStrings) {
    PString text(L"keep");
    PDataReader g(bad.first);
    const int rc = g.readString(text);
    EXPECT_EQ(bad.second, rc) << codeName(rc);
    EXPECT_EQ(0u, g.position());
    EXPECT_EQ(L"keep", text.str());
  }
}

TEST(PData, MixedElementsListsAndUnwritableText) {
  PWireOrder order(true);
  Bytes data;
  PDataWriter writer(data);
  const std::vector<PString> list = {PString(L"/a"), PString(L""), PString(L"\U0001F600x")};
  EXPECT_EQ(0, writer.writeString(PLiteral(L"name")));
  writer.writeInt32(-5);
  EXPECT_EQ(0, writer.writeStrings(list));
  writer.writeBool(false);
  writer.writeInt64(-(1LL << 40));
  const size_t before = data.size();
  const wchar_t bad[] = {L'a', wchar_t(0xDC00), 0};
  EXPECT_EQ(ERR_DATA_ENCODING, writer.writeString(PLiteral(bad)));
  EXPECT_EQ(ERR_DATA_ENCODING, writer.writeString(PLiteral(L"a\0b", 3)));
  EXPECT_EQ(ERR_DATA_ENCODING, writer.writeStrings({PString(L"ok"), PString(bad)}));
  EXPECT_EQ(before, data.size());

  PDataReader reader(data);
  PString text;
  int i32 = 0;
  std::vector<PString> strings{PString(L"old")};
  bool flag = true;
  long long i64 = 0;
  EXPECT_EQ(ERR_DATA_TYPE, reader.readInt32(i32));
  EXPECT_EQ(0, reader.readString(text));
  EXPECT_EQ(L"name", text.str());
  EXPECT_EQ(ERR_DATA_TYPE, reader.readStrings(strings));
  EXPECT_EQ(0, reader.readInt32(i32));
  EXPECT_EQ(-5, i32);
  ASSERT_EQ(0, reader.readStrings(strings));
  ASSERT_EQ(3u, strings.size());
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(list[i].str(), strings[i].str());
  EXPECT_EQ(0, reader.readBool(flag));
  EXPECT_FALSE(flag);
  EXPECT_EQ(0, reader.readInt64(i64));
  EXPECT_EQ(-(1LL << 40), i64);
  EXPECT_EQ(ERR_DATA_SHORT, reader.readBool(flag));

  // Lists are all or nothing; a huge count fails before any allocation.
  const std::pair<Bytes, int> badLists[] = {
      {{0x87, 0xFF, 0xFF, 0xFF, 0xFF, 0x86, 0, 0, 0, 0}, ERR_DATA_SHORT},
      {{0x87, 2, 0, 0, 0, 0x86, 1, 0, 0, 0, 0x41, 0x86, 1, 0, 0, 0, 0xFF}, ERR_DATA_ENCODING},
      {{0x87, 2, 0, 0, 0, 0x86, 1, 0, 0, 0, 0x41, 0x86, 9, 0, 0, 0, 0x41}, ERR_DATA_SHORT},
      {{0x87, 1, 0, 0, 0, 0x03, 0, 0, 0, 0}, ERR_DATA_TYPE}};
  for (const auto& bad : badLists) {
    PDataReader listReader(bad.first);
    const int rc = listReader.readStrings(strings);
    EXPECT_EQ(bad.second, rc) << codeName(rc);
    EXPECT_EQ(0u, listReader.position());
    EXPECT_EQ(3u, strings.size());
  }
}
