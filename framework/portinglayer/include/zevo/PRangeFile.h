// A regular file opened for reading at any offset, and the ranges of it
// that hold data (the rest are holes of a sparse file).
//
// Opened as PFile::popen(MODE_READ_ONLY) opens: only a regular file, judged
// before it is opened; with links refused a file with more than one hard
// link is PERR_HARDLINK. Operations on a PRangeFile that is not open
// answer PERR_NOT_OPEN.
//
// Threading: readAt, attributes and dataRange may run on several threads
// at once (positional reads, no shared position); open and the destructor
// on one.
#pragma once

#include "zevo/PExport.h"
#include "zevo/PFileSpan.h"
#include "zevo/PPathOps.h"
#include "zevo/PString.h"

class ZEVO_EXPORT PRangeFile {
 public:
  PRangeFile() = default;
  ~PRangeFile();  // closes the file
  PRangeFile(const PRangeFile&) = delete;
  PRangeFile& operator=(const PRangeFile&) = delete;

  int open(const PLiteral& iPath);
  bool isOpen() const { return fFd >= 0; }
  // Reads up to iSize bytes at iOffset: fewer only at the end of the file,
  // none at or past it (0 all the same). A negative offset is
  // PERR_INVALID_ARG. On failure oDone tells what was read before it.
  int readAt(long long iOffset, void* oBuffer, unsigned int iSize, unsigned int& oDone);
  // The bytes readAt would read now, as a span of the file for a reply to
  // carry (IComms::sendFile): up to iSize bytes at iOffset, fewer only at
  // the end of the file. oSpan's keeper is the caller's to set (whatever
  // keeps this file open).
  int span(long long iOffset, unsigned int iSize, PFileSpan& oSpan);
  int attributes(PFileAttributes& oInfo);
  // The first range of data that ends after iOffset, from iOffset at the
  // earliest: [oStart, oEnd). PERR_FILE_EOF when only holes (or nothing)
  // follow. A file system that cannot tell holes reports everything up to
  // the size as data.
  int dataRange(long long iOffset, long long& oStart, long long& oEnd);

 private:
  friend class PUploadFile;  // hands a reader of its temporary file
  int fFd = -1;
};
