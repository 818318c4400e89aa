// struct stat to PFileAttributes, for the layer's own files.
#pragma once

#include <sys/stat.h>

#include "zevo/PPathOps.h"

inline PFileAttributes attributesOf(const struct stat& iInfo) {
  PFileAttributes info;
  info.fKind = S_ISREG(iInfo.st_mode)   ? PFileAttributes::KIND_FILE
               : S_ISDIR(iInfo.st_mode) ? PFileAttributes::KIND_DIR
               : S_ISLNK(iInfo.st_mode) ? PFileAttributes::KIND_LINK
                                        : PFileAttributes::KIND_OTHER;
  info.fSize = static_cast<long long>(iInfo.st_size);
  info.fMode = static_cast<unsigned int>(iInfo.st_mode & 07777);
  info.fMtimeNs = static_cast<long long>(iInfo.st_mtim.tv_sec) * 1000000000LL + iInfo.st_mtim.tv_nsec;
  info.fLinks = static_cast<unsigned int>(iInfo.st_nlink);
  return info;
}
