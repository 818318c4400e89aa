// PClient's calls of the file-operations module that are one exchange or a
// few: the probe, session info, stat, listings, directories, rename,
// attributes, tree removal; and what they fall back to on a host without
// the module.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <fstream>

#include "PClientImpl.h"
#include "PWire.h"
#include "zevo/PUtils.h"
#include "zevo/protocol/PFileOpsProtocol.h"

namespace {

// A name from the host as a message may show it.
std::string shownName(const std::string& iName) { return PUtils::toDisplay(PUtils::wide(iName)); }

const std::string kOpsModule = kFileOpsModule;
const std::string kAccessModule = kFileAccessModule;

std::string joinPath(const std::string& iDir, const std::string& iName) {
  return !iDir.empty() && iDir.back() == '/' ? iDir + iName : iDir + "/" + iName;
}

bool readStat(PViewReader& ioReader, PRemoteStat& oStat, bool iLink) {
  int kind = 0;
  bool read = ioReader.i32(kind) && ioReader.i64(oStat.fSize) && ioReader.i32(oStat.fMode) && ioReader.i64(oStat.fTimeNs);
  if (read && iLink) read = ioReader.str(oStat.fLinkTarget);
  oStat.fKind = kind >= 1 && kind <= 4 ? static_cast<PRemoteKind>(kind) : PRemoteKind::kOther;
  return read;
}

}  // namespace

int runPipeline(PFramePump& ioPump, PPipelineJob& ioJob, int iTimeoutMs, PClientError& oError) {
  for (;;) {
    // As for whole transfers: free slots are filled once the replies that
    // have arrived are taken, and sent together.
    if (ioPump.pending() == 0 || !ioPump.replyBuffered()) {
      int result = ioJob.fill();
      if (result == 0 && ioPump.queued() > 0) result = ioPump.flush(iTimeoutMs, oError);
      if (result != 0) {
        if (ioPump.pending() > 0 || ioPump.queued() > 0) ioPump.close();
        return result;
      }
    }
    if (ioPump.pending() == 0) return 0;
    PReplyView reply;
    int result = ioPump.receiveView(reply, iTimeoutMs, oError);
    if (result == 0) result = ioJob.onReply(reply);
    if (result != 0) {
      // Requests left unanswered would answer the next call's: the
      // connection goes (the host closes what they opened).
      if (ioPump.pending() > 0 || ioPump.queued() > 0) ioPump.close();
      return result;
    }
  }
}

unsigned int processUmask() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    unsigned int mask = 0;
    if (std::sscanf(line.c_str(), "Umask: %o", &mask) == 1) return mask & 0777;
  }
  return 022;
}

int PClient::PImpl::chunk() const {
  int chunk = fInfo.fChunk > 0 ? fInfo.fChunk : static_cast<int>(kFileOpsDefaultFrameMax - kFileOpsFrameOverhead);
  if (fOptions.fRangeChunk > 0) chunk = std::min(chunk, fOptions.fRangeChunk);
  return chunk;
}

size_t PClient::PImpl::byteWindow() const {
  return std::clamp<size_t>(8 * static_cast<size_t>(chunk()), 256 * 1024, 16u << 20);
}

// ------------------------------------------------------------ the probe

bool PClient::PImpl::hasOps() {
  if (fOps == Ops::kUnknown && fPump.isOpen()) {
    const PClientError kept = fError;
    if (probeOps() == 0) fError = kept;
  }
  return fOps == Ops::kPresent && fPump.isOpen();
}

int PClient::PImpl::probeOps() {
  if (fNoOps == fPump.endpoint()) {
    fOps = Ops::kAbsent;
    return 0;
  }
  fPump.queue(kOpsModule, kOpsSessionInfo, {});
  PReply reply;
  int result = fPump.flush(fOptions.fReplyTimeoutMs, fError);
  if (result == 0) result = fPump.receive(reply, fOptions.fReplyTimeoutMs, fError);
  if (result == ERR_COMMS_NO_MODULE && fError.fOrigin == PErrorOrigin::kHost) {
    // The host ends a connection that names a module it lacks: a new one,
    // which will not ask again.
    const std::string endpoint = fError.fWhat;
    fNoOps = endpoint;
    result = connect(endpoint);
    fOps = Ops::kAbsent;
    return result;
  }
  if (result != 0) return result;
  PViewReader reader(reply.fPayload.data(), reply.fPayload.size());
  PSessionInfo& info = fInfo;
  const bool read = reader.i32(info.fVersion) && reader.i32(info.fFrameMax) && reader.i32(info.fChunk) &&
                    reader.str(info.fIdentity) && reader.i32(info.fRole) && reader.strs(info.fRead) && reader.strs(info.fWrite) &&
                    reader.strs(info.fReadTree) && reader.strs(info.fWriteTree) && reader.i32(info.fKeepSeconds);
  // Bound but not listening (shutting down), or not what this client knows.
  if (reply.fStatus != 0 || !read || info.fVersion < kFileOpsVersion || info.fChunk < 1) {
    fOps = Ops::kAbsent;
    return 0;
  }
  fOps = Ops::kPresent;
  return 0;
}

