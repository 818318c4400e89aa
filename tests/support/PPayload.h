// Request payloads built element by element, and reply elements read back;
// a reply of the wrong layout fails the test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zevo/PCommsMessage.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"

class PPayload {
 public:
  PPayload() = default;
  explicit PPayload(std::vector<unsigned char> iData) : fData(std::move(iData)) {}
  PPayload& str(const std::wstring& iText) {
    EXPECT_EQ(0, PDataWriter(fData).writeString(PLiteral(iText.c_str(), static_cast<unsigned int>(iText.size()))));
    return *this;
  }
  PPayload& str(const std::string& iText) { return str(std::wstring(iText.begin(), iText.end())); }
  PPayload& i32(int iValue) {
    PDataWriter(fData).writeInt32(iValue);
    return *this;
  }
  PPayload& i64(long long iValue) {
    PDataWriter(fData).writeInt64(iValue);
    return *this;
  }
  PPayload& flag(bool iValue) {
    PDataWriter(fData).writeBool(iValue);
    return *this;
  }
  PPayload& bytes(const std::vector<unsigned char>& iBytes) {
    PDataWriter(fData).writeBytes(iBytes);
    return *this;
  }
  PPayload& raw(std::initializer_list<unsigned char> iBytes) {
    for (unsigned char byte : iBytes) fData.push_back(byte);
    return *this;
  }
  operator const std::vector<unsigned char>&() const { return fData; }

 private:
  std::vector<unsigned char> fData;
};

// The one element of a reply payload.
template <class T>
T payloadOf(const std::vector<unsigned char>& iData) {
  PDataReader reader(iData);
  T value{};
  int rc;
  if constexpr (std::is_same_v<T, int>) rc = reader.readInt32(value);
  else if constexpr (std::is_same_v<T, long long>) rc = reader.readInt64(value);
  else if constexpr (std::is_same_v<T, std::vector<unsigned char>>) rc = reader.readBytes(value);
  else rc = reader.readStrings(value);
  EXPECT_EQ(0, rc) << "reply element";
  EXPECT_EQ(0u, reader.remaining()) << "a reply holds one element";
  return value;
}

inline int statusOf(const PCommsMessage& iReply) { return static_cast<int>(iReply.fUint32); }
inline std::wstring moduleOf(const PCommsMessage& iReply) { return iReply.fModuleID.str(); }
inline int replyInt32(const PCommsMessage& iReply) { return payloadOf<int>(iReply.fData); }
inline std::vector<unsigned char> replyBytes(const PCommsMessage& iReply) {
  return payloadOf<std::vector<unsigned char>>(iReply.fData);
}
inline std::vector<std::wstring> replyStrings(const PCommsMessage& iReply) {
  std::vector<std::wstring> out;
  for (const PString& value : payloadOf<std::vector<PString>>(iReply.fData)) out.push_back(value.str());
  return out;
}

// A reply's elements read in order; a missing or mistagged one fails the test.
class PReplyReader {
 public:
  explicit PReplyReader(const PCommsMessage& iReply) : fData(iReply.fData), fReader(fData) {}
  int i32() { int v = 0; EXPECT_EQ(0, fReader.readInt32(v)); return v; }
  long long i64() { long long v = 0; EXPECT_EQ(0, fReader.readInt64(v)); return v; }
  bool flag() { bool v = false; EXPECT_EQ(0, fReader.readBool(v)); return v; }
  std::wstring str() { PString v; EXPECT_EQ(0, fReader.readString(v)); return v.str(); }
  std::vector<unsigned char> bytes() { std::vector<unsigned char> v; EXPECT_EQ(0, fReader.readBytes(v)); return v; }
  std::vector<std::wstring> strings() {
    std::vector<PString> v;
    EXPECT_EQ(0, fReader.readStrings(v));
    std::vector<std::wstring> out;
    for (const PString& value : v) out.push_back(value.str());
    return out;
  }
  bool atEnd() const { return fReader.remaining() == 0; }

 private:
  std::vector<unsigned char> fData;
  PDataReader fReader;
};
