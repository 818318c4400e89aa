#include "zevo/PPathPolicy.h"

#include <atomic>
#include <cstring>

#include "zevo/PErrors.h"

namespace {

std::atomic<int> gSymlinks{PPathPolicy::SYMLINKS_FOLLOW};
std::atomic<int> gMounts{PPathPolicy::MOUNTS_CROSS};
// Depth of PFollowLinksScope objects on this thread.
thread_local int tFollowScopes = 0;

}  // namespace

int PPathPolicy::setSymlinks(int iPolicy) {
  if (iPolicy != SYMLINKS_FOLLOW && iPolicy != SYMLINKS_REFUSE) return PERR_INVALID_ARG;
  gSymlinks.store(iPolicy, std::memory_order_relaxed);
  return 0;
}

int PPathPolicy::symlinks() { return gSymlinks.load(std::memory_order_relaxed); }

bool PPathPolicy::refusesSymlinks() { return tFollowScopes == 0 && symlinks() == SYMLINKS_REFUSE; }

int PPathPolicy::parseSymlinks(const char* iText, int& oPolicy) {
  if (iText == nullptr) return PERR_INVALID_ARG;
  if (std::strcmp(iText, "follow") == 0) {
    oPolicy = SYMLINKS_FOLLOW;
  } else if (std::strcmp(iText, "refuse") == 0) {
    oPolicy = SYMLINKS_REFUSE;
  } else {
    return PERR_INVALID_ARG;
  }
  return 0;
}

const char* PPathPolicy::symlinksName(int iPolicy) {
  if (iPolicy == SYMLINKS_FOLLOW) return "follow";
  if (iPolicy == SYMLINKS_REFUSE) return "refuse";
  return "?";
}

int PPathPolicy::setMounts(int iPolicy) {
  if (iPolicy != MOUNTS_CROSS && iPolicy != MOUNTS_REFUSE) return PERR_INVALID_ARG;
  gMounts.store(iPolicy, std::memory_order_relaxed);
  return 0;
}

int PPathPolicy::mounts() { return gMounts.load(std::memory_order_relaxed); }

bool PPathPolicy::refusesMounts() { return refusesSymlinks() && mounts() == MOUNTS_REFUSE; }

int PPathPolicy::parseMounts(const char* iText, int& oPolicy) {
  if (iText == nullptr) return PERR_INVALID_ARG;
  if (std::strcmp(iText, "cross") == 0) {
    oPolicy = MOUNTS_CROSS;
  } else if (std::strcmp(iText, "refuse") == 0) {
    oPolicy = MOUNTS_REFUSE;
  } else {
    return PERR_INVALID_ARG;
  }
  return 0;
}

const char* PPathPolicy::mountsName(int iPolicy) {
  if (iPolicy == MOUNTS_CROSS) return "cross";
  if (iPolicy == MOUNTS_REFUSE) return "refuse";
  return "?";
}

PFollowLinksScope::PFollowLinksScope() : fSaved(tFollowScopes++) {}

PFollowLinksScope::~PFollowLinksScope() { tFollowScopes = fSaved; }
