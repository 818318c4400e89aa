// Result codes of the framework and its services. 0 is success; every failure
// is a negative code. Each code has a name and a one-line meaning
// (PErrors::name, PErrors::meaning), written once in the lists below.
#pragma once

#include "zevo/PExport.h"
#include "zevo/protocol/PFileAccessProtocol.h"  // the statuses the file-access service decides itself
#include "zevo/protocol/PFileOpsProtocol.h"     // those of the file-operations service

// Codes of the plug-in object and of the payload reader.
#define ZEVO_ERRORS_OBJECT(X) \
  X(ERR_OK, 0, "success") \
  X(ERR_NO_MEMORY, -501, "an object could not be created") \
  X(ERR_NO_INSTANCE, -2001, "no component or instance under that ID") \
  X(ERR_DATA_SHORT, -9001, "the payload ends before the element") \
  X(ERR_DATA_TYPE, -9002, "the element's tag is not the expected one") \
  X(ERR_DATA_ENCODING, -9003, "a string element is not valid UTF-8 or holds a NUL")

// Codes of the porting layer (errno and the layer's own checks).
#define ZEVO_ERRORS_PORTING(X) \
  X(PERR_FAILED, -600, "failure without a more precise code") \
  X(PERR_NOT_FOUND, -601, "no such file or directory") \
  X(PERR_ACCESS, -602, "the system denied permission") \
  X(PERR_EXISTS, -603, "the path already exists") \
  X(PERR_NOT_DIR, -604, "a path component is not a directory") \
  X(PERR_IS_DIR, -605, "the path is a directory") \
  X(PERR_NOT_EMPTY, -606, "the directory is not empty") \
  X(PERR_NO_SPACE, -607, "no space left on the device or quota exceeded") \
  X(PERR_READ_ONLY, -608, "the file system is read-only") \
  X(PERR_BUSY, -609, "the file or directory is in use") \
  X(PERR_TOO_MANY_FILES, -610, "too many open files") \
  X(PERR_NAME_TOO_LONG, -611, "a path or name is too long") \
  X(PERR_IO, -612, "input/output error of the device") \
  X(PERR_NOT_OPEN, -613, "the file or directory object is not open") \
  X(PERR_FILE_EOF, -614, "end of file: no byte was left to read") \
  X(PERR_ALREADY_OPEN, -615, "the object is already open") \
  X(PERR_INVALID_PATH, -616, "refused path: \"..\", NUL, empty, or not convertible text") \
  X(PERR_NOT_FILE, -617, "not a regular file (device, pipe, socket)") \
  X(PERR_LOOP, -618, "too many symbolic links") \
  X(PERR_SYMLINK, -619, "the path passes through a symbolic link that the host refuses") \
  X(PERR_INVALID_ARG, -620, "an invalid argument or mode") \
  X(PERR_TOO_LARGE, -621, "the file or value is too large") \
  X(PERR_NO_MEMORY, -622, "the system is out of memory") \
  X(PERR_CROSS_DEVICE, -623, "the path crosses a mount point that the host refuses, or the operation would cross file systems") \
  X(PERR_INTERRUPTED, -624, "interrupted before anything was done") \
  X(PERR_MUTEX, -625, "a mutex operation failed (not initialised, closed, not owner)") \
  X(PERR_HARDLINK, -626, "the file has more than one hard link, which the host refuses")

// Codes of the framework's core services.
#define ZEVO_ERRORS_CORE(X) \
  X(ERR_PLUGIN_OPEN, -2002, "the plug-in library cannot be loaded") \
  X(ERR_PLUGIN_ENTRY, -2003, "the library has no plug-in entry function") \
  X(ERR_INVALID_ARG, -2004, "an argument is null, empty or out of range") \
  X(ERR_ALREADY, -2005, "already registered, bound or loaded") \
  X(ERR_NOT_RUNNING, -2006, "the service has been shut down") \
  X(ERR_CONFIG_NO_SET, -3001, "no configuration set with that ID") \
  X(ERR_CONFIG_NO_KEY, -3002, "the set has no such key") \
  X(ERR_CONFIG_SYNTAX, -3003, "the configuration file is malformed") \
  X(ERR_CONFIG_VALUE, -3004, "the value is not of the requested kind") \
  X(ERR_CONFIG_READ, -3005, "the configuration file cannot be read") \
  X(ERR_COMMS_NO_MODULE, -4001, "no module is bound under that ID") \
  X(ERR_COMMS_NO_EXCHANGE, -4002, "no request is waiting for that response ID") \
  X(ERR_COMMS_FRAME_SIZE, -4003, "the frame exceeds the size limit") \
  X(ERR_COMMS_FRAME, -4004, "the frame is malformed or truncated") \
  X(ERR_COMMS_CLOSED, -4005, "the connection has been closed") \
  X(ERR_COMMS_BUSY, -4006, "the host cannot take more (connections, descriptors)") \
  X(ERR_COMMS_TIMEOUT, -4007, "no answer in time") \
  X(ERR_COMMS_REFUSED, -4008, "the host grants the peer's identity no role")

// Every code of this file. Each list row is X(name, value, meaning): the
// constants below, PErrors::name and PErrors::meaning come from them, and
// docs/status-codes.md lists the same rows (tests/framework compares them).
#define ZEVO_ERRORS(X) ZEVO_ERRORS_OBJECT(X) ZEVO_ERRORS_PORTING(X) ZEVO_ERRORS_CORE(X)

#define ZEVO_ERROR_CONSTANT_(iName, iValue, iMeaning) constexpr int iName = iValue;
ZEVO_ERRORS(ZEVO_ERROR_CONSTANT_)
#undef ZEVO_ERROR_CONSTANT_

class ZEVO_EXPORT PErrors {
 public:
  // "ERR_ACCESS_DENIED", or nullptr for a code that is in no list: this
  // file's and the file-access service's (ZEVO_FILEACCESS_STATUSES).
  static const char* name(int iCode);
  // One line, such as "no such file or directory"; nullptr when unknown.
  static const char* meaning(int iCode);
  // Maps an errno value to a porting-layer code (PERR_FAILED when unlisted).
  static int fromErrno(int iErrno);
};
