// What both ends of the file-operations service (the companion of the
// file-access service) agree on: its module ID and topic, its action codes
// and what each means to a host (one table), its limits and the statuses it
// decides itself. Codes it passes on (the porting layer's, the payload
// reader's, ERR_ACCESS_DENIED) are in zevo/PErrors.h; the elements of each
// action are in docs/fileops.md.
#pragma once

#include <cstdint>

#include "zevo/protocol/PActionTraits.h"
#include "zevo/protocol/PFileAccessProtocol.h"  // ZEVO_WIDE_TEXT, ERR_ACCESS_DENIED

#define ZEVO_FILEOPS_MODULE "com.quorbex.zevo.fileops"

// The module ID as sent in frames (UTF-8) and as the framework holds it.
inline constexpr const char* kFileOpsModule = ZEVO_FILEOPS_MODULE;
inline constexpr const wchar_t* kFileOpsModuleW = ZEVO_WIDE_TEXT(ZEVO_FILEOPS_MODULE);
// The event topic the service listens on.
inline constexpr const wchar_t* kFileOpsTopic = ZEVO_WIDE_TEXT(ZEVO_FILEOPS_MODULE) L".topic";

// The version SessionInfo reports; it grows when an action is added or changed.
constexpr int kFileOpsVersion = 1;

// Action codes (the word of a request).
enum PFileOpsAction : uint32_t {
  kOpsSessionInfo = 3001,
  kOpsStat = 3002,
  kOpsOpenListing = 3003,
  kOpsReadListing = 3004,
  kOpsOpenRead = 3005,
  kOpsReadAt = 3006,
  kOpsDataRanges = 3007,
  kOpsOpenChecksum = 3008,
  kOpsChecksumUpload = 3009,
  kOpsChecksumStep = 3010,
  kOpsBeginUpload = 3011,
  kOpsResumeUpload = 3012,
  kOpsWriteAt = 3013,
  kOpsCommitUpload = 3014,
  kOpsCommitGroup = 3015,
  kOpsCloseHandle = 3016,
  kOpsReleaseHandle = 3017,
  kOpsRename = 3018,
  kOpsSetAttributes = 3019,
  kOpsRemoveTree = 3020,
};

// What a host needs to know of each action (zevo/protocol/PActionTraits.h).
namespace PFileOpsNeutral {
using namespace std::string_view_literals;
inline constexpr std::string_view kStat = "\x03\0\0\0\0\x04\0\0\0\0\0\0\0\0\x03\0\0\0\0\x04\0\0\0\0\0\0\0\0\x86\0\0\0\0"sv;
inline constexpr std::string_view kOpenRead = "\x03\0\0\0\0\x04\0\0\0\0\0\0\0\0\x03\0\0\0\0\x04\0\0\0\0\0\0\0\0"sv;
inline constexpr std::string_view kMoreCount = "\x01\0\x03\0\0\0\0"sv;  // bool false, int32 0
inline constexpr std::string_view kHandleLength = "\x03\0\0\0\0\x04\0\0\0\0\0\0\0\0"sv;
inline constexpr std::string_view kStep = "\x01\0\x04\0\0\0\0\0\0\0\0\x85\0\0\0\0"sv;
inline constexpr std::string_view kBegin = "\x03\0\0\0\0\x86\0\0\0\0"sv;
inline constexpr std::string_view kResume = "\x03\0\0\0\0\x04\0\0\0\0\0\0\0\0\x86\0\0\0\0"sv;
}  // namespace PFileOpsNeutral

