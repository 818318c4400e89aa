// A file written in place of a target and published whole, atomically: the
// data goes to a temporary file in the target's own directory (a rename is
// atomic only within one file system), which replaces the target by a
// rename once it has been flushed, and the directory is flushed after.
//
// The temporary file is made with O_TMPFILE: it has no name, no listing
// shows it, and it goes with its descriptor (discard, the destructor, the
// end of the process). Where the file system has no O_TMPFILE it gets a
// reserved name, kReservedPrefix followed by 16 hex digits, created with
// O_CREAT | O_EXCL; PDir and PDirStream leave such names out of listings,
// discard and the destructor remove it. Publishing an O_TMPFILE links it
// under a reserved name first, then renames that over the target.
//
// The steps, in order: open (resolves the target's directory under the
// PPathPolicy rules and judges the target: absent, or a regular file;
// nothing is created), create, writeAt..., finish, flushData (or, for a
// group, flushFileSystem once per file system through the upload created
// first, and flushData(true) after it), publish, flushDirectory. A failed
// step changes nothing at the target and may be repeated; an O_TMPFILE
// whose rename failed keeps the reserved name it was linked under (it
// could not be linked a second time).
//
// Why one file-system flush can stand for each file's own: syncfs writes
// and flushes everything of the file system, and (since Linux 5.8) answers
// every write error the file system had since the descriptor it was called
// on was opened, or since the last syncfs on it. So a syncfs through the
// upload created first in a group reports the errors of every file of the
// group. A file whose pages failed is then kept to its own fdatasync from
// then on: after a failed syncfs only that tells whether its data is kept.
//
// Threading: one thread at a time.
#pragma once

#include <string>

#include "zevo/PExport.h"
#include "zevo/PRangeFile.h"
#include "zevo/PString.h"

class ZEVO_EXPORT PUploadFile {
 public:
  static constexpr const char* kReservedPrefix = ".zevo-upload-";

  PUploadFile() = default;
  ~PUploadFile();  // discard()
  PUploadFile(const PUploadFile&) = delete;
  PUploadFile& operator=(const PUploadFile&) = delete;

  // The target: PERR_IS_DIR, PERR_NOT_FILE (special file), PERR_SYMLINK
  // (links refused), PERR_CROSS_DEVICE (mount points refused) when it
  // cannot be replaced; its missing directory is PERR_NOT_FOUND.
  int open(const PLiteral& iTarget);
  // Who the target is: its directory's device and inode, and its name; the
  // same for every spelling of one path.
  std::string targetKey() const;
  // The device of the target's file system.
  unsigned long long fileSystem() const { return fDevice; }
  // The directory's identity, for flushing each directory once.
  std::string directoryKey() const;

  // Makes the temporary file, with the target's permissions when it exists
  // (0644 less the umask otherwise).
  int create();
  // Writes all iSize bytes at iOffset; bytes never written stay holes.
  int writeAt(long long iOffset, const void* iData, unsigned int iSize);
  // The temporary file's size.
  int size(long long& oSize);
  // A second descriptor for reading what was written (checksums).
  int reader(PRangeFile& oReader);
  // Sets the final size (iSize; -1 keeps it), permissions (iMode, 07777 at
  // most; -1 keeps them) and modification time (iMtimeNs; -1: now).
  int finish(long long iSize, int iMode, long long iMtimeNs);
  // Flushes the data to storage (fdatasync). iFileSystemFlushed: a
  // flushFileSystem through an upload created no later than this one has
  // succeeded since this one's data was written; then nothing is left to
  // do, unless the kernel's syncfs does not report write errors (before
  // Linux 5.8) or a file-system flush failed for this upload before.
  int flushData(bool iFileSystemFlushed = false);
  // Flushes the whole file system the file lies on (syncfs): one step for
  // every upload of a group on it, called through the one created first.
  int flushFileSystem();
  // A file-system flush failed while this upload's data was to be flushed:
  // only its own flushData can tell from now on whether the data is kept.
  void fileSystemFlushFailed() { fOwnFlush = true; }
  // The order create() made the files in, in this process.
  unsigned long long order() const { return fOrder; }
  // Renames the file over the target. Afterwards the temporary file is
  // the target: discard no longer removes anything.
  int publish();
  bool published() const { return fPublished; }
  // Flushes the target's directory, so that the rename is kept too.
  int flushDirectory();
  // Removes the temporary file (unless published) and closes everything.
  void discard();

 private:
  int fDir = -1;             // O_PATH descriptor of the target's directory
  int fFd = -1;              // the temporary file, read and write
  std::string fName;         // the target's name in fDir
  std::string fTempName;     // the reserved name, while one exists
  bool fAnonymous = false;   // O_TMPFILE: fTempName exists only during publish
  bool fPublished = false;
  bool fOwnFlush = false;  // a file-system flush failed for it
  unsigned long long fOrder = 0;
  bool fTargetExists = false;
  unsigned int fTargetMode = 0;
  unsigned long long fDevice = 0;
  unsigned long long fDirInode = 0;
};
