// What the client library's calls of the file-operations module take and
// give (zevo/client/PClient.h): attributes of remote paths, what a session
// may do, digests, and the options and jobs of transfers. Plain values.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "zevo/PExport.h"

// What a remote path names.
enum class PRemoteKind : int { kNone = 0, kFile = 1, kDir = 2, kLink = 3, kOther = 4 };

struct PRemoteStat {
  PRemoteKind fKind = PRemoteKind::kNone;
  long long fSize = -1;    // bytes (a link: its target's length); -1 unknown
  int fMode = -1;          // permission bits (0644); -1 unknown (a host without the module)
  long long fTimeNs = -1;  // modification time, ns since 1970 UTC; -1 unknown
  std::string fLinkTarget;
};

// An entry of a directory listing.
struct PRemoteEntry {
  std::string fName;
  PRemoteStat fStat;
};

// An entry of a tree below a root: its path relative to the root, with "/"
// between components; directories come before what they hold.
struct PTreeEntry {
  std::string fPath;
  PRemoteStat fStat;
};

// Roles a host gives a session (SessionInfo).
constexpr int kRoleUnknown = 0;
constexpr int kRoleRead = 1;
constexpr int kRoleWrite = 2;

// What the host's file-operations module tells a session about itself.
struct PSessionInfo {
  int fVersion = 0;
  int fFrameMax = 0;            // the host's frame limit
  int fChunk = 0;               // the largest block of one ranged read or write
  std::string fIdentity;        // uid:N, tcp:ADDRESS, cert:NAME
  int fRole = kRoleUnknown;
  std::vector<std::string> fRead, fWrite;            // directories granted (each ends in "/")
  std::vector<std::string> fReadTree, fWriteTree;    // trees granted; the write lists only for the write role
  int fKeepSeconds = 0;         // how long a cut resumable upload is kept
};

// A SHA-256 digest, and its 64 lower-case hex digits.
using PDigest = std::array<unsigned char, 32>;
ZEVO_EXPORT std::string digestHex(const PDigest& iDigest);

// Attributes a transfer's destination gets.
constexpr int kModeDefault = -1;       // a new file: the source's permission bits less the umask; an existing one keeps its own
constexpr int kModeSource = -2;        // the source's permission bits exactly
constexpr long long kTimeNow = -1;     // the time of the transfer
constexpr long long kTimeSource = -2;  // the source's modification time

struct PTransferOptions {
  int fMode = kModeDefault;   // or permission bits 0 to 0777
  long long fTimeNs = kTimeNow;  // or a time in ns since 1970 UTC
  // After the transfer, the SHA-256 of the remote file is asked and
  // compared with that of the bytes moved (ERR_CLIENT_CHECKSUM).
  bool fVerify = false;
  // Downloads to a file: a cut download keeps its bytes under
  // partialName(target); fContinue goes on from them when their SHA-256
  // matches the remote file's first bytes (from the start otherwise).
  bool fKeepPartial = false;
  // Uploads: the host keeps a cut upload for resuming (PSessionInfo's
  // fKeepSeconds); its token goes to fOnToken before any data is sent.
  bool fResumable = false;
  std::function<void(const std::string& iToken)> fOnToken;
  // Uploads: a kept upload to go on with (after the SHA-256 of what it holds
  // is compared with the source's first bytes); downloads: go on from the
  // partial file.
  bool fContinue = false;
  std::string fToken;
};

// What a transfer did.
struct PTransferResult {
  long long fBytes = 0;   // bytes moved over the connection
  long long fSize = 0;    // the file's size
  long long fStart = 0;   // where it went on (fContinue), 0 otherwise
  bool fVerified = false;
  PDigest fDigest{};      // of the whole file, when verified
};

// One file of a batch: a local and a remote path, and the attributes the
// destination gets (PTransferOptions' fMode and fTimeNs).
struct PFileJob {
  std::string fLocal;
  std::string fRemote;
  int fMode = kModeDefault;
  long long fTimeNs = kTimeNow;
  long long fSize = -1;  // the source's size when known (progress)
};

// The permission bits (0 to 0777, -1 kept) and modification time (-1
// kept) one path gets.
struct PAttributes {
  std::string fPath;
  int fMode = -1;
  long long fTimeNs = -1;
};

struct PClientError;

struct PBatchControl {
  // As each job ends: its index and error (fCode 0: done), and what moved.
  std::function<void(size_t iJob, const PClientError& iError, const PTransferResult& iResult)> fDone;
  // Bytes moved and the total of the sizes known.
  std::function<void(long long iDone, long long iTotal)> fProgress;
  // Asked between requests; false cancels the batch (ERR_CLIENT_CANCELLED).
  std::function<bool()> fContinue;
  bool fVerify = false;
};
