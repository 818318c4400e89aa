// What both ends of the file-access service agree on: its module ID and
// topic, its action codes, transfer modes, chunk limit and the statuses it
// decides itself. Codes it passes on (the porting layer's, the payload
// reader's) are in zevo/PErrors.h; the payload of each action is in
// docs/protocol.md.
#pragma once

#include <cstdint>

#include "zevo/protocol/PActionTraits.h"

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

// What a host needs to know of each action (zevo/protocol/PActionTraits.h).
// A transfer ID the module does not know is answered -504 with the neutral
// elements, a CloseFileTransfer of one 0; a reader's change -511.
inline constexpr PActionTraits kFileAccessActions[] = {
    // action, name, request, changes, large reply, names a path, opens, uses, ends, release, no handle, neutral elements, audit
    {kStartFileTransfer, "StartFileTransfer", "si", ACTION_CHANGES_WHEN_MODE_WRITES, false, true, 0, ACTION_USES_NONE, ACTION_ENDS_NEVER,
     kCloseFileTransfer, 0, PNeutral::kInt32, AUDIT_OPERATION},
    {kGetNextFileData, "GetNextFileData", "ii", ACTION_CHANGES_NEVER, false, false, -1, ACTION_USES_FIRST, ACTION_ENDS_NEVER, 0, ERR_FAILED,
     PNeutral::kBytes, AUDIT_CHUNK},
    {kSetNextFileData, "SetNextFileData", "ib", ACTION_CHANGES_WHEN_HANDLE_WRITES, false, false, -1, ACTION_USES_FIRST, ACTION_ENDS_NEVER, 0,
     ERR_FAILED, PNeutral::kNone, AUDIT_CHUNK},
    {kCloseFileTransfer, "CloseFileTransfer", "i", ACTION_CHANGES_NEVER, false, false, -1, ACTION_USES_FIRST, ACTION_ENDS_ON_SUCCESS, 0, 0,
     PNeutral::kNone, AUDIT_OPERATION},
    {kGetFileSize, "GetFileSize", "s", ACTION_CHANGES_NEVER, false, true, -1, ACTION_USES_NONE, ACTION_ENDS_NEVER, 0, 0, PNeutral::kInt64, AUDIT_QUERY},
    {kIsExists, "IsExists", "s", ACTION_CHANGES_NEVER, false, true, -1, ACTION_USES_NONE, ACTION_ENDS_NEVER, 0, 0, PNeutral::kFalse, AUDIT_QUERY},
    {kIsFile, "IsFile", "s", ACTION_CHANGES_NEVER, false, true, -1, ACTION_USES_NONE, ACTION_ENDS_NEVER, 0, 0, PNeutral::kFalse, AUDIT_QUERY},
    {kListDir, "ListDir", "s", ACTION_CHANGES_NEVER, true, true, -1, ACTION_USES_NONE, ACTION_ENDS_NEVER, 0, 0, PNeutral::kList, AUDIT_QUERY},
    {kMakeDir, "MakeDir", "s", ACTION_CHANGES, false, true, -1, ACTION_USES_NONE, ACTION_ENDS_NEVER, 0, 0, PNeutral::kNone, AUDIT_OPERATION},
    {kDeleteFile, "DeleteFile", "s", ACTION_CHANGES, false, true, -1, ACTION_USES_NONE, ACTION_ENDS_NEVER, 0, 0, PNeutral::kNone, AUDIT_OPERATION},
    {kDeleteDir, "DeleteDir", "s", ACTION_CHANGES, false, true, -1, ACTION_USES_NONE, ACTION_ENDS_NEVER, 0, 0, PNeutral::kNone, AUDIT_OPERATION},
};

inline constexpr PModuleTraits kFileAccessTraits{ZEVO_FILEACCESS_MODULE, kFileAccessModuleW, kFileAccessActions,
                                                 sizeof kFileAccessActions / sizeof kFileAccessActions[0], ERR_ACCESS_DENIED};

// The action's name as the documents spell it ("StartFileTransfer"), or
// null for a code that is no action.
inline constexpr const char* fileAccessActionName(uint32_t iAction) {
  const PActionTraits* traits = kFileAccessTraits.find(iAction);
  return traits != nullptr ? traits->fName : nullptr;
}
