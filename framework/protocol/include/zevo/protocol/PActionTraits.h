// What a host needs to know of a module's actions, without knowing the
// module: one table per module, beside its codes (PFileAccessProtocol.h,
// PFileOpsProtocol.h). The host's watchers read it: which actions change
// files (refused to the read role), which replies may be large (they wait
// for the memory budget), which open, use and end handles (kept to the
// session that opened them, released when it ends), and how the module
// answers a request it refuses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// When an action changes files.
enum PActionChange : uint8_t {
  ACTION_CHANGES_NEVER = 0,
  ACTION_CHANGES = 1,
  // The request's second element, an int32 mode, lacks the read bit (1): it
  // opens its file for writing.
  ACTION_CHANGES_WHEN_MODE_WRITES = 2,
  // The handle it names was opened by an action that changes files.
  ACTION_CHANGES_WHEN_HANDLE_WRITES = 3,
};

// Which handles a request names.
enum PActionHandleUse : uint8_t {
  ACTION_USES_NONE = 0,
  ACTION_USES_FIRST = 1,  // request element 0 is an int32 handle
  ACTION_USES_LIST = 2,   // element 0 is an int32 count n, elements 1 to n int32 handles
};

// When a request ends the handles it names (they are unknown afterwards).
enum PActionHandleEnd : uint8_t {
  ACTION_ENDS_NEVER = 0,
  ACTION_ENDS_ALWAYS = 1,  // whatever the status
  // ACTION_USES_FIRST: when the status is 0. ACTION_USES_LIST: the reply is
  // an int32 count n and n int32 statuses, one per handle in request order;
  // each handle whose status is 0 ends.
  ACTION_ENDS_ON_SUCCESS = 2,
};

// A handle is a nonzero int32: 0 names no handle of any module, so a host
// may hand a module 0 for a handle the session does not hold, and the
// module answers as for any handle it does not know.
// What the audit writes of an action (the host's audit log, docs/logging.md).
enum PActionAudit : uint8_t {
  AUDIT_QUERY = 0,      // a debug line with its answer; a handle it opens is a query's too
  AUDIT_CHUNK = 1,      // a step of a handle's transfer: counted into it, a line only when it fails
  AUDIT_OPERATION = 2,  // an information line when it succeeds: a change, a transfer opened or ended
};

struct PActionTraits {
  uint32_t fAction;
  const char* fName;         // as the module's documents spell it
  // The request's elements in order, a letter each: s string, i int32,
  // l int64, b bytes, o bool, h an int32 count n then n int32 handles, *
  // anything (the rest is not looked at). A request that does not read so
  // is the module's to refuse.
  const char* fRequest;
  PActionChange fChanges;    // needs the write role
  bool fLargeReply;          // the reply may be large: wait for the memory budget
  bool fNamesPath;           // request element 0 is a path (string)
  int fOpensHandle;          // reply element (an int32) holding a handle it opened when the status is 0; -1: none
  PActionHandleUse fUses;    // handles of the request, to be the session's own
  PActionHandleEnd fEnds;    // when those handles end
  uint32_t fRelease;         // for an action that opens a handle: the request (element 0: the handle)
                             // that releases it when its session ends; 0 otherwise
  int fNoHandle;             // the status the module answers for a handle it does not know
  std::string_view fNeutral; // the reply's elements when the action fails, encoded
  PActionAudit fAudit;       // what the audit writes of it
};

struct PModuleTraits {
  const char* fModule;        // the module ID, UTF-8
  const wchar_t* fModuleW;    // the same, wide
  const PActionTraits* fActions;
  size_t fCount;
  int fDenied;                // the status of a request its policy refuses (a reader's change is answered so)

  // The traits of iAction, or null for a code that is no action of the module.
  constexpr const PActionTraits* find(uint32_t iAction) const {
    for (size_t i = 0; i < fCount; ++i) {
      if (fActions[i].fAction == iAction) return &fActions[i];
    }
    return nullptr;
  }
};

// Neutral reply elements, encoded (docs/protocol.md).
namespace PNeutral {
inline constexpr std::string_view kNone = "";
inline constexpr std::string_view kInt32 = std::string_view("\x03\0\0\0\0", 5);
inline constexpr std::string_view kInt64 = std::string_view("\x04\0\0\0\0\0\0\0\0", 9);
inline constexpr std::string_view kFalse = std::string_view("\x01\0", 2);
inline constexpr std::string_view kBytes = std::string_view("\x85\0\0\0\0", 5);
inline constexpr std::string_view kString = std::string_view("\x86\0\0\0\0", 5);
inline constexpr std::string_view kList = std::string_view("\x87\0\0\0\0", 5);
}  // namespace PNeutral
