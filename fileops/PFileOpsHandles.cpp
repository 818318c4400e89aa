#include "PFileOpsHandles.h"

#include <algorithm>

#include "zevo/PErrors.h"
#include "zevo/PUtils.h"
#include "zevo/protocol/PFileOpsProtocol.h"

unsigned int PListing::entryBytes(const PLiteral& iName) {
  std::string name;
  PUtils::toUtf8(iName, name);
  return static_cast<unsigned int>(5 + name.size() + 5 + 9 + 5 + 9);
}

int PListing::open(const PLiteral& iPath) {
  PStdMutexLock lock(fLock);
  return fStream.open(iPath);
}

int PListing::next(unsigned int iBudget, std::vector<Entry>& oEntries, bool& oMore) {
  PStdMutexLock lock(fLock);
  unsigned int used = kHeaderBytes;
  while (!fEnded) {
    if (!fHolding) {
      const int rc = fStream.next(fHeld.fName, fHeld.fInfo);
      if (rc == PERR_FILE_EOF) {
        fEnded = true;
        break;
      }
      if (rc != 0) return rc;
      fHolding = true;
    }
    const unsigned int bytes = entryBytes(fHeld.fName);
    if (!oEntries.empty() && used + bytes > iBudget) break;
    used += bytes;
    oEntries.push_back(std::move(fHeld));
    fHeld = Entry();
    fHolding = false;
  }
  oMore = !fEnded;
  return 0;
}

PChecksum::~PChecksum() {
  PStdMutexLock lock(fLock);
  EVP_MD_CTX_free(fContext);
}

int PChecksum::start(long long iOffset, long long iLength, long long& oLength) {
  PStdMutexLock lock(fLock);
  PFileAttributes info;
  const int rc = fFile.attributes(info);
  if (rc != 0) return rc;
  fStart = std::min(iOffset, info.fSize);
  fEnd = iLength < 0 ? info.fSize : std::min(info.fSize, fStart + std::min(iLength, info.fSize));
  fNext = fStart;
  fContext = EVP_MD_CTX_new();
  if (fContext == nullptr || EVP_DigestInit_ex(fContext, EVP_sha256(), nullptr) != 1) return ERR_NO_MEMORY;
  oLength = fEnd - fStart;
  return 0;
}

int PChecksum::step(bool& oDone, long long& oHashed, std::vector<unsigned char>& oDigest) {
  PStdMutexLock lock(fLock);
  if (fDigest.empty()) {
    // Read in pieces: one step holds a quarter of a MiB, not four.
    std::vector<unsigned char> piece(std::min<long long>(256 * 1024, std::max<long long>(fEnd - fNext, 1)));
    const long long stop = std::min(fEnd, fNext + kFileOpsChecksumStep);
    while (fNext < stop) {
      unsigned int got = 0;
      const unsigned int want = static_cast<unsigned int>(std::min<long long>(piece.size(), stop - fNext));
      const int rc = fFile.readAt(fNext, piece.data(), want, got);
      if (rc != 0) return rc;
      if (got == 0) return FOPS_ERR_SHRUNK;
      if (EVP_DigestUpdate(fContext, piece.data(), got) != 1) return ERR_FAILED;
      fNext += got;
    }
    if (fNext == fEnd) {
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      if (EVP_DigestFinal_ex(fContext, digest, &length) != 1 || length != kDigestBytes) return ERR_FAILED;
      fDigest.assign(digest, digest + length);
    }
  }
  oDone = !fDigest.empty();
  oHashed = fNext - fStart;
  oDigest = fDigest;
  return 0;
}

PUpload::~PUpload() {
  PStdMutexLock lock(fLock);
  fFile.discard();
}
