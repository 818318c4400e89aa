// One directory listing, and path operations on directories.
//
// Threading: a PDir is used by one thread; the static operations are
// thread-safe.
#pragma once

#include "zevo/PExport.h"
#include "zevo/PString.h"

class ZEVO_EXPORT PDir {
 public:
  // Permissions of a directory created by pcreate, before the process umask.
  static constexpr unsigned int kCreatePermissions = 0755;

  PDir();
  virtual ~PDir();
  PDir(const PDir&) = delete;
  PDir& operator=(const PDir&) = delete;

  // Opens a listing. iFilter, when not built from null and not empty, is a
  // shell wildcard pattern ("*.txt") that names must match; "." and ".."
  // always pass. The path is checked as PFile's paths are.
  int popen(const PLiteral& iPath, const PLiteral& iFilter);
  // Moves to the first entry. 0 when the directory could be read (an empty
  // listing included: the listing then stands on no entry); nonzero when
  // reading failed, or when the listing is not open: then the code of the
  // failed popen (PERR_NOT_OPEN when none was tried). Names that are not valid
  // UTF-8 cannot be expressed as wide text and are skipped.
  int preaddir();
  // The state of the listing against a code: "== 0" is true while the
  // listing stands on an entry.
  bool operator==(int iCode) const;
  bool operator!=(int iCode) const { return !(*this == iCode); }
  // The current entry's bare name; valid until the listing moves.
  PLiteral getEntry() const;
  // Moves to the next entry.
  void operator++(int);
  int pclose();
  // The first error met while moving through the listing, or 0.
  int lastError() const { return fError; }

  // Creates one directory whose parent exists.
  static int pcreate(const PLiteral& iPath);
  // Removes an empty directory; a non-empty one is refused with PERR_NOT_EMPTY.
  static int pdelete(const PLiteral& iPath);

 private:
  void advance();
  int openListing(const PLiteral& iPath, const PLiteral& iFilter);

  void* fHandle;   // DIR*, null when not open
  PString fFilter; // UTF-32 pattern, empty for none
  PString fEntry;  // the current entry's name
  int fState;      // 0 on an entry, PERR_FILE_EOF past the end, other codes
  int fError;      // first error met while moving
  int fOpenError;  // why the last popen failed, or 0
};
