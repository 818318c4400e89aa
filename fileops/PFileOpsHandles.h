// What a handle holds between requests: an open listing, a file open for
// ranged reads, a checksum under way, or an upload.
//
// Threading: a handle is shared (std::shared_ptr) between the service's
// table and the requests working on it, which may run on several workers.
// A listing, a checksum and an upload serialise their operations with
// their own lock, held across the file I/O of one request (never the
// table's); a reader's file reads at offsets and needs none.
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

#include "zevo/PDirStream.h"
#include "zevo/PRangeFile.h"
#include "zevo/PStdMutex.h"
#include "zevo/PString.h"
#include "zevo/PUploadFile.h"

class PHandle {
 public:
  enum Kind { LISTING = 1, READ = 2, CHECKSUM = 3, UPLOAD = 4 };
  explicit PHandle(Kind iKind) : fKind(iKind) {}
  virtual ~PHandle() = default;
  PHandle(const PHandle&) = delete;
  PHandle& operator=(const PHandle&) = delete;

  const Kind fKind;
};

class PListing final : public PHandle {
 public:
  struct Entry {
    PString fName;
    PFileAttributes fInfo;
  };
  // The bytes an entry takes in a ReadListing reply (name, kind, size,
  // mode, time), and those of the reply around the entries.
  static unsigned int entryBytes(const PLiteral& iName);
  static constexpr unsigned int kHeaderBytes = 2 + 5;

  PListing() : PHandle(LISTING) {}
  int open(const PLiteral& iPath);
  // The next entries whose bytes fit in iBudget (at least one, if any is
  // left); oMore: the listing has not reached its end. An entry that did
  // not fit comes first next time.
  int next(unsigned int iBudget, std::vector<Entry>& oEntries, bool& oMore);

 private:
  PStdMutex fLock;
  PDirStream fStream ZEVO_GUARDED_BY(fLock);
  Entry fHeld ZEVO_GUARDED_BY(fLock);       // read, not yet delivered
  bool fHolding ZEVO_GUARDED_BY(fLock) = false;
  bool fEnded ZEVO_GUARDED_BY(fLock) = false;
};

class PReader final : public PHandle {
 public:
  PReader() : PHandle(READ) {}
  PRangeFile fFile;  // opened before the handle is shared
};

class PChecksum final : public PHandle {
 public:
  static constexpr unsigned int kDigestBytes = 32;  // SHA-256

  PChecksum() : PHandle(CHECKSUM) {}
  ~PChecksum() override;
  // Before the handle is shared: the range [iOffset, iOffset + iLength) of
  // fFile (iLength -1: to its end), cut at the file's end; oLength: the
  // bytes it covers.
  int start(long long iOffset, long long iLength, long long& oLength);
  // Hashes up to kFileOpsChecksumStep more bytes; once all are, oDone and
  // the digest (the same on every later step).
  int step(bool& oDone, long long& oHashed, std::vector<unsigned char>& oDigest);

  PRangeFile fFile;  // opened before the handle is shared

 private:
  PStdMutex fLock;
  EVP_MD_CTX* fContext ZEVO_GUARDED_BY(fLock) = nullptr;
  long long fStart ZEVO_GUARDED_BY(fLock) = 0;
  long long fNext ZEVO_GUARDED_BY(fLock) = 0;
  long long fEnd ZEVO_GUARDED_BY(fLock) = 0;
  std::vector<unsigned char> fDigest ZEVO_GUARDED_BY(fLock);  // empty until done
};

class PUpload final : public PHandle {
 public:
  PUpload(bool iResumable, const PLiteral& iTarget, const PLiteral& iIdentity)
      : PHandle(UPLOAD), fResumable(iResumable), fTarget(iTarget), fIdentity(iIdentity) {}
  ~PUpload() override;  // the temporary file goes, unless published

  // Runs iStep on the file with the upload's lock held.
  template <class Step>
  auto with(Step&& iStep) {
    PStdMutexLock lock(fLock);
    return iStep(fFile);
  }

  const bool fResumable;
  const PString fTarget;    // the path as the peer gave it
  const PString fIdentity;  // who began it: only they may resume it
  std::string fKey;         // PUploadFile::targetKey(), set before the handle is shared
  std::string fToken;       // for resuming; set before the handle is shared

 private:
  PStdMutex fLock;
  PUploadFile fFile ZEVO_GUARDED_BY(fLock);
};