// Every action, in code order.
inline constexpr PActionTraits kFileOpsActions[] = {
    // action, name, request, changes, large reply, names a path, opens, uses, ends, release, no handle, neutral elements, audit
    {kOpsSessionInfo, "SessionInfo", "", ACTION_CHANGES_NEVER, true, false, -1, ACTION_USES_NONE, ACTION_ENDS_NEVER, 0, 0, PNeutral::kNone, AUDIT_QUERY},
    {kOpsStat, "Stat", "s", ACTION_CHANGES_NEVER, false, true, -1, ACTION_USES_NONE, ACTION_ENDS_NEVER, 0, 0, PFileOpsNeutral::kStat, AUDIT_QUERY},
    {kOpsOpenListing, "OpenListing", "s", ACTION_CHANGES_NEVER, false, true, 0, ACTION_USES_NONE, ACTION_ENDS_NEVER, kOpsReleaseHandle, 0, PNeutral::kInt32, AUDIT_QUERY},
    {kOpsReadListing, "ReadListing", "i", ACTION_CHANGES_NEVER, true, false, -1, ACTION_USES_FIRST, ACTION_ENDS_NEVER, 0, -7002, PFileOpsNeutral::kMoreCount, AUDIT_CHUNK},
    {kOpsOpenRead, "OpenRead", "s", ACTION_CHANGES_NEVER, false, true, 0, ACTION_USES_NONE, ACTION_ENDS_NEVER, kOpsReleaseHandle, 0, PFileOpsNeutral::kOpenRead, AUDIT_OPERATION},
    {kOpsReadAt, "ReadAt", "ili", ACTION_CHANGES_NEVER, true, false, -1, ACTION_USES_FIRST, ACTION_ENDS_NEVER, 0, -7002, PNeutral::kBytes, AUDIT_CHUNK},
    {kOpsDataRanges, "DataRanges", "il", ACTION_CHANGES_NEVER, true, false, -1, ACTION_USES_FIRST, ACTION_ENDS_NEVER, 0, -7002, PFileOpsNeutral::kMoreCount, AUDIT_CHUNK},
    {kOpsOpenChecksum, "OpenChecksum", "sll", ACTION_CHANGES_NEVER, false, true, 0, ACTION_USES_NONE, ACTION_ENDS_NEVER, kOpsReleaseHandle, 0, PFileOpsNeutral::kHandleLength, AUDIT_QUERY},
    {kOpsChecksumUpload, "ChecksumUpload", "ill", ACTION_CHANGES_NEVER, false, false, 0, ACTION_USES_FIRST, ACTION_ENDS_NEVER, kOpsReleaseHandle, -7002, PFileOpsNeutral::kHandleLength, AUDIT_QUERY},
    {kOpsChecksumStep, "ChecksumStep", "i", ACTION_CHANGES_NEVER, false, false, -1, ACTION_USES_FIRST, ACTION_ENDS_NEVER, 0, -7002, PFileOpsNeutral::kStep, AUDIT_CHUNK},
    {kOpsBeginUpload, "BeginUpload", "so", ACTION_CHANGES, false, true, 0, ACTION_USES_NONE, ACTION_ENDS_NEVER, kOpsReleaseHandle, 0, PFileOpsNeutral::kBegin, AUDIT_OPERATION},
    {kOpsResumeUpload, "ResumeUpload", "s", ACTION_CHANGES, false, false, 0, ACTION_USES_NONE, ACTION_ENDS_NEVER, kOpsReleaseHandle, 0, PFileOpsNeutral::kResume, AUDIT_OPERATION},
    {kOpsWriteAt, "WriteAt", "ilb", ACTION_CHANGES, false, false, -1, ACTION_USES_FIRST, ACTION_ENDS_NEVER, 0, -7002, PNeutral::kNone, AUDIT_CHUNK},
    {kOpsCommitUpload, "CommitUpload", "ilil", ACTION_CHANGES, false, false, -1, ACTION_USES_FIRST, ACTION_ENDS_ON_SUCCESS, 0, -7002, PNeutral::kNone, AUDIT_OPERATION},
    {kOpsCommitGroup, "CommitGroup", "h*", ACTION_CHANGES, false, false, -1, ACTION_USES_LIST, ACTION_ENDS_ON_SUCCESS, 0, -7002, PNeutral::kInt32, AUDIT_OPERATION},
    {kOpsCloseHandle, "CloseHandle", "i", ACTION_CHANGES_NEVER, false, false, -1, ACTION_USES_FIRST, ACTION_ENDS_ALWAYS, 0, -7002, PNeutral::kNone, AUDIT_OPERATION},
    {kOpsReleaseHandle, "ReleaseHandle", "i", ACTION_CHANGES_NEVER, false, false, -1, ACTION_USES_FIRST, ACTION_ENDS_ALWAYS, 0, -7002, PNeutral::kNone, AUDIT_OPERATION},
    {kOpsRename, "Rename", "sso", ACTION_CHANGES, false, true, -1, ACTION_USES_NONE, ACTION_ENDS_NEVER, 0, 0, PNeutral::kNone, AUDIT_OPERATION},
    {kOpsSetAttributes, "SetAttributes", "sil", ACTION_CHANGES, false, true, -1, ACTION_USES_NONE, ACTION_ENDS_NEVER, 0, 0, PNeutral::kNone, AUDIT_OPERATION},
    {kOpsRemoveTree, "RemoveTree", "si", ACTION_CHANGES, false, true, -1, ACTION_USES_NONE, ACTION_ENDS_NEVER, 0, 0, PFileOpsNeutral::kMoreCount, AUDIT_OPERATION},
};

