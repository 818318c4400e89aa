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

// Appends elements to a payload. A string goes as given: a path the caller
// has converted (PClient::PImpl::pathPayload checks it), or one the host sent.
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

// Whether a listing's entry name is one name within its directory: not
// empty, ".", "..", and without '/' or NUL. A host that sends another is not
// trusted with the local paths made of its names.
bool entryName(const std::string& iName);

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