int PClient::PImpl::requireOps(const std::string& iWhat) {
  if (hasOps()) return 0;
  if (!fPump.isOpen()) return fError.fCode != 0 ? fError.fCode : setError(fError, ERR_COMMS_CLOSED, PErrorOrigin::kConnection, "not connected", "");
  return setError(fError, ERR_CLIENT_NO_FILEOPS, PErrorOrigin::kRemote,
                  "the host has no file-operations module, which " + iWhat + " needs", fPump.endpoint());
}

int PClient::PImpl::plainTransfer(const PTransferOptions& iOptions, PTransferResult* oResult,
                                  const std::function<int(long long*)>& iPlain) {
  if (!fPump.isOpen()) return fError.fCode;
  if (iOptions.fVerify || iOptions.fContinue || iOptions.fMode != kModeDefault || iOptions.fTimeNs != kTimeNow) {
    return requireOps("keeping modes and times, verifying and resuming");
  }
  long long bytes = 0;
  const int result = iPlain(&bytes);
  if (oResult != nullptr) oResult->fBytes = oResult->fSize = bytes;
  return result;
}

int PClient::PImpl::sessionInfo(PSessionInfo& oInfo) {
  fError = PClientError();
  const int result = requireOps("session info");
  if (result == 0) oInfo = fInfo;
  return result;
}

// ----------------------------------------------------------- queries

int PClient::PImpl::stat(const std::string& iPath, PRemoteStat& oStat) {
  fError = PClientError();
  std::vector<unsigned char> payload;
  int result = pathPayload(iPath, payload);
  if (result != 0) return result;
  PRemoteStat stat;
  if (!hasOps()) {
    if (!fPump.isOpen()) return fError.fCode;
    bool file = false;
    result = flag(kIsFile, iPath, file);
    if (result == ERR_FAILED) return setError(fError, PERR_NOT_FOUND, PErrorOrigin::kRemote, "", iPath);
    stat.fKind = result == ERR_NOT_FILE_OR_DIR ? PRemoteKind::kOther : file ? PRemoteKind::kFile : PRemoteKind::kDir;
    if (result == ERR_NOT_FILE_OR_DIR) result = 0;
    if (result == 0 && file) result = size(iPath, stat.fSize);
    if (result == 0) oStat = stat;
    return result;
  }
  PReply reply;
  result = opsCall(kOpsStat, payload, iPath, reply);
  if (result != 0) return result;
  PViewReader reader(reply.fPayload.data(), reply.fPayload.size());
  if (!readStat(reader, stat, true)) return malformed(kOpsStat, reader.code());
  oStat = stat;
  return 0;
}

namespace {

// Listings of a directory, and with iRecursive of every directory below it,
// up to the client's handle count open at once.
class PListJob final : public PPipelineJob {
 public:
  PListJob(PClient::PImpl& ioClient, const std::string& iRoot, bool iRecursive, std::vector<PTreeEntry>& oEntries)
      : fClient(ioClient), fRoot(iRoot), fRecursive(iRecursive), fEntries(oEntries) {
    fWaiting.push_back("");
  }

  int fill() override {
    auto& pump = fClient.fPump;
    for (Dir& dir : fOpen) {
      if (fError.fCode != 0) dir.fDone = true;
      if (dir.fHandle == 0 || dir.fAsked) continue;
      std::vector<unsigned char> payload;
      PWriter(payload).i32(dir.fHandle);
      pump.queue(kOpsModule, dir.fDone ? kOpsCloseHandle : kOpsReadListing, payload, dir.fId);
      dir.fAsked = true;
    }
    while (fError.fCode == 0 && !fWaiting.empty() && fOpen.size() < static_cast<size_t>(fClient.fOptions.fHandles)) {
      std::vector<unsigned char> payload;
      fOpen.push_back({fNextId++, fWaiting.front()});
      fWaiting.pop_front();
      PWriter(payload).str(path(fOpen.back().fPath));
      pump.queue(kOpsModule, kOpsOpenListing, payload, fOpen.back().fId);
    }
    return 0;
  }

