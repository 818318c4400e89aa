// Builds request payloads element by element, and reads reply elements.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"

class PPayload {
 public:
  PPayload& str(const std::wstring& iText) {
    EXPECT_EQ(0, PDataWriter(fData).writeString(PLiteral(iText.c_str(), static_cast<unsigned int>(iText.size()))));
    return *this;
  }
  PPayload& str(const std::string& iText) { return str(std::wstring(iText.begin(), iText.end())); }
  PPayload& i32(int iValue) {
    PDataWriter(fData).writeInt32(iValue);
    return *this;
  }
  PPayload& bytes(const std::vector<unsigned char>& iBytes) {
    PDataWriter(fData).writeBytes(iBytes);
    return *this;
  }
  PPayload& raw(std::initializer_list<unsigned char> iBytes) {
    fData.insert(fData.end(), iBytes);
    return *this;
  }
  const std::vector<unsigned char>& data() const { return fData; }

 private:
  std::vector<unsigned char> fData;
};

// One element of a reply payload; a wrong layout fails the test.
inline int payloadInt32(const std::vector<unsigned char>& iData) {
  PDataReader reader(iData);
  int value = -12345;
  EXPECT_EQ(0, reader.readInt32(value));
  EXPECT_EQ(0u, reader.remaining()) << "a reply holds one element";
  return value;
}

inline long long payloadInt64(const std::vector<unsigned char>& iData) {
  PDataReader reader(iData);
  long long value = -12345;
  EXPECT_EQ(0, reader.readInt64(value));
  EXPECT_EQ(0u, reader.remaining()) << "a reply holds one element";
  return value;
}

inline bool payloadBool(const std::vector<unsigned char>& iData) {
  EXPECT_EQ(2u, iData.size());
  PDataReader reader(iData);
  bool value = false;
  EXPECT_EQ(0, reader.readBool(value));
  return value;
}

inline std::vector<unsigned char> payloadBytes(const std::vector<unsigned char>& iData) {
  PDataReader reader(iData);
  std::vector<unsigned char> bytes;
  EXPECT_EQ(0, reader.readBytes(bytes));
  EXPECT_EQ(0u, reader.remaining()) << "a reply holds one element";
  return bytes;
}

inline std::vector<std::wstring> payloadStrings(const std::vector<unsigned char>& iData) {
  PDataReader reader(iData);
  std::vector<PString> values;
  EXPECT_EQ(0, reader.readStrings(values));
  EXPECT_EQ(0u, reader.remaining()) << "a reply holds one element";
  std::vector<std::wstring> out;
  for (const PString& value : values) out.push_back(value.str());
  return out;
}
