#include "PAuditLog.h"

#include <optional>

#include "zevo/PDataReader.h"
#include "zevo/PErrors.h"
#include "zevo/PUtils.h"
#include "zevo/logger/PLogger.h"

// One line: "ACTION status=S connection=N peer=P identity=I [key=value]...
// [path=PATH]", the path last so that it may hold anything; the same as
// journal fields. A transfer cut by its session's end has no status of its
// own: "TransferCut connection=N ... by=WHY".
class PAuditLine {
 public:
  static constexpr unsigned int kPathShown = 512;  // characters of a path a line holds; a longer one is cut, "..." added

  PAuditLine(const char* iAction, const int* iStatus, const PSessionInfo& iSession) {
    fText = PUtils::wide(iAction).str();
    if (iStatus != nullptr) {
      const char* name = PErrors::name(*iStatus);
      add(L"status", "ZEVO_STATUS", std::to_string(*iStatus), *iStatus != 0 && name != nullptr ? std::string("(") + name + ")" : "");
    }
    add(L"connection", "ZEVO_CONNECTION", std::to_string(iSession.fNumber));
    add(L"peer", "ZEVO_PEER", iSession.fPeer);
    add(L"identity", "ZEVO_IDENTITY", iSession.fIdentity.empty() ? "-" : iSession.fIdentity);
    fFields.push_back({"ZEVO_ACTION", iAction});
  }
  // iShown: more text after the value, not in the field.
  void add(const wchar_t* iKey, const char* iField, const std::string& iValue, const std::string& iShown = "") {
    fText += L' ';
    fText += iKey;
    fText += L'=';
    fText += PUtils::wide(iValue + iShown).str();
    fFields.push_back({iField, iValue});
  }
  void path(const PString& iPath) {
    const std::wstring shown = iPath.len() > kPathShown ? std::wstring(iPath.ptr(), kPathShown) + L"..." : iPath.str();
    std::string utf8;
    if (PUtils::toUtf8(PString(shown.c_str()), utf8) != 0) return;
    fPath = L" path=" + shown;
    fFields.push_back({"ZEVO_PATH", utf8});
  }
  void write(ILogger* iLogger, int iLevel) { PLoggerComponent::logRecord(iLogger, iLevel, fText + fPath, fFields); }

 private:
  std::wstring fText;
  std::wstring fPath;
  std::vector<PLogField> fFields;
};

namespace {

bool isQuery(uint32_t iAction) {
  return iAction == kGetFileSize || iAction == kIsExists || iAction == kIsFile || iAction == kListDir;
}

bool isChunkOrClose(uint32_t iAction) {
  return iAction == kGetNextFileData || iAction == kSetNextFileData || iAction == kCloseFileTransfer;
}

}  // namespace

int PAuditLog::levelOf(uint32_t iAction, int iStatus, bool iKnownTransfer) {
  const bool query = isQuery(iAction);
  switch (iStatus) {
    case 0:
      return query ? LOG_LEVEL_DEBUG : LOG_LEVEL_INFO;
    case ERR_ACCESS_DENIED:  // the policy, or a transfer's mode
    case ERR_PACKET_SIZE:
    case ERR_DATA_SHORT:
    case ERR_DATA_TYPE:
    case ERR_DATA_ENCODING:
      return LOG_LEVEL_WARNING;
    case ERR_END_OF_FILE:
      return LOG_LEVEL_DEBUG;
    case ERR_NOT_FILE_OR_DIR:
    case PERR_NOT_FOUND:
    case PERR_EXISTS:
    case PERR_NOT_DIR:
    case PERR_IS_DIR:
    case PERR_NOT_EMPTY:
    case PERR_NAME_TOO_LONG:
    case PERR_INVALID_PATH:
    case PERR_NOT_FILE:
    case PERR_LOOP:
    case PERR_SYMLINK:
    case PERR_HARDLINK:
    case PERR_CROSS_DEVICE:  // a mount point refused
    case PERR_INVALID_ARG:
      return query ? LOG_LEVEL_DEBUG : LOG_LEVEL_WARNING;  // to a query, the answer
    case ERR_FAILED:
      // A chunk or close of a transfer the session has: the device failed;
      // of one it has not: the peer named a wrong ID. To IsFile and ListDir:
      // nothing there, or not a directory.
      if (isChunkOrClose(iAction)) return iKnownTransfer ? LOG_LEVEL_ERROR : LOG_LEVEL_WARNING;
      return iAction == kIsFile || iAction == kListDir ? LOG_LEVEL_DEBUG : LOG_LEVEL_ERROR;
    default:
      return LOG_LEVEL_ERROR;  // I/O, no space, no descriptor, no memory, the system's permissions...
  }
}