  int onReply(const PReplyView& iReply) override {
    const auto dir = std::find_if(fOpen.begin(), fOpen.end(), [&](const Dir& iDir) { return iDir.fId == iReply.fTag; });
    if (dir == fOpen.end()) return fClient.malformed(iReply.fAction, ERR_DATA_TYPE);
    PViewReader reader(iReply.fPayload, iReply.fPayloadLength);
    dir->fAsked = false;
    if (iReply.fAction == kOpsCloseHandle) {
      fOpen.erase(dir);
      return 0;
    }
    if (iReply.fStatus != 0) {
      if (fError.fCode == 0) fClient.remoteError(iReply.fStatus, iReply.fAction, path(dir->fPath), &fError);
      if (dir->fHandle == 0) {
        fOpen.erase(dir);
      } else {
        dir->fDone = true;
      }
      return 0;
    }
    if (iReply.fAction == kOpsOpenListing) {
      return reader.i32(dir->fHandle) && dir->fHandle != 0 ? 0 : fClient.malformed(iReply.fAction, ERR_DATA_TYPE);
    }
    bool more = false;
    int count = 0;
    if (!reader.flag(more) || !reader.i32(count)) return fClient.malformed(iReply.fAction, reader.code());
    for (int i = 0; i < count; ++i) {
      PTreeEntry entry;
      std::string name;
      if (!reader.str(name) || !readStat(reader, entry.fStat, false)) return fClient.malformed(iReply.fAction, reader.code());
      if (!entryName(name)) return fClient.malformed(iReply.fAction, ERR_DATA_TYPE, "an entry that is not a name: " + shownName(name));
      entry.fPath = dir->fPath.empty() ? name : dir->fPath + "/" + name;
      if (fRecursive && entry.fStat.fKind == PRemoteKind::kDir) fWaiting.push_back(entry.fPath);
      fEntries.push_back(std::move(entry));
    }
    dir->fDone = !more || fError.fCode != 0;
    return 0;
  }

  PClientError fError;

 private:
  struct Dir {
    uint64_t fId;
    std::string fPath;  // relative to the root
    int fHandle = 0;
    bool fAsked = false;  // a request for it is in flight
    bool fDone = false;   // read to its end: closed next
  };
  std::string path(const std::string& iRelative) const { return iRelative.empty() ? fRoot : joinPath(fRoot, iRelative); }

  PClient::PImpl& fClient;
  const std::string fRoot;
  const bool fRecursive;
  std::vector<PTreeEntry>& fEntries;
  std::deque<std::string> fWaiting;
  std::vector<Dir> fOpen;
  uint64_t fNextId = 1;
};

int listLevels(PClient::PImpl& ioClient, const std::string& iRoot, bool iRecursive, std::vector<PTreeEntry>& oEntries) {
  std::vector<PTreeEntry> entries;
  PListJob job(ioClient, iRoot, iRecursive, entries);
  const int result = runPipeline(ioClient.fPump, job, ioClient.fOptions.fReplyTimeoutMs, ioClient.fError);
  if (result != 0) return result;
  if (job.fError.fCode != 0) {
    ioClient.fError = job.fError;
    return job.fError.fCode;
  }
  oEntries.swap(entries);
  return 0;
}

}  // namespace

int PClient::PImpl::listEntries(const std::string& iPath, std::vector<PRemoteEntry>& oEntries) {
  fError = PClientError();
  std::vector<unsigned char> payload;
  int result = pathPayload(iPath, payload);
  if (result != 0) return result;
  if (!hasOps()) return fPump.isOpen() ? listFallback(iPath, oEntries) : fError.fCode;
  std::vector<PTreeEntry> found;
  result = listLevels(*this, iPath, false, found);
  if (result != 0) return result;
  std::vector<PRemoteEntry> entries;
  entries.reserve(found.size());
  for (PTreeEntry& entry : found) entries.push_back({std::move(entry.fPath), std::move(entry.fStat)});
  oEntries.swap(entries);
  return 0;
}

