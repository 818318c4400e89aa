// How the path operations of PFile and PDir treat symbolic links.
//
// Process-wide, set once at start-up (the host does it before plug-ins load).
// With SYMLINKS_REFUSE a path that passes through a symbolic link, in any
// component including the last, is refused with PERR_SYMLINK (exists() and
// check() answer 0), and PFile::popen refuses a regular file with more than
// one hard link with PERR_HARDLINK (its other name may lie anywhere; exists,
// check and pdelete treat it as any file). The layer's default is
// SYMLINKS_FOLLOW: the system's behaviour.
#pragma once

#include "zevo/PExport.h"

class ZEVO_EXPORT PPathPolicy {
 public:
  static constexpr int SYMLINKS_FOLLOW = 0;
  static constexpr int SYMLINKS_REFUSE = 1;

  // 0, or PERR_INVALID_ARG for another value (the policy stays).
  static int setSymlinks(int iPolicy);
  // The process-wide policy.
  static int symlinks();
  // Whether paths of the calling thread refuse links now: the process-wide
  // policy, unless a PFollowLinksScope lives on the thread.
  static bool refusesSymlinks();

  // "follow" or "refuse" to a policy: 0, or PERR_INVALID_ARG.
  static int parseSymlinks(const char* iText, int& oPolicy);
  // "follow" or "refuse"; "?" for another value.
  static const char* symlinksName(int iPolicy);
};

// While it lives, the path operations of the calling thread follow links
// whatever the process-wide policy: for files that only the administrator
// names (configuration files), never for a peer's paths.
class ZEVO_EXPORT PFollowLinksScope {
 public:
  PFollowLinksScope();
  ~PFollowLinksScope();
  PFollowLinksScope(const PFollowLinksScope&) = delete;
  PFollowLinksScope& operator=(const PFollowLinksScope&) = delete;

 private:
  int fSaved;
};