inline constexpr PModuleTraits kFileOpsTraits{ZEVO_FILEOPS_MODULE, kFileOpsModuleW, kFileOpsActions,
                                              sizeof kFileOpsActions / sizeof kFileOpsActions[0], ERR_ACCESS_DENIED};

// The traits of an action, or null for a code that is no action.
inline constexpr const PActionTraits* fileOpsAction(uint32_t iAction) { return kFileOpsTraits.find(iAction); }

// Limits.
// The frame limit assumed where the host does not tell its own.
constexpr unsigned int kFileOpsDefaultFrameMax = 1048576;
// Room for a frame's header, the module ID and the elements around a data
// block: the largest block of a ReadAt or WriteAt is the frame limit less
// this, and no reply's payload exceeds it.
constexpr unsigned int kFileOpsFrameOverhead = 64;
// Bytes one ChecksumStep hashes at most.
constexpr unsigned int kFileOpsChecksumStep = 4u << 20;
// Uploads one CommitGroup commits at most.
constexpr int kFileOpsMaxGroup = 1024;
// Entries one RemoveTree removes at most.
constexpr int kFileOpsMaxRemove = 4096;
// Ranges one DataRanges reply holds at most.
constexpr int kFileOpsMaxRanges = 4096;

// Statuses the service decides itself: name, value, meaning (the same lines
// as docs/status-codes.md; PErrors::name and meaning come from this list).
#define ZEVO_FILEOPS_STATUSES(X) \
  X(FOPS_ERR_ARGUMENT, -7001, "a value of the request is out of range") \
  X(FOPS_ERR_NO_HANDLE, -7002, "no open handle has that number") \
  X(FOPS_ERR_HANDLE_KIND, -7003, "the handle is not of the kind the action works on") \
  X(FOPS_ERR_TARGET_BUSY, -7004, "another upload to the same target is open or kept for resuming") \
  X(FOPS_ERR_CROSS_FS, -7005, "source and destination lie on different file systems") \
  X(FOPS_ERR_NO_UPLOAD, -7006, "no upload is kept for resuming under that token") \
  X(FOPS_ERR_SHRUNK, -7007, "the file became shorter than the range being hashed")

#define ZEVO_FILEOPS_STATUS_CONSTANT_(iName, iValue, iMeaning) constexpr int iName = iValue;
ZEVO_FILEOPS_STATUSES(ZEVO_FILEOPS_STATUS_CONSTANT_)
#undef ZEVO_FILEOPS_STATUS_CONSTANT_