int PClient::PImpl::listTree(const std::string& iRoot, std::vector<PTreeEntry>& oEntries) {
  fError = PClientError();
  std::vector<unsigned char> payload;
  int result = pathPayload(iRoot, payload);
  if (result != 0) return result;
  if (hasOps()) return listLevels(*this, iRoot, true, oEntries);
  if (!fPump.isOpen()) return fError.fCode;
  // Directory by directory, each listed with its entries' kinds.
  std::vector<PTreeEntry> entries;
  std::deque<std::string> waiting{""};
  while (!waiting.empty()) {
    const std::string dir = waiting.front();
    waiting.pop_front();
    std::vector<PRemoteEntry> found;
    result = listFallback(dir.empty() ? iRoot : joinPath(iRoot, dir), found);
    if (result != 0) return result;
    for (PRemoteEntry& entry : found) {
      const std::string path = dir.empty() ? entry.fName : dir + "/" + entry.fName;
      if (entry.fStat.fKind == PRemoteKind::kDir) waiting.push_back(path);
      entries.push_back({path, std::move(entry.fStat)});
    }
  }
  oEntries.swap(entries);
  return 0;
}

// ListDir, then IsFile of every entry in flight together, then the size of
// every file.
int PClient::PImpl::listFallback(const std::string& iPath, std::vector<PRemoteEntry>& oEntries) {
  std::vector<std::string> names;
  int result = list(iPath, names);
  if (result != 0) return result;
  std::vector<PRemoteEntry> entries(names.size());
  for (uint32_t action : {kIsFile, kGetFileSize}) {
    std::vector<unsigned char> payload;
    for (size_t i = 0; i < names.size(); ++i) {
      entries[i].fName = names[i];
      if (action == kGetFileSize && entries[i].fStat.fKind != PRemoteKind::kFile) continue;
      if (pathPayload(joinPath(iPath, names[i]), payload) != 0) continue;  // the host's names are UTF-8
      fPump.queue(kAccessModule, action, payload, i);
    }
    result = fPump.queued() > 0 ? fPump.flush(fOptions.fReplyTimeoutMs, fError) : 0;
    while (result == 0 && fPump.pending() > 0) {
      PReplyView reply;
      result = fPump.receiveView(reply, fOptions.fReplyTimeoutMs, fError);
      if (result != 0) break;
      PViewReader reader(reply.fPayload, reply.fPayloadLength);
      PRemoteStat& stat = entries[reply.fTag].fStat;
      bool file = false;
      if (action == kIsFile && reply.fStatus == 0 && reader.flag(file)) {
        stat.fKind = file ? PRemoteKind::kFile : PRemoteKind::kDir;
      } else if (action == kIsFile) {
        // Gone since the listing, refused, or neither a file nor a directory.
        stat.fKind = reply.fStatus == ERR_NOT_FILE_OR_DIR ? PRemoteKind::kOther : PRemoteKind::kNone;
      } else if (reply.fStatus == 0 && !reader.i64(stat.fSize)) {
        result = malformed(action, reader.code());
      }
    }
    if (result != 0) return result;
  }
  oEntries.swap(entries);
  return 0;
}

// ----------------------------------------------------------- changes

int PClient::PImpl::pathsInFlight(const std::string& iModule, uint32_t iAction, const std::vector<std::string>& iPaths,
                                  const std::vector<std::vector<unsigned char>>& iTails, std::vector<PClientError>& oErrors) {
  std::vector<PClientError> errors(iPaths.size());
  std::vector<std::vector<unsigned char>> payloads(iPaths.size());
  for (size_t i = 0; i < iPaths.size(); ++i) {
    if (pathPayload(iPaths[i], payloads[i]) != 0) return fError.fCode;
    if (i < iTails.size()) payloads[i].insert(payloads[i].end(), iTails[i].begin(), iTails[i].end());
  }
  for (size_t i = 0; i < iPaths.size(); ++i) fPump.queue(iModule, iAction, payloads[i], i);
  int result = fPump.queued() > 0 ? fPump.flush(fOptions.fReplyTimeoutMs, fError) : 0;
  int first = 0;
  while (result == 0 && fPump.pending() > 0) {
    PReplyView reply;
    result = fPump.receiveView(reply, fOptions.fReplyTimeoutMs, fError);
    if (result == 0 && reply.fStatus != 0) {
      remoteError(reply.fStatus, iAction, iPaths[reply.fTag], &errors[reply.fTag]);
      if (first == 0) fError = errors[reply.fTag];
      if (first == 0) first = reply.fStatus;
    }
  }
  if (result != 0) return result;
  oErrors.swap(errors);
  return first;
}

