// What a path names, and the changes that act on paths as a whole: rename,
// attributes, and removing a tree in bounded steps.
//
// Every path is checked as PFile's are (PERR_INVALID_PATH for an empty
// path, a ".." component, a NUL, text that cannot be converted) and
// resolved under the process's PPathPolicy: with links refused, a path
// through a link anywhere is PERR_SYMLINK and, with mount points refused,
// a crossing is PERR_CROSS_DEVICE, exactly as for PFile and PDir.
//
// Threading: every operation is thread-safe; nothing is kept between calls.
#pragma once

#include "zevo/PExport.h"
#include "zevo/PString.h"

// What stands at a path, as the system tells (links not followed).
struct PFileAttributes {
  static constexpr int KIND_FILE = 1;   // a regular file
  static constexpr int KIND_DIR = 2;    // a directory
  static constexpr int KIND_LINK = 3;   // a symbolic link
  static constexpr int KIND_OTHER = 4;  // a FIFO, socket or device node

  int fKind = 0;
  long long fSize = 0;      // bytes (a link: its target's length)
  unsigned int fMode = 0;   // permission bits, 07777
  long long fMtimeNs = 0;   // last modification, nanoseconds since 1970 (UTC)
  unsigned int fLinks = 0;  // hard links
};

class ZEVO_EXPORT PPathOps {
 public:
  // What the path names. The last component is not followed: a link is
  // KIND_LINK with its target in oLinkTarget (empty otherwise); with links
  // refused it is PERR_SYMLINK, as anywhere in the path. A trailing "/"
  // asks for a directory (PERR_NOT_DIR otherwise). Outputs unchanged on
  // failure.
  static int stat(const PLiteral& iPath, PFileAttributes& oInfo, PString& oLinkTarget);
  // Renames iFrom to iTo (a file or a directory), atomically. Without
  // iReplace an existing iTo is PERR_EXISTS; with it, iTo is replaced as
  // rename(2) does. Neither last component may be a link while links are
  // refused. Two file systems: PERR_CROSS_DEVICE with oAcrossFileSystems
  // set (it is false after every other outcome).
  static int rename(const PLiteral& iFrom, const PLiteral& iTo, bool iReplace, bool& oAcrossFileSystems);
  // Sets the permission bits (iMode, 07777 at most; -1 keeps them) and the
  // modification time (iMtimeNs; -1 keeps it) of a regular file or a
  // directory. Anything else is PERR_NOT_FILE, and while links are refused
  // a file with more than one hard link PERR_HARDLINK (the change would
  // reach its other names). Links are followed only while links are
  // followed. PERR_INVALID_ARG for other bits or a time below -1.
  static int setAttributes(const PLiteral& iPath, int iMode, long long iMtimeNs);
  // Removes what the path names, a directory with everything below it,
  // deepest entries first, at most iBudget entries (files, links, special
  // files, directories: each counts one) per call. oMore: entries remain
  // (call again). Links are removed, never followed; with mount points
  // refused a mount below the path is PERR_CROSS_DEVICE. oRemoved counts
  // what went, also on failure. A missing path is PERR_NOT_FOUND.
  static int removeTree(const PLiteral& iPath, unsigned int iBudget, unsigned int& oRemoved, bool& oMore);
};
