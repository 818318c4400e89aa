#include "zevo/PErrors.h"

#include <cerrno>

// A switch: two codes of one value would not compile.
const char* PErrors::name(int iCode) {
  switch (iCode) {
#define ZEVO_ERROR_NAME_(iName, iValue, iMeaning) \
  case iValue: return #iName;
    ZEVO_ERRORS(ZEVO_ERROR_NAME_)
    ZEVO_FILEACCESS_STATUSES(ZEVO_ERROR_NAME_)
    ZEVO_FILEOPS_STATUSES(ZEVO_ERROR_NAME_)
#undef ZEVO_ERROR_NAME_
  }
  return nullptr;
}

const char* PErrors::meaning(int iCode) {
  switch (iCode) {
#define ZEVO_ERROR_MEANING_(iName, iValue, iMeaning) \
  case iValue: return iMeaning;
    ZEVO_ERRORS(ZEVO_ERROR_MEANING_)
    ZEVO_FILEACCESS_STATUSES(ZEVO_ERROR_MEANING_)
    ZEVO_FILEOPS_STATUSES(ZEVO_ERROR_MEANING_)
#undef ZEVO_ERROR_MEANING_
  }
  return nullptr;
}

int PErrors::fromErrno(int iErrno) {
  switch (iErrno) {
    case ENOENT: return PERR_NOT_FOUND;
    case EACCES:
    case EPERM: return PERR_ACCESS;
    case EEXIST: return PERR_EXISTS;
    case ENOTDIR: return PERR_NOT_DIR;
    case EISDIR: return PERR_IS_DIR;
    case ENOTEMPTY: return PERR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT: return PERR_NO_SPACE;
    case EROFS: return PERR_READ_ONLY;
    case EBUSY:
    case ETXTBSY: return PERR_BUSY;
    case EMFILE:
    case ENFILE: return PERR_TOO_MANY_FILES;
    case ENAMETOOLONG: return PERR_NAME_TOO_LONG;
    case EIO: return PERR_IO;
    case ELOOP: return PERR_LOOP;
    case EINVAL: return PERR_INVALID_ARG;
    case EFBIG:
    case EOVERFLOW: return PERR_TOO_LARGE;
    case ENOMEM: return PERR_NO_MEMORY;
    case EXDEV: return PERR_CROSS_DEVICE;
    case EINTR: return PERR_INTERRUPTED;
    default: return PERR_FAILED;
  }
}
