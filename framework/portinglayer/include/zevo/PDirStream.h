// One directory listing with the attributes of each entry, read a few
// entries at a time while the directory stays open.
//
// Skipped: "." and "..", names that are not valid UTF-8, the temporary
// files of uploads in progress (PUploadFile::kReservedPrefix, as PDir
// skips them), and an entry removed between being listed and examined.
// The path is checked and resolved as PDir::popen's.
//
// Threading: one thread at a time.
#pragma once

#include "zevo/PExport.h"
#include "zevo/PPathOps.h"
#include "zevo/PString.h"

class ZEVO_EXPORT PDirStream {
 public:
  PDirStream() = default;
  ~PDirStream();  // closes the listing
  PDirStream(const PDirStream&) = delete;
  PDirStream& operator=(const PDirStream&) = delete;

  // Opens the directory; PERR_NOT_DIR for anything else, PERR_ALREADY_OPEN
  // when open.
  int open(const PLiteral& iPath);
  // The next entry: 0 with its name and attributes (links not followed);
  // PERR_FILE_EOF once past the last; a code when reading failed (the
  // listing then stays at its end). PERR_NOT_OPEN when not open.
  int next(PString& oName, PFileAttributes& oInfo);
  void close();

 private:
  void* fHandle = nullptr;  // DIR*
};
