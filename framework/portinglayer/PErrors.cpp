#include "zevo/PErrors.h"

#include <cerrno>

namespace {

struct PErrorEntry {
  int fCode;
  const char* fName;
  const char* fMeaning;
};

#define ZEVO_ERROR(code, meaning) {code, #code, meaning}

// The same lines as docs/status-codes.md.
const PErrorEntry kErrors[] = {
    ZEVO_ERROR(ERR_OK, "success"),
    ZEVO_ERROR(ERR_NO_MEMORY, "an object could not be created"),
    ZEVO_ERROR(ERR_FAILED, "the operation failed"),
    ZEVO_ERROR(ERR_NOT_FILE_OR_DIR, "exists, but neither directory nor regular file"),
    ZEVO_ERROR(ERR_END_OF_FILE, "nothing more can be read from the transfer"),
    ZEVO_ERROR(ERR_ACCESS_DENIED, "refused by the access policy or the transfer's mode"),
    ZEVO_ERROR(ERR_NO_INSTANCE, "no component or instance under that ID"),
    ZEVO_ERROR(ERR_PACKET_SIZE, "requested chunk size outside 1 to 8192"),
    ZEVO_ERROR(ERR_DATA_SHORT, "the payload ends before the element"),
    ZEVO_ERROR(ERR_DATA_TYPE, "the element's tag is not the expected one"),
    ZEVO_ERROR(ERR_DATA_ENCODING, "a string element is not valid UTF-8 or holds a NUL"),
    ZEVO_ERROR(PERR_FAILED, "failure without a more precise code"),
    ZEVO_ERROR(PERR_NOT_FOUND, "no such file or directory"),
    ZEVO_ERROR(PERR_ACCESS, "the system denied permission"),
    ZEVO_ERROR(PERR_EXISTS, "the path already exists"),
    ZEVO_ERROR(PERR_NOT_DIR, "a path component is not a directory"),
    ZEVO_ERROR(PERR_IS_DIR, "the path is a directory"),
    ZEVO_ERROR(PERR_NOT_EMPTY, "the directory is not empty"),
    ZEVO_ERROR(PERR_NO_SPACE, "no space left on the device or quota exceeded"),
    ZEVO_ERROR(PERR_READ_ONLY, "the file system is read-only"),
    ZEVO_ERROR(PERR_BUSY, "the file or directory is in use"),
    ZEVO_ERROR(PERR_TOO_MANY_FILES, "too many open files"),
    ZEVO_ERROR(PERR_NAME_TOO_LONG, "a path or name is too long"),
    ZEVO_ERROR(PERR_IO, "input/output error of the device"),
    ZEVO_ERROR(PERR_NOT_OPEN, "the file or directory object is not open"),
    ZEVO_ERROR(PERR_FILE_EOF, "end of file: no byte was left to read"),
    ZEVO_ERROR(PERR_ALREADY_OPEN, "the object is already open"),
    ZEVO_ERROR(PERR_INVALID_PATH, "refused path: \"..\", NUL, empty, or not convertible text"),
    ZEVO_ERROR(PERR_NOT_FILE, "not a regular file (device, pipe, socket)"),
    ZEVO_ERROR(PERR_LOOP, "too many symbolic links"),
    ZEVO_ERROR(PERR_SYMLINK, "the path passes through a symbolic link that the host refuses"),
    ZEVO_ERROR(PERR_INVALID_ARG, "an invalid argument or mode"),
    ZEVO_ERROR(PERR_TOO_LARGE, "the file or value is too large"),
    ZEVO_ERROR(PERR_NO_MEMORY, "the system is out of memory"),
    ZEVO_ERROR(PERR_CROSS_DEVICE, "the path crosses a mount point that the host refuses, or the operation would cross file systems"),
    ZEVO_ERROR(PERR_INTERRUPTED, "interrupted before anything was done"),
    ZEVO_ERROR(PERR_MUTEX, "a mutex operation failed (not initialised, closed, not owner)"),
    ZEVO_ERROR(PERR_HARDLINK, "the file has more than one hard link, which the host refuses"),
    ZEVO_ERROR(ERR_PLUGIN_OPEN, "the plug-in library cannot be loaded"),
    ZEVO_ERROR(ERR_PLUGIN_ENTRY, "the library has no plug-in entry function"),
    ZEVO_ERROR(ERR_INVALID_ARG, "an argument is null, empty or out of range"),
    ZEVO_ERROR(ERR_ALREADY, "already registered, bound or loaded"),
    ZEVO_ERROR(ERR_NOT_RUNNING, "the service has been shut down"),
    ZEVO_ERROR(ERR_CONFIG_NO_SET, "no configuration set with that ID"),
    ZEVO_ERROR(ERR_CONFIG_NO_KEY, "the set has no such key"),
    ZEVO_ERROR(ERR_CONFIG_SYNTAX, "the configuration file is malformed"),
    ZEVO_ERROR(ERR_CONFIG_VALUE, "the value is not of the requested kind"),
    ZEVO_ERROR(ERR_CONFIG_READ, "the configuration file cannot be read"),
    ZEVO_ERROR(ERR_COMMS_NO_MODULE, "no module is bound under that ID"),
    ZEVO_ERROR(ERR_COMMS_NO_EXCHANGE, "no request is waiting for that response ID"),
    ZEVO_ERROR(ERR_COMMS_FRAME_SIZE, "the frame exceeds the size limit"),
    ZEVO_ERROR(ERR_COMMS_FRAME, "the frame is malformed or truncated"),
    ZEVO_ERROR(ERR_COMMS_CLOSED, "the connection has been closed"),
    ZEVO_ERROR(ERR_COMMS_BUSY, "the host cannot take more (connections, descriptors)"),
    ZEVO_ERROR(ERR_COMMS_TIMEOUT, "no answer in time"),
    ZEVO_ERROR(ERR_COMMS_REFUSED, "the host grants the peer's identity no role"),
    ZEVO_ERROR(FOPS_ERR_ARGUMENT, "a value of the request is out of range"),
    ZEVO_ERROR(FOPS_ERR_NO_HANDLE, "no open handle has that number"),
    ZEVO_ERROR(FOPS_ERR_HANDLE_KIND, "the handle is not of the kind the action works on"),
    ZEVO_ERROR(FOPS_ERR_TARGET_BUSY, "another upload to the same target is open or kept for resuming"),
    ZEVO_ERROR(FOPS_ERR_CROSS_FS, "source and destination lie on different file systems"),
    ZEVO_ERROR(FOPS_ERR_NO_UPLOAD, "no upload is kept for resuming under that token"),
    ZEVO_ERROR(FOPS_ERR_SHRUNK, "the file became shorter than the range being hashed"),
};

#undef ZEVO_ERROR

const PErrorEntry* find(int iCode) {
  for (const PErrorEntry& entry : kErrors) {
    if (entry.fCode == iCode) return &entry;
  }
  return nullptr;
}

}  // namespace

const char* PErrors::name(int iCode) {
  const PErrorEntry* entry = find(iCode);
  return entry ? entry->fName : nullptr;
}

const char* PErrors::meaning(int iCode) {
  const PErrorEntry* entry = find(iCode);
  return entry ? entry->fMeaning : nullptr;
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
