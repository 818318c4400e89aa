// What both ends of the file-operations service (the companion of the
// file-access service) agree on: its module ID and topic, its action codes
// and what each means to a host (one table), its limits and the statuses it
// decides itself. Codes it passes on (the porting layer's, the payload
// reader's, ERR_ACCESS_DENIED) are in zevo/PErrors.h; the elements of each
// action are in docs/fileops.md.
#pragma once

#include <cstdint>

#include "zevo/protocol/PFileAccessProtocol.h"  // ZEVO_WIDE_TEXT

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

// Which handles a request names.
enum PFileOpsHandleUse : uint8_t {
  FILEOPS_USES_NONE = 0,
  FILEOPS_USES_FIRST = 1,  // request element 0 is an int32 handle
  FILEOPS_USES_LIST = 2,   // element 0 is an int32 count n, elements 1 to n int32 handles
};

// When a request ends the handles it names (they are unknown afterwards).
enum PFileOpsHandleEnd : uint8_t {
  FILEOPS_ENDS_NEVER = 0,
  FILEOPS_ENDS_ALWAYS = 1,      // whatever the status
  // FILEOPS_USES_FIRST: when the status is 0. FILEOPS_USES_LIST: the reply
  // is an int32 count n and n int32 statuses, one per handle in request
  // order; each handle whose status is 0 ends.
  FILEOPS_ENDS_ON_SUCCESS = 2,
};

// What a host needs to know of an action.
struct PFileOpsActionTraits {
  uint32_t fAction;
  const char* fName;         // as docs/fileops.md spells it
  bool fChanges;             // changes files: only for the write role
  bool fLargeReply;          // the reply may be large: wait for the memory budget
  int fOpensHandle;          // reply element holding a handle it opened when the status is 0; -1: none
  PFileOpsHandleUse fUses;   // handles of the request, to be the session's own
  PFileOpsHandleEnd fEnds;   // when those handles end
  uint32_t fRelease;         // for an action that opens a handle: the request that releases it when
                             // its session ends (element 0: the handle); 0 otherwise
};

// Every action, in code order.
inline constexpr PFileOpsActionTraits kFileOpsActions[] = {
    // action, name, changes, large reply, opens, uses, ends, release
    {kOpsSessionInfo, "SessionInfo", false, true, -1, FILEOPS_USES_NONE, FILEOPS_ENDS_NEVER, 0},
    {kOpsStat, "Stat", false, false, -1, FILEOPS_USES_NONE, FILEOPS_ENDS_NEVER, 0},
    {kOpsOpenListing, "OpenListing", false, false, 0, FILEOPS_USES_NONE, FILEOPS_ENDS_NEVER, kOpsReleaseHandle},
    {kOpsReadListing, "ReadListing", false, true, -1, FILEOPS_USES_FIRST, FILEOPS_ENDS_NEVER, 0},
    {kOpsOpenRead, "OpenRead", false, false, 0, FILEOPS_USES_NONE, FILEOPS_ENDS_NEVER, kOpsReleaseHandle},
    {kOpsReadAt, "ReadAt", false, true, -1, FILEOPS_USES_FIRST, FILEOPS_ENDS_NEVER, 0},
    {kOpsDataRanges, "DataRanges", false, true, -1, FILEOPS_USES_FIRST, FILEOPS_ENDS_NEVER, 0},
    {kOpsOpenChecksum, "OpenChecksum", false, false, 0, FILEOPS_USES_NONE, FILEOPS_ENDS_NEVER, kOpsReleaseHandle},
    {kOpsChecksumUpload, "ChecksumUpload", false, false, 0, FILEOPS_USES_FIRST, FILEOPS_ENDS_NEVER, kOpsReleaseHandle},
    {kOpsChecksumStep, "ChecksumStep", false, false, -1, FILEOPS_USES_FIRST, FILEOPS_ENDS_NEVER, 0},
    {kOpsBeginUpload, "BeginUpload", true, false, 0, FILEOPS_USES_NONE, FILEOPS_ENDS_NEVER, kOpsReleaseHandle},
    {kOpsResumeUpload, "ResumeUpload", true, false, 0, FILEOPS_USES_NONE, FILEOPS_ENDS_NEVER, kOpsReleaseHandle},
    {kOpsWriteAt, "WriteAt", true, false, -1, FILEOPS_USES_FIRST, FILEOPS_ENDS_NEVER, 0},
    {kOpsCommitUpload, "CommitUpload", true, false, -1, FILEOPS_USES_FIRST, FILEOPS_ENDS_ON_SUCCESS, 0},
    {kOpsCommitGroup, "CommitGroup", true, false, -1, FILEOPS_USES_LIST, FILEOPS_ENDS_ON_SUCCESS, 0},
    {kOpsCloseHandle, "CloseHandle", false, false, -1, FILEOPS_USES_FIRST, FILEOPS_ENDS_ALWAYS, 0},
    {kOpsReleaseHandle, "ReleaseHandle", false, false, -1, FILEOPS_USES_FIRST, FILEOPS_ENDS_ALWAYS, 0},
    {kOpsRename, "Rename", true, false, -1, FILEOPS_USES_NONE, FILEOPS_ENDS_NEVER, 0},
    {kOpsSetAttributes, "SetAttributes", true, false, -1, FILEOPS_USES_NONE, FILEOPS_ENDS_NEVER, 0},
    {kOpsRemoveTree, "RemoveTree", true, false, -1, FILEOPS_USES_NONE, FILEOPS_ENDS_NEVER, 0},
};

// The traits of an action, or null for a code that is no action.
inline constexpr const PFileOpsActionTraits* fileOpsAction(uint32_t iAction) {
  for (const PFileOpsActionTraits& traits : kFileOpsActions) {
    if (traits.fAction == iAction) return &traits;
  }
  return nullptr;
}

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
