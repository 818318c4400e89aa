// How the path operations of PFile and PDir treat symbolic links, hard
// links and mount points.
//
// Process-wide, set once at start-up (the host does it before plug-ins load).
// With SYMLINKS_REFUSE a path that passes through a symbolic link, in any
// component including the last, is refused with PERR_SYMLINK (exists() and
// check() answer 0), and PFile::popen refuses a regular file with more than
// one hard link with PERR_HARDLINK (its other name may lie anywhere; exists,
// check and pdelete treat it as any file). The layer's default is
// SYMLINKS_FOLLOW: the system's behaviour.
//
// With MOUNTS_REFUSE, while links are refused, a path whose resolution
// crosses a mount point (a component, the last included, that is one) is
// refused with PERR_CROSS_DEVICE: every component must lie on the mount of
// the start, "/" for an absolute path, the working directory for a relative
// one. Where the system has no openat2 the layer compares devices instead,
// and a bind mount within one file system passes. The default is
// MOUNTS_CROSS; with links followed the setting has no effect.
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

  static constexpr int MOUNTS_CROSS = 0;
  static constexpr int MOUNTS_REFUSE = 1;

  // 0, or PERR_INVALID_ARG for another value (the policy stays).
  static int setMounts(int iPolicy);
  static int mounts();
  // Whether paths of the calling thread refuse mount points now: links are
  // refused (refusesSymlinks()) and the policy is MOUNTS_REFUSE.
  static bool refusesMounts();
  // "cross" or "refuse" to a policy: 0, or PERR_INVALID_ARG.
  static int parseMounts(const char* iText, int& oPolicy);
  // "cross" or "refuse"; "?" for another value.
  static const char* mountsName(int iPolicy);
};

// While it lives, the path operations of the calling thread follow links
// (and cross mount points) whatever the process-wide policy: for files that only the administrator
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
