// One open file, and path operations on files.
//
// Paths are wide text, converted to UTF-8 for the system. Every path
// operation refuses, with PERR_INVALID_PATH, an empty path, a path with a ".."
// component, an embedded NUL, or text that cannot be converted.
//
// Threading: the operations of one PFile are serialised by its own lock, so a
// pclose() from one thread waits for a pread() running on another.
#pragma once

#include "zevo/PExport.h"
#include "zevo/PStdMutex.h"
#include "zevo/PString.h"

class ZEVO_EXPORT PFile {
 public:
  // popen modes (bits).
  static constexpr unsigned int MODE_READ = 0x01;    // read from the start
  static constexpr unsigned int MODE_WRITE = 0x02;   // write from the start
  static constexpr unsigned int MODE_APPEND = 0x04;  // writes go to the end
  static constexpr unsigned int MODE_CREATE = 0x10;  // create a missing file, truncate an existing one
  // Mode 1: read. Mode 18 (MODE_WRITE | MODE_CREATE): write a new or emptied file.
  static constexpr unsigned int MODE_READ_ONLY = MODE_READ;
  static constexpr unsigned int MODE_WRITE_NEW = MODE_WRITE | MODE_CREATE;
  // Permissions of a file created by popen, before the process umask.
  static constexpr unsigned int kCreatePermissions = 0644;

  // check() kinds.
  static constexpr int CHECK_FILE = 0;
  static constexpr int CHECK_DIR = 1;

  PFile();
  // Closes the file when still open, without flushing it: nobody is left to
  // be told of a failure.
  virtual ~PFile();
  PFile(const PFile&) = delete;
  PFile& operator=(const PFile&) = delete;

  // Opens a regular file (close-on-exec, blocking). Anything else (directory,
  // device, pipe, socket) is refused without being opened: PERR_IS_DIR or
  // PERR_NOT_FILE. While links are refused (zevo/PPathPolicy.h) a file with
  // more than one hard link is PERR_HARDLINK, and with mount points refused
  // a path across one PERR_CROSS_DEVICE. Needs /proc (the file is reopened
  // through /proc/self/fd). Any failure leaves no descriptor open.
  // iFlags: bit 0 "binary" has no effect on Linux; other bits are ignored.
  int popen(const PLiteral& iPath, unsigned int iMode, unsigned int iFlags);
  // Reads up to iSize bytes from the current position. 0 with oDone > 0 bytes
  // (a short count only at the end of the file); PERR_FILE_EOF with oDone = 0
  // when no byte was left; another code on failure, oDone telling how many
  // bytes were read before it. A failed read leaves the position where the
  // call found it, so that asking again reads the same bytes.
  int pread(char* oBuffer, unsigned int iSize, unsigned int& oDone);
  // Writes all iSize bytes at the current position; on failure oDone tells
  // how many were written before it. A failed write puts the position back
  // where the call found it and, when it had made the file longer, cuts off
  // what it wrote, so that writing the same block again does not double it
  // (not for MODE_APPEND files).
  int pwrite(const char* iBuffer, unsigned int iSize, unsigned int& oDone);
  // Closes the file. A file opened for writing is first flushed to storage
  // (fdatasync), while its descriptor is still open: once it is closed, a
  // failed write-back can no longer be reported. When the flush fails,
  // pclose answers its code (PERR_IO, PERR_NO_SPACE...) and the file stays
  // open and usable. Every later pclose flushes again but answers the
  // failure again even when that flush succeeds: the system may have dropped
  // the pages it could not write, and a second flush succeeds without them.
  // Such a file is never closed by pclose; its descriptor goes with the
  // object. A file system that cannot flush the file (EINVAL, EROFS) is no
  // failure. An error of close(2) itself (after a good flush, or for a file
  // only read) is answered once: the descriptor is released all the same,
  // and the next pclose answers 0, since nothing is left to close.
  int pclose();
  // The size of the open file; oSize is unchanged on failure.
  int pgetSize(long long& oSize);
  // The path the file was opened with; always succeeds on an open file.
  int pgetName(PString& oName);
  bool isOpen() const;

  // Nonzero when anything exists at the path (links are followed).
  static int exists(const PLiteral& iPath);
  // Nonzero when the path is a directory (CHECK_DIR) or a regular file (CHECK_FILE).
  static int check(const PLiteral& iPath, int iWhat);
  // Removes a file; a missing path is PERR_NOT_FOUND, a directory PERR_IS_DIR.
  static int pdelete(const PLiteral& iPath);
  // Reduces a path in place to its last component, the text after the last
  // "/": empty when the path ends with "/", the whole path when it has none.
  static void getFileName(PString& ioPath);

 private:
  int closeLocked() ZEVO_REQUIRES(fLock);

  // Puts the position back to fPosition after a failed transfer of
  // iDone bytes, cutting the file there when those bytes made it longer.
  void rewind(unsigned int iDone, bool iWriting) ZEVO_REQUIRES(fLock);

  mutable PStdMutex fLock;                     // serialises the operations on fFd
  int fFd ZEVO_GUARDED_BY(fLock);              // -1 when not open
  PString fName ZEVO_GUARDED_BY(fLock);        // the path as opened
  long long fPosition ZEVO_GUARDED_BY(fLock);  // where the next read or write starts (-1: not known, MODE_APPEND)
  bool fWriting ZEVO_GUARDED_BY(fLock);        // opened for writing: flushed by pclose
  int fFlushError ZEVO_GUARDED_BY(fLock);      // code of the last failed flush; 0: none since popen
  bool fCloseFailed ZEVO_GUARDED_BY(fLock);    // the last close reported an error (its descriptor is gone)
};
