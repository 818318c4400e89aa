#include "PAuditLog.h"

#include <optional>

#include "PActionRequests.h"
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

// Whether an opening request opens its handle to write.
bool opensToWrite(const PActionTraits& iAction, const PCommsMessage& iRequest) {
  if (iAction.fChanges == ACTION_CHANGES) return true;
  if (iAction.fChanges != ACTION_CHANGES_WHEN_MODE_WRITES) return false;
  PDataReader reader(iRequest.fData);
  PString path;
  int mode = 0;
  return reader.readString(path) == 0 && reader.readInt32(mode) == 0 && (mode & ACCESS_READ) == 0;
}

// The statuses of a list that ended handles, one per handle named; the
// reply's own status for each when it holds none.
std::vector<int> statusesOf(const PActionTraits& iAction, const PCommsMessage& iReply, size_t iNamed) {
  std::vector<int> statuses(iNamed, static_cast<int>(iReply.fUint32));
  if (iAction.fUses != ACTION_USES_LIST) return statuses;
  PDataReader reader(iReply.fData);
  int count = 0;
  if (reader.readInt32(count) != 0 || count != static_cast<int>(iNamed)) return statuses;
  for (int& status : statuses) reader.readInt32(status);
  return statuses;
}

}  // namespace

int PAuditLog::levelOf(const PActionTraits& iAction, int iStatus, bool iKnownHandle) {
  const bool query = iAction.fAudit == AUDIT_QUERY;
  // A handle the session does not hold: the peer named a wrong one; one it
  // holds that failed: the device.
  if (iAction.fUses != ACTION_USES_NONE && iStatus == iAction.fNoHandle && iStatus != 0) {
    return iKnownHandle ? LOG_LEVEL_ERROR : LOG_LEVEL_WARNING;
  }
  switch (iStatus) {
    case 0:
      return query ? LOG_LEVEL_DEBUG : LOG_LEVEL_INFO;
    case ERR_ACCESS_DENIED:  // the policy, a transfer's mode, a reader's change
    case ERR_PACKET_SIZE:
    case ERR_DATA_SHORT:
    case ERR_DATA_TYPE:
    case ERR_DATA_ENCODING:
    case FOPS_ERR_ARGUMENT:
    case FOPS_ERR_HANDLE_KIND:
    case FOPS_ERR_TARGET_BUSY:
    case FOPS_ERR_CROSS_FS:
    case FOPS_ERR_NO_UPLOAD:
    case FOPS_ERR_SHRUNK:
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
      return query ? LOG_LEVEL_DEBUG : LOG_LEVEL_ERROR;  // to a query: nothing there, or not a directory
    default:
      return LOG_LEVEL_ERROR;  // I/O, no space, no descriptor, no memory, the system's permissions...
  }
}