int PClient::PImpl::makeDirs(const std::vector<std::string>& iPaths, std::vector<PClientError>& oErrors) {
  fError = PClientError();
  int result = pathsInFlight(kAccessModule, kMakeDir, iPaths, {}, oErrors);
  if (result == 0 || oErrors.size() != iPaths.size()) return result;
  // The host answers -603 when a directory appears between its look and its mkdir.
  std::vector<size_t> again;
  std::vector<std::string> paths;
  for (size_t i = 0; i < iPaths.size(); ++i) {
    if (oErrors[i].fCode == PERR_EXISTS) again.push_back(i), paths.push_back(iPaths[i]);
  }
  std::vector<PClientError> retried;
  if (!again.empty() && pathsInFlight(kAccessModule, kMakeDir, paths, {}, retried) != 0 && retried.size() != paths.size()) {
    return fError.fCode;
  }
  for (size_t i = 0; i < again.size(); ++i) oErrors[again[i]] = retried[i];
  fError = PClientError();
  for (const PClientError& error : oErrors) {
    if (error.fCode != 0) return (fError = error).fCode;
  }
  return 0;
}

int PClient::PImpl::setAttributes(const std::vector<PAttributes>& iChanges, std::vector<PClientError>& oErrors) {
  fError = PClientError();
  const int result = requireOps("setting modes and times");
  if (result != 0) return result;
  std::vector<std::string> paths;
  std::vector<std::vector<unsigned char>> tails(iChanges.size());
  for (size_t i = 0; i < iChanges.size(); ++i) {
    paths.push_back(iChanges[i].fPath);
    PWriter(tails[i]).i32(iChanges[i].fMode).i64(iChanges[i].fTimeNs);
  }
  return pathsInFlight(kOpsModule, kOpsSetAttributes, paths, tails, oErrors);
}

int PClient::PImpl::rename(const std::string& iFrom, const std::string& iTo, bool iReplace) {
  fError = PClientError();
  std::vector<unsigned char> payload, to;
  int result = requireOps("rename");
  if (result == 0) result = pathPayload(iFrom, payload);
  if (result == 0) result = pathPayload(iTo, to);
  if (result != 0) return result;
  payload.insert(payload.end(), to.begin(), to.end());
  PWriter(payload).flag(iReplace);
  PReply reply;
  return opsCall(kOpsRename, payload, iFrom + " -> " + iTo, reply);
}

int PClient::PImpl::setAttributes(const std::string& iPath, int iMode, long long iTimeNs) {
  std::vector<PClientError> errors;
  return setAttributes({{iPath, iMode, iTimeNs}}, errors);
}

int PClient::PImpl::removeTree(const std::string& iPath) {
  fError = PClientError();
  std::vector<unsigned char> payload;
  int result = pathPayload(iPath, payload);
  if (result != 0) return result;
  if (!hasOps()) return fPump.isOpen() ? removeFallback(iPath) : fError.fCode;
  PWriter(payload).i32(kFileOpsMaxRemove);
  for (bool more = true; more;) {
    PReply reply;
    result = opsCall(kOpsRemoveTree, payload, iPath, reply);
    if (result != 0) return result;
    PViewReader reader(reply.fPayload.data(), reply.fPayload.size());
    if (!reader.flag(more)) return malformed(kOpsRemoveTree, reader.code());
  }
  return 0;
}

// Deepest entries first, as the tree's listing finds them.
int PClient::PImpl::removeFallback(const std::string& iPath) {
  bool file = false;
  int result = flag(kIsFile, iPath, file);
  if (result != 0 && result != ERR_NOT_FILE_OR_DIR) {
    return result == ERR_FAILED ? setError(fError, PERR_NOT_FOUND, PErrorOrigin::kRemote, "", iPath) : result;
  }
  if (result == ERR_NOT_FILE_OR_DIR || file) return simple(kDeleteFile, iPath);
  std::vector<PTreeEntry> entries;
  result = listTree(iPath, entries);
  for (auto entry = entries.rbegin(); result == 0 && entry != entries.rend(); ++entry) {
    result = simple(entry->fStat.fKind == PRemoteKind::kDir ? kDeleteDir : kDeleteFile, joinPath(iPath, entry->fPath));
  }
  return result == 0 ? simple(kDeleteDir, iPath) : result;
}