void PAuditLog::replied(const PSessionInfo& iSession, const PCommsMessage& iRequest, const PCommsMessage& iReply) {
  const uint32_t action = iRequest.fUint32;
  const char* name = fileAccessActionName(action);
  if (name == nullptr || fLogger.isNull()) return;  // no action: answered with nothing
  const int status = static_cast<int>(iReply.fUint32);
  PDataReader request(iRequest.fData);

  if (!isChunkOrClose(action)) {
    PString path;
    int mode = 0, id = 0;
    const bool hasPath = request.readString(path) == 0;
    const bool opened = action == kStartFileTransfer && request.readInt32(mode) == 0;
    if (opened && status == 0 && PDataReader(iReply.fData).readInt32(id) == 0 && id != 0) {
      Transfer transfer;
      transfer.fSession = iSession.fNumber;
      transfer.fPath = path;
      transfer.fWrite = (mode & ACCESS_READ) == 0;
      transfer.fStart = std::chrono::steady_clock::now();
      PStdMutexLock lock(fLock);
      fTransfers[id] = std::move(transfer);  // an ID drawn again after a close is a new transfer
    }
    const int level = levelOf(action, status, false);
    if (!wanted(level)) return;
    PAuditLine line(name, &status, iSession);
    if (id != 0) line.add(L"transfer", "ZEVO_TRANSFER", std::to_string(id));
    if (opened) line.add(L"mode", "ZEVO_MODE", (mode & ACCESS_READ) != 0 ? "read" : "write");
    if (hasPath) line.path(path);
    write(line, level);
    return;
  }

  int id = 0;
  if (request.readInt32(id) != 0) {
    const int level = levelOf(action, status, false);
    if (wanted(level)) {
      PAuditLine line(name, &status, iSession);
      write(line, level);
    }
    return;
  }
  std::optional<Transfer> closed;  // what the line tells of the transfer
  int level = LOG_LEVEL_NONE;
  {
    PStdMutexLock lock(fLock);
    auto found = fTransfers.find(id);
    // Under isolation another session's request was answered without the module.
    const bool known = found != fTransfers.end() && (!fIsolate || found->second.fSession == iSession.fNumber);
    if (status == 0 && action != kCloseFileTransfer) {
      // A chunk moved: counted, no line.
      const unsigned char* bytes = nullptr;
      size_t count = 0;
      const bool read = action == kGetNextFileData ? PDataReader(iReply.fData).readBytesView(bytes, count) == 0
                                                   : request.readBytesView(bytes, count) == 0;
      if (known && read) found->second.fBytes += static_cast<long long>(count);
      return;
    }
    if (action == kGetNextFileData && status == ERR_END_OF_FILE) return;
    if (action == kCloseFileTransfer && status == 0 && !known) return;  // no transfer had that ID: nothing closed
    level = levelOf(action, status, known);
    if (known) {
      closed = found->second;
      if (action == kCloseFileTransfer && status == 0) fTransfers.erase(found);
    }
  }
  // A transfer its session left open is cut, not closed: an upload's file
  // holds what came so far.
  const bool cut = closed && action == kCloseFileTransfer && iSession.fEnded;
  if (cut) level = status != 0 ? LOG_LEVEL_ERROR : closed->fWrite ? LOG_LEVEL_WARNING : LOG_LEVEL_INFO;
  if (!wanted(level)) return;
  PAuditLine line(cut ? "TransferCut" : name, cut ? nullptr : &status, iSession);
  line.add(L"transfer", "ZEVO_TRANSFER", std::to_string(id));
  if (closed) {
    line.add(L"mode", "ZEVO_MODE", closed->fWrite ? "write" : "read");
    if (action == kCloseFileTransfer) {
      const auto elapsed = std::chrono::steady_clock::now() - closed->fStart;
      line.add(L"bytes", "ZEVO_BYTES", std::to_string(closed->fBytes));
      line.add(L"duration_ms", "ZEVO_DURATION_MS",
               std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
    }
    if (cut) {
      line.add(L"by", "ZEVO_BY", iSession.fEndedBy);
      if (status != 0) line.add(L"close_status", "ZEVO_CLOSE_STATUS", std::to_string(status));
    }
    line.path(closed->fPath);
  }
  write(line, level);
}

void PAuditLog::write(PAuditLine& ioLine, int iLevel) {
  if (iLevel == LOG_LEVEL_DEBUG) return ioLine.write(fLogger.get(), iLevel);
  unsigned long dropped = 0;
  if (!(iLevel == LOG_LEVEL_INFO ? fOperations : fProblems).admit(dropped)) return;
  if (dropped != 0) ioLine.add(L"suppressed", "ZEVO_SUPPRESSED", std::to_string(dropped));
  ioLine.write(fLogger.get(), iLevel);
}

std::vector<PRelease> PAuditLog::ended(const PSessionInfo& iSession) {
  PStdMutexLock lock(fLock);
  for (auto it = fTransfers.begin(); it != fTransfers.end();) {
    it = it->second.fSession == iSession.fNumber ? fTransfers.erase(it) : std::next(it);
  }
  return {};
}