void PAuditLog::endLine(const char* iAction, const int* iStatus, const PSessionInfo& iSession, int iHandle, const Handle& iEnded,
                        int iLevel) {
  if (!wanted(iLevel)) return;
  PAuditLine line(iAction, iStatus, iSession);
  line.add(L"transfer", "ZEVO_TRANSFER", std::to_string(iHandle));
  line.add(L"mode", "ZEVO_MODE", iEnded.fWrite ? "write" : "read");
  const auto elapsed = std::chrono::steady_clock::now() - iEnded.fStart;
  line.add(L"bytes", "ZEVO_BYTES", std::to_string(iEnded.fBytes));
  line.add(L"duration_ms", "ZEVO_DURATION_MS", std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
  if (iStatus == nullptr) line.add(L"by", "ZEVO_BY", iSession.fEndedBy);
  if (iEnded.fPath.len() != 0) line.path(iEnded.fPath);
  write(line, iLevel);
}

void PAuditLog::replied(const PSessionInfo& iSession, const PCommsMessage& iRequest, const PCommsMessage& iReply, size_t iFileBytes) {
  const PActionTraits* action = fModule.find(iRequest.fUint32);
  if (action == nullptr || fLogger.isNull()) return;  // no action: answered with nothing
  const int status = static_cast<int>(iReply.fUint32);
  const std::vector<int> named = PActionRequests::handles(*action, iRequest);

  if (action->fAudit == AUDIT_CHUNK && !named.empty()) {
    std::optional<Handle> held;  // what the line tells of the handle
    int level = LOG_LEVEL_NONE;
    {
      PStdMutexLock lock(fLock);
      auto found = fHandles.find(named[0]);
      // Under isolation another session's handle was 0 to the module.
      const bool known = found != fHandles.end() && (!fIsolate || found->second.fSession == iSession.fNumber);
      if (status == 0) {  // a step moved: counted, no line
        long long bytes = PActionRequests::bytesCount(action->fRequest, iRequest.fData);
        if (bytes < 0) bytes = iFileBytes > 0 ? static_cast<long long>(iFileBytes) : PActionRequests::bytesCount("b", iReply.fData);
        if (known && bytes > 0) found->second.fBytes += bytes;
        return;
      }
      if (status == ERR_END_OF_FILE) return;
      level = levelOf(*action, status, known);
      if (known) held = found->second;
    }
    if (!wanted(level)) return;
    PAuditLine line(action->fName, &status, iSession);
    line.add(L"transfer", "ZEVO_TRANSFER", std::to_string(named[0]));
    if (held) {
      line.add(L"mode", "ZEVO_MODE", held->fWrite ? "write" : "read");
      line.path(held->fPath);
    }
    write(line, level);
    return;
  }

  if (action->fEnds != ACTION_ENDS_NEVER && !named.empty()) {
    const std::vector<int> statuses = statusesOf(*action, iReply, named.size());
    for (size_t i = 0; i < named.size(); ++i) {
      std::optional<Handle> ended;
      {
        PStdMutexLock lock(fLock);
        auto found = fHandles.find(named[i]);
        if (found != fHandles.end() && (!fIsolate || found->second.fSession == iSession.fNumber)) {
          ended = found->second;
          if (statuses[i] == 0 || action->fEnds == ACTION_ENDS_ALWAYS) fHandles.erase(found);
        }
      }
      if (!ended) {
        // No handle had that number: nothing ended (a close of one answered 0), or the peer named a wrong one.
        const int level = statuses[i] == 0 ? LOG_LEVEL_NONE : levelOf(*action, statuses[i], false);
        if (level == LOG_LEVEL_NONE || !wanted(level)) continue;
        PAuditLine line(action->fName, &statuses[i], iSession);
        line.add(L"transfer", "ZEVO_TRANSFER", std::to_string(named[i]));
        write(line, level);
        continue;
      }
      if (iSession.fEnded) {
        // A handle its session left open is cut, not closed: an upload's
        // file holds what came so far.
        const int level = statuses[i] != 0 ? LOG_LEVEL_ERROR
                          : ended->fQuery  ? LOG_LEVEL_DEBUG
                          : ended->fWrite  ? LOG_LEVEL_WARNING
                                           : LOG_LEVEL_INFO;
        endLine("TransferCut", nullptr, iSession, named[i], *ended, level);
        if (statuses[i] != 0 && wanted(level)) {
          PAuditLine failed(action->fName, &statuses[i], iSession);
          failed.add(L"transfer", "ZEVO_TRANSFER", std::to_string(named[i]));
          write(failed, level);
        }
        continue;
      }
      const int level = ended->fQuery && statuses[i] == 0 ? LOG_LEVEL_DEBUG : levelOf(*action, statuses[i], true);
      endLine(action->fName, &statuses[i], iSession, named[i], *ended, level);
    }
    return;
  }

  PString path;
  const bool hasPath = PActionRequests::path(*action, iRequest, path);
  const int opened = PActionRequests::opened(*action, iReply);
  const bool toWrite = action->fOpensHandle >= 0 && opensToWrite(*action, iRequest);
  if (opened != 0) {
    Handle handle;
    handle.fSession = iSession.fNumber;
    handle.fPath = path;
    handle.fWrite = toWrite;
    handle.fQuery = action->fAudit == AUDIT_QUERY;
    handle.fStart = std::chrono::steady_clock::now();
    PStdMutexLock lock(fLock);
    fHandles[opened] = std::move(handle);  // a number drawn again after it ended is a new handle
  }
  const int level = levelOf(*action, status, false);
  if (!wanted(level)) return;
  PAuditLine line(action->fName, &status, iSession);
  if (opened != 0) line.add(L"transfer", "ZEVO_TRANSFER", std::to_string(opened));
  if (action->fOpensHandle >= 0 && action->fChanges == ACTION_CHANGES_WHEN_MODE_WRITES) line.add(L"mode", "ZEVO_MODE", toWrite ? "write" : "read");
  if (hasPath) line.path(path);
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
  for (auto it = fHandles.begin(); it != fHandles.end();) {
    it = it->second.fSession == iSession.fNumber ? fHandles.erase(it) : std::next(it);
  }
  return {};
}
