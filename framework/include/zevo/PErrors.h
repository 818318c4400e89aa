// Result codes of the framework and its services. 0 is success; every failure
// is a negative code. Each code has a name and a one-line meaning
// (PErrors::name, PErrors::meaning), the same text as docs/status-codes.md.
#pragma once

#include "zevo/PExport.h"
#include "zevo/protocol/PFileAccessProtocol.h"  // the statuses the file-access service decides itself
#include "zevo/protocol/PFileOpsProtocol.h"     // those of the file-operations service

// Codes of the plug-in object and of the payload reader.
constexpr int ERR_OK = 0;
constexpr int ERR_NO_MEMORY = -501;         // an object could not be created
constexpr int ERR_NO_INSTANCE = -2001;      // no component or instance under that ID
constexpr int ERR_DATA_SHORT = -9001;       // the payload ends before the element
constexpr int ERR_DATA_TYPE = -9002;        // the element's tag is not the expected one
constexpr int ERR_DATA_ENCODING = -9003;    // a string element is not valid UTF-8 or holds a NUL

// Codes of the porting layer (errno and the layer's own checks).
constexpr int PERR_FAILED = -600;           // failure without a more precise code
constexpr int PERR_NOT_FOUND = -601;        // no such file or directory
constexpr int PERR_ACCESS = -602;           // the system denied permission
constexpr int PERR_EXISTS = -603;           // the path already exists
constexpr int PERR_NOT_DIR = -604;          // a path component is not a directory
constexpr int PERR_IS_DIR = -605;           // the path is a directory
constexpr int PERR_NOT_EMPTY = -606;        // the directory is not empty
constexpr int PERR_NO_SPACE = -607;         // no space left on the device or quota exceeded
constexpr int PERR_READ_ONLY = -608;        // the file system is read-only
constexpr int PERR_BUSY = -609;             // the file or directory is in use
constexpr int PERR_TOO_MANY_FILES = -610;   // too many open files
constexpr int PERR_NAME_TOO_LONG = -611;    // a path or name is too long
constexpr int PERR_IO = -612;               // input/output error of the device
constexpr int PERR_NOT_OPEN = -613;         // the file or directory object is not open
constexpr int PERR_FILE_EOF = -614;         // end of file: no byte was left to read
constexpr int PERR_ALREADY_OPEN = -615;     // the object is already open
constexpr int PERR_INVALID_PATH = -616;     // refused path: "..", NUL, empty, or not convertible text
constexpr int PERR_NOT_FILE = -617;         // not a regular file (device, pipe, socket)
constexpr int PERR_LOOP = -618;             // too many symbolic links
constexpr int PERR_SYMLINK = -619;          // the path passes through a symbolic link that the host refuses
constexpr int PERR_INVALID_ARG = -620;      // an invalid argument or mode
constexpr int PERR_TOO_LARGE = -621;        // the file or value is too large
constexpr int PERR_NO_MEMORY = -622;        // the system is out of memory
constexpr int PERR_CROSS_DEVICE = -623;     // the path crosses a mount point that the host refuses, or the operation would cross file systems
constexpr int PERR_INTERRUPTED = -624;      // interrupted before anything was done
constexpr int PERR_MUTEX = -625;            // a mutex operation failed (not initialised, closed, not owner)
constexpr int PERR_HARDLINK = -626;         // the file has more than one hard link, which the host refuses

// Codes of the framework's core services.
constexpr int ERR_PLUGIN_OPEN = -2002;      // the plug-in library cannot be loaded
constexpr int ERR_PLUGIN_ENTRY = -2003;     // the library has no plug-in entry function
constexpr int ERR_INVALID_ARG = -2004;      // an argument is null, empty or out of range
constexpr int ERR_ALREADY = -2005;          // already registered, bound or loaded
constexpr int ERR_NOT_RUNNING = -2006;      // the service has been shut down
constexpr int ERR_CONFIG_NO_SET = -3001;    // no configuration set with that ID
constexpr int ERR_CONFIG_NO_KEY = -3002;    // the set has no such key
constexpr int ERR_CONFIG_SYNTAX = -3003;    // the configuration file is malformed
constexpr int ERR_CONFIG_VALUE = -3004;     // the value is not of the requested kind
constexpr int ERR_CONFIG_READ = -3005;      // the configuration file cannot be read
constexpr int ERR_COMMS_NO_MODULE = -4001;  // no module is bound under that ID
constexpr int ERR_COMMS_NO_EXCHANGE = -4002;  // no request is waiting for that response ID
constexpr int ERR_COMMS_FRAME_SIZE = -4003; // the frame exceeds the size limit
constexpr int ERR_COMMS_FRAME = -4004;      // the frame is malformed or truncated
constexpr int ERR_COMMS_CLOSED = -4005;     // the connection has been closed
constexpr int ERR_COMMS_BUSY = -4006;       // the host cannot take more (connections, descriptors)
constexpr int ERR_COMMS_TIMEOUT = -4007;    // no answer in time
constexpr int ERR_COMMS_REFUSED = -4008;    // the host grants the peer's identity no role

class ZEVO_EXPORT PErrors {
 public:
  // "ERR_ACCESS_DENIED", or nullptr for a code that is not in the table.
  static const char* name(int iCode);
  // One line, such as "permission denied by policy"; nullptr when unknown.
  static const char* meaning(int iCode);
  // Maps an errno value to a porting-layer code (PERR_FAILED when unlisted).
  static int fromErrno(int iErrno);
};
