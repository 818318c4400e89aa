// What both ends of the file-access service agree on: its module ID and
// topic, its action codes, transfer modes, chunk limit and the statuses it
// decides itself. Codes it passes on (the porting layer's, the payload
// reader's) are in zevo/PErrors.h; the payload of each action is in
// docs/protocol.md.
#pragma once

#include <cstdint>

#define ZEVO_FILEACCESS_MODULE "com.quorbex.zevo.fileaccess"
#define ZEVO_WIDE_TEXT_(iText) L##iText
#define ZEVO_WIDE_TEXT(iText) ZEVO_WIDE_TEXT_(iText)

// The module ID as sent in frames (UTF-8) and as the framework holds it.
inline constexpr const char* kFileAccessModule = ZEVO_FILEACCESS_MODULE;
inline constexpr const wchar_t* kFileAccessModuleW = ZEVO_WIDE_TEXT(ZEVO_FILEACCESS_MODULE);
// The event topic the service listens on.
inline constexpr const wchar_t* kFileAccessTopic = ZEVO_WIDE_TEXT(ZEVO_FILEACCESS_MODULE) L".topic";

// Action codes (the word of a request).
enum PFileAccessAction : uint32_t {
  kStartFileTransfer = 1001,
  kGetNextFileData = 1002,
  kSetNextFileData = 1003,
  kCloseFileTransfer = 1004,
  kGetFileSize = 2001,
  kIsExists = 2002,
  kIsFile = 2003,
  kListDir = 2004,
  kMakeDir = 2005,
  kDeleteFile = 2006,
  kDeleteDir = 2007,
};

// The action's name as the documents spell it ("StartFileTransfer"), or
// null for a code that is no action.
inline constexpr const char* fileAccessActionName(uint32_t iAction) {
  switch (iAction) {
    case kStartFileTransfer: return "StartFileTransfer";
    case kGetNextFileData: return "GetNextFileData";
    case kSetNextFileData: return "SetNextFileData";
    case kCloseFileTransfer: return "CloseFileTransfer";
    case kGetFileSize: return "GetFileSize";
    case kIsExists: return "IsExists";
    case kIsFile: return "IsFile";
    case kListDir: return "ListDir";
    case kMakeDir: return "MakeDir";
    case kDeleteFile: return "DeleteFile";
    case kDeleteDir: return "DeleteDir";
  }
  return nullptr;
}

// Access bits of the policy; a StartFileTransfer mode is made of the same bits.
constexpr unsigned int ACCESS_READ = 1;
constexpr unsigned int ACCESS_WRITE = 2;

// The largest chunk a GetNextFileData request may ask for.
constexpr unsigned int kMaxChunkSize = 8192;

// Statuses the service decides itself, as X(name, value, meaning) rows: the
// constants below come from them, and so do their names and meanings in
// PErrors (zevo/PErrors.h) and docs/status-codes.md's rows.
#define ZEVO_FILEACCESS_STATUSES(X) \
  X(ERR_FAILED, -504, "the operation failed") \
  X(ERR_NOT_FILE_OR_DIR, -508, "exists, but neither directory nor regular file") \
  X(ERR_END_OF_FILE, -510, "nothing more can be read from the transfer") \
  X(ERR_ACCESS_DENIED, -511, "refused by the access policy or the transfer's mode") \
  X(ERR_PACKET_SIZE, -8192, "requested chunk size outside 1 to 8192")

#define ZEVO_FILEACCESS_STATUS_CONSTANT_(iName, iValue, iMeaning) constexpr int iName = iValue;
ZEVO_FILEACCESS_STATUSES(ZEVO_FILEACCESS_STATUS_CONSTANT_)
#undef ZEVO_FILEACCESS_STATUS_CONSTANT_
