// The client's side of payload elements (docs/protocol.md): requests built
// from UTF-8 strings, replies read in place from the pump's input; and the
// SHA-256 that checks transfers. Internal to libzevoclient.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "zevo/client/PClientTypes.h"

// Appends elements to a payload. A string is UTF-8 as given (the caller has
// checked it: utf8Valid).
class PWriter {
 public:
  explicit PWriter(std::vector<unsigned char>& oPayload) : fOut(oPayload) {}
  PWriter& i32(int iValue);
  PWriter& i64(long long iValue);
  PWriter& flag(bool iValue);
  PWriter& str(const std::string& iValue);

 private:
  void raw(uint64_t iValue, int iBytes);
  std::vector<unsigned char>& fOut;
};

// Reads elements in order; the first failure sticks (code(): ERR_DATA_SHORT
// or ERR_DATA_TYPE) and every later read then fails too.
class PViewReader {
 public:
  PViewReader(const unsigned char* iBytes, size_t iCount) : fAt(iBytes), fEnd(iBytes + iCount) {}
  bool i32(int& oValue);
  bool i64(long long& oValue);
  bool flag(bool& oValue);
  bool bytes(const unsigned char*& oBytes, size_t& oCount);
  bool str(std::string& oValue);
  bool strs(std::vector<std::string>& oValues);
  int code() const { return fCode; }

 private:
  bool take(unsigned char iTag, size_t iSize, const unsigned char*& oValue);
  bool counted(unsigned char iTag, const unsigned char*& oBytes, size_t& oCount);
  const unsigned char* fAt;
  const unsigned char* fEnd;
  int fCode = 0;
};

// Whether iText is UTF-8 that the protocol carries (no NUL, no overlong
// forms, no surrogates).
bool utf8Valid(const std::string& iText);

// SHA-256 over bytes given in order, holes as runs of zeros.
class PSha256 {
 public:
  PSha256();
  void update(const unsigned char* iBytes, size_t iCount);
  void zeros(long long iCount);
  // The digest of what was given so far; the hash may go on.
  PDigest digest() const;
  long long hashed() const { return fHashed; }

 private:
  struct Free {
    void operator()(EVP_MD_CTX* iContext) const { EVP_MD_CTX_free(iContext); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> fContext;
  long long fHashed = 0;
};
