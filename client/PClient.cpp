#include "zevo/client/PClient.h"

#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>

#include "PClientImpl.h"
#include "PLocalIo.h"
#include "PWire.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PErrors.h"
#include "zevo/PUtils.h"

namespace {

constexpr int kReadMode = 1;
constexpr int kWriteMode = 2;
constexpr int kMaxTimeoutMs = 24 * 3600 * 1000;

}  // namespace

const char* clientCodeName(int iCode) {
  switch (iCode) {
#define ZEVO_CLIENT_CODE_NAME_(iName, iValue, iMeaning) \
  case iValue: return #iName;
    ZEVO_CLIENT_CODES(ZEVO_CLIENT_CODE_NAME_)
#undef ZEVO_CLIENT_CODE_NAME_
  }
  return PErrors::name(iCode);
}

const char* clientCodeMeaning(int iCode) {
  switch (iCode) {
    case ERR_ACCESS_DENIED: return "permission denied by policy";
#define ZEVO_CLIENT_CODE_MEANING_(iName, iValue, iMeaning) \
  case iValue: return iMeaning;
    ZEVO_CLIENT_CODES(ZEVO_CLIENT_CODE_MEANING_)
#undef ZEVO_CLIENT_CODE_MEANING_
  }
  return PErrors::meaning(iCode);
}

int setError(PClientError& oError, int iCode, PErrorOrigin iOrigin, const std::string& iText, const std::string& iWhat) {
  oError.fCode = iCode;
  oError.fOrigin = iOrigin;
  if (!iText.empty()) {
    oError.fText = iText;
  } else {
    const char* meaning = clientCodeMeaning(iCode);
    oError.fText = meaning != nullptr ? meaning : "failed";
  }
  oError.fWhat = iWhat;
  return iCode;
}

int setLocalError(PClientError& oError, int iErrno, const std::string& iWhat) {
  const int code = PErrors::fromErrno(iErrno);
  // The system's words when the code would say less.
  std::string text = code == PERR_FAILED ? std::strerror(iErrno) : "";
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return setError(oError, code, PErrorOrigin::kLocal, text, iWhat);
}

int msLeft(std::chrono::steady_clock::time_point iDeadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(iDeadline - std::chrono::steady_clock::now()).count();
  if (left <= 0) return 0;
  return left > 1000000000 ? 1000000000 : static_cast<int>(left);
}

// Waits for iEvents until the deadline: the revents, 0 on time-out.
int waitFor(int iFd, short iEvents, std::chrono::steady_clock::time_point iDeadline) {
  for (;;) {
    pollfd waiting{iFd, iEvents, 0};
    const int left = msLeft(iDeadline);
    const int ready = ::poll(&waiting, 1, left);
    if (ready > 0) return waiting.revents;
    if (ready == 0) return 0;
    if (errno != EINTR) return POLLERR;
    if (left == 0) return 0;
  }
}

std::string formatSeconds(int iMilliseconds) {
  char text[32];
  if (iMilliseconds % 1000 == 0) {
    std::snprintf(text, sizeof text, "%d s", iMilliseconds / 1000);
  } else {
    std::snprintf(text, sizeof text, "%g s", iMilliseconds / 1000.0);
  }
  return text;
}

std::string PClientError::message() const {
  std::string text;
  switch (fOrigin) {
    case PErrorOrigin::kRemote: text = "remote: "; break;
    case PErrorOrigin::kHost: text = "host: "; break;
    case PErrorOrigin::kLocal: text = "local: "; break;
    default: break;
  }
  text += fText + " (" + std::to_string(fCode) + ")";
  if (!fWhat.empty()) text += ": " + fWhat;
  return text;
}

std::string PClientError::name() const {
  const char* found = clientCodeName(fCode);
  return found != nullptr ? found : "";
}

PSink PSink::file(const std::string& iPath) {
  PSink sink;
  sink.fKind = Kind::kFile;
  sink.fPath = iPath;
  return sink;
}

PSink PSink::descriptor(int iFd) {
  PSink sink;
  sink.fKind = Kind::kDescriptor;
  sink.fFd = iFd;
  return sink;
}

PSink PSink::callback(Write iWrite) {
  PSink sink;
  sink.fKind = Kind::kCallback;
  sink.fWrite = std::move(iWrite);
  return sink;
}

PSource PSource::file(const std::string& iPath) {
  PSource source;
  source.fKind = Kind::kFile;
  source.fPath = iPath;
  return source;
}

PSource PSource::descriptor(int iFd) {
  PSource source;
  source.fKind = Kind::kDescriptor;
  source.fFd = iFd;
  return source;
}

PSource PSource::callback(Read iRead, long long iTotal) {
  PSource source;
  source.fKind = Kind::kCallback;
  source.fRead = std::move(iRead);
  source.fTotal = iTotal;
  return source;
}

// ------------------------------------------------------------- PImpl

namespace {

bool goOn(const PTransferControl& iControl) noexcept { return controlGoesOn(iControl.fContinue); }

bool report(const PTransferControl& iControl, long long iDone, long long iTotal) noexcept {
  return controlReports(iControl.fProgress, iDone, iTotal);
}

}  // namespace

bool controlGoesOn(const std::function<bool()>& iContinue) noexcept {
  try {
    return !iContinue || iContinue();
  } catch (...) {
    return false;
  }
}

bool controlReports(const std::function<void(long long, long long)>& iProgress, long long iDone, long long iTotal) noexcept {
  try {
    if (iProgress) iProgress(iDone, iTotal);
    return true;
  } catch (...) {
    return false;
  }
}

int PClient::PImpl::connect(const std::string& iEndpoint) {
  fError = PClientError();
  fOps = Ops::kUnknown;
  return fPump.connect(iEndpoint, fOptions.fConnectTimeoutMs, {fTls, fMqtt, fShare ? fShare->connections() : nullptr}, fError);
}

int PClient::PImpl::pathPayload(const std::string& iPath, std::vector<unsigned char>& oPayload) {
  oPayload.clear();
  PString wide;
  if (PUtils::fromUtf8(iPath.data(), iPath.size(), wide) != 0) {
    return setError(fError, PERR_INVALID_ARG, PErrorOrigin::kArgument, "the path is not valid UTF-8",
                    PUtils::toDisplay(wide));
  }
  const int written = PDataWriter(oPayload).writeString(wide);
  if (written != 0) {
    return setError(fError, written, PErrorOrigin::kArgument, "the path cannot be sent (a NUL character?)", "");
  }
  return 0;
}

int PClient::PImpl::remoteError(int iStatus, uint32_t iAction, const std::string& iPath, PClientError* oError) {
  std::string text = clientCodeMeaning(iStatus) != nullptr ? clientCodeMeaning(iStatus) : "unknown status";
  if (iStatus == ERR_FAILED) {
    // -504 says little; the action tells what it means there.
    switch (iAction) {
      case kListDir: text += ": not a directory, or missing"; break;
      case kIsFile: text += ": nothing exists there"; break;
      case kGetNextFileData: text += ": the read failed"; break;
      case kSetNextFileData: text += ": the write failed"; break;
      case kGetFileSize: text += ": the size could not be obtained"; break;
      default: break;
    }
  }
  // A change refused to a reader: its role refused it, whatever the policy.
  const PActionTraits* traits = kFileAccessTraits.find(iAction);
  if (traits == nullptr) traits = fileOpsAction(iAction);
  if (iStatus == ERR_ACCESS_DENIED && fOps == Ops::kPresent && fInfo.fRole == kRoleRead && traits != nullptr &&
      traits->fChanges != ACTION_CHANGES_NEVER) {
    text = "permission denied: your role on this host is read";
  }
  return setError(oError != nullptr ? *oError : fError, iStatus, PErrorOrigin::kRemote, text, iPath);
}

int PClient::PImpl::malformed(uint32_t iAction, int iCode, const std::string& iWhy) {
  const char* name = clientCodeName(iCode);
  setError(fError, ERR_CLIENT_PROTOCOL, PErrorOrigin::kConnection,
           std::string("malformed reply to ") + actionName(iAction) + " (" + (!iWhy.empty() ? iWhy : name ? name : "?") + ")",
           fPump.endpoint());
  fPump.close();
  return ERR_CLIENT_PROTOCOL;
}

int PClient::PImpl::call(uint32_t iAction, const std::vector<unsigned char>& iPayload, const std::string& iPath,
                         PReply& oReply) {
  int result = fPump.send(iAction, iPayload, fOptions.fReplyTimeoutMs, fError);
  if (result == 0) result = fPump.receive(oReply, fOptions.fReplyTimeoutMs, fError);
  if (result != 0) return result;
  if (oReply.fStatus != 0) return remoteError(oReply.fStatus, iAction, iPath);
  return 0;
}

int PClient::PImpl::opsCall(uint32_t iAction, const std::vector<unsigned char>& iPayload, const std::string& iPath,
                            PReply& oReply) {
  static const std::string kModule = kFileOpsModule;
  fPump.queue(kModule, iAction, iPayload);
  int result = fPump.flush(fOptions.fReplyTimeoutMs, fError);
  if (result == 0) result = fPump.receive(oReply, fOptions.fReplyTimeoutMs, fError);
  if (result != 0) return result;
  if (oReply.fStatus != 0) return remoteError(oReply.fStatus, iAction, iPath);
  return 0;
}

int PClient::PImpl::pathRequest(uint32_t iAction, const std::string& iPath, PReply& oReply) {
  fError = PClientError();
  std::vector<unsigned char> payload;
  int result = pathPayload(iPath, payload);
  if (result == 0) result = call(iAction, payload, iPath, oReply);
  return result;
}

int PClient::PImpl::size(const std::string& iPath, long long& oSize) {
  PReply reply;
  int result = pathRequest(kGetFileSize, iPath, reply);
  if (result != 0) return result;
  long long value = 0;
  result = PDataReader(reply.fPayload).readInt64(value);
  if (result != 0) return malformed(kGetFileSize, result);
  if (value < 0) return malformed(kGetFileSize, ERR_DATA_TYPE);
  oSize = value;
  return 0;
}

int PClient::PImpl::flag(uint32_t iAction, const std::string& iPath, bool& oValue) {
  PReply reply;
  int result = pathRequest(iAction, iPath, reply);
  if (result != 0) return result;
  result = PDataReader(reply.fPayload).readBool(oValue);
  return result != 0 ? malformed(iAction, result) : 0;
}

int PClient::PImpl::list(const std::string& iPath, std::vector<std::string>& oNames) {
  PReply reply;
  int result = pathRequest(kListDir, iPath, reply);
  if (result != 0) return result;
  std::vector<PString> names;
  result = PDataReader(reply.fPayload).readStrings(names);
  if (result != 0) return malformed(kListDir, result);
  std::vector<std::string> converted;
  try {
    converted.reserve(names.size());
    for (const PString& name : names) {
      std::string utf8;
      result = PUtils::toUtf8(name, utf8);
      if (result != 0) return malformed(kListDir, result);
      if (!entryName(utf8)) return malformed(kListDir, ERR_DATA_TYPE, "an entry that is not a name: " + PUtils::toDisplay(name));
      converted.push_back(std::move(utf8));
    }
  } catch (const std::bad_alloc&) {
    return setError(fError, PERR_NO_MEMORY, PErrorOrigin::kLocal, "", iPath);
  }
  oNames.swap(converted);
  return 0;
}

int PClient::PImpl::simple(uint32_t iAction, const std::string& iPath) {
  PReply reply;
  return pathRequest(iAction, iPath, reply);
}

int PClient::PImpl::openTransfer(const std::string& iPath, int iMode, int& oID) {
  std::vector<unsigned char> payload;
  PReply reply;
  int result = pathPayload(iPath, payload);
  if (result != 0) return result;
  PDataWriter(payload).writeInt32(iMode);
  result = call(kStartFileTransfer, payload, iPath, reply);
  if (result != 0) return result;
  result = PDataReader(reply.fPayload).readInt32(oID);
  if (result != 0) return malformed(kStartFileTransfer, result);
  if (oID == 0) return malformed(kStartFileTransfer, ERR_DATA_TYPE);
  return 0;
}

int PClient::PImpl::closeTransfer(int iID, int iResult, const std::string& iPath) {
  // Without a connection the host has closed the transfer itself.
  if (!fPump.isOpen()) return iResult;
  const PClientError primary = fError;
  std::vector<unsigned char> payload;
  PDataWriter(payload).writeInt32(iID);
  PReply reply;
  const int closed = call(kCloseFileTransfer, payload, iPath, reply);
  if (iResult != 0) {
    fError = primary;
    return iResult;
  }
  return closed;
}

int PClient::PImpl::get(const std::string& iRemote, const PSink& iSink, const PTransferControl& iControl,
                        long long* oBytes) {
  if (oBytes != nullptr) *oBytes = 0;
  long long total = 0;
  int result = size(iRemote, total);
  int id = 0;
  if (result == 0) result = openTransfer(iRemote, kReadMode, id);
  if (result != 0) return result;
  PSinkWriter sink(iSink);
  result = sink.open(fError);
  if (result != 0) return closeTransfer(id, result, iRemote);

  std::vector<unsigned char> request;
  PDataWriter writer(request);
  writer.writeInt32(id);
  writer.writeInt32(fOptions.fReadChunk);
  long long done = 0;
  size_t inFlight = 0;
  bool ended = false;
  bool cancelled = false;
  int failure = 0;
  PReply reply;
  for (;;) {
    // The free slots of the window are filled together, in one send, and
    // only once the replies that have arrived are taken: the host then finds
    // many requests per read and answers them with one write.
    if (inFlight == 0 || !fPump.replyBuffered()) {
      size_t queued = 0;
      while (!ended && failure == 0 && !cancelled && inFlight < static_cast<size_t>(fOptions.fWindow)) {
        if (!goOn(iControl)) {
          cancelled = true;
          break;
        }
        fPump.queue(kGetNextFileData, request);
        ++inFlight;
        ++queued;
      }
      if (queued > 0) {
        result = fPump.flush(fOptions.fReplyTimeoutMs, fError);
        if (result != 0) return result;  // the host closes the transfer of a lost connection
      }
    }
    if (inFlight == 0) break;
    result = fPump.receive(reply, fOptions.fReplyTimeoutMs, fError);
    if (result != 0) return result;
    --inFlight;
    if (ended || failure != 0 || cancelled) continue;  // draining
    if (reply.fStatus == 0) {
      PDataReader reader(reply.fPayload);
      const unsigned char* bytes = nullptr;
      size_t count = 0;
      const int read = reader.readBytesView(bytes, count);
      if (read != 0) return malformed(kGetNextFileData, read);
      if (count == 0) {
        ended = true;
      } else {
        failure = sink.write(bytes, count, fError);
        if (failure == 0) {
          done += static_cast<long long>(count);
          if (!report(iControl, done, total)) cancelled = true;
        }
      }
    } else if (reply.fStatus == ERR_END_OF_FILE) {
      ended = true;
    } else {
      failure = remoteError(reply.fStatus, kGetNextFileData, iRemote);
    }
    if (!ended && failure == 0 && !goOn(iControl)) cancelled = true;
  }
  result = closeTransfer(id, failure, iRemote);
  if (oBytes != nullptr) *oBytes = done;
  if (result != 0) return result;
  if (cancelled) return setError(fError, ERR_CLIENT_CANCELLED, PErrorOrigin::kTransfer, "cancelled", iRemote);
  if (done != total) {
    return setError(fError, ERR_CLIENT_SIZE_MISMATCH, PErrorOrigin::kTransfer,
                    "size check failed: received " + std::to_string(done) + " bytes where the remote size was " +
                        std::to_string(total) + " (the file changed during the download?)",
                    iRemote);
  }
  return sink.commit(fError);
}

int PClient::PImpl::put(const PSource& iSource, const std::string& iRemote, const PTransferControl& iControl,
                        long long* oBytes) {
  fError = PClientError();
  if (oBytes != nullptr) *oBytes = 0;
  // The local side first: a source that cannot be read must not empty the
  // remote file.
  PSourceReader source(iSource);
  int result = source.open(fError);
  if (result != 0) return result;
  std::vector<unsigned char> buffer;
  try {
    buffer.resize(static_cast<size_t>(fOptions.fWriteChunk));
  } catch (const std::bad_alloc&) {
    return setError(fError, PERR_NO_MEMORY, PErrorOrigin::kLocal, "", "");
  }
  int id = 0;
  result = openTransfer(iRemote, kWriteMode, id);
  if (result != 0) return result;

  const long long total = source.total();
  std::vector<unsigned char> request;
  std::deque<size_t> inFlight;  // block sizes, oldest first
  long long sent = 0;
  long long acknowledged = 0;
  bool ended = false;
  bool cancelled = false;
  int failure = 0;
  PReply reply;
  for (;;) {
    // As for downloads: free slots are filled once the arrived replies are
    // taken, and sent together.
    if (inFlight.empty() || !fPump.replyBuffered()) {
      size_t queued = 0;
      while (!ended && failure == 0 && !cancelled && inFlight.size() < static_cast<size_t>(fOptions.fWindow)) {
        if (!goOn(iControl)) {
          cancelled = true;
          break;
        }
        size_t count = 0;
        failure = source.fill(buffer.data(), buffer.size(), count, ended, [&iControl] { return goOn(iControl); },
                              cancelled, fError);
        if (failure != 0 || cancelled || count == 0) break;
        request.clear();
        PDataWriter writer(request);
        writer.writeInt32(id);
        writer.writeBytes(buffer.data(), count);
        fPump.queue(kSetNextFileData, request);
        inFlight.push_back(count);
        sent += static_cast<long long>(count);
        ++queued;
        // Large blocks go out as they are made: a window of them would be
        // megabytes in one buffer.
        if (request.size() >= 32 * 1024) {
          result = fPump.flush(fOptions.fReplyTimeoutMs, fError);
          if (result != 0) return result;
          queued = 0;
        }
      }
      if (queued > 0) {
        result = fPump.flush(fOptions.fReplyTimeoutMs, fError);
        if (result != 0) return result;
      }
    }
    if (inFlight.empty()) break;
    result = fPump.receive(reply, fOptions.fReplyTimeoutMs, fError);
    if (result != 0) return result;
    const size_t count = inFlight.front();
    inFlight.pop_front();
    if (reply.fStatus == 0) acknowledged += static_cast<long long>(count);
    if (failure != 0 || cancelled) continue;  // draining
    if (reply.fStatus != 0) {
      failure = remoteError(reply.fStatus, kSetNextFileData, iRemote);
      continue;
    }
    if (!report(iControl, acknowledged, total) || !goOn(iControl)) cancelled = true;
  }
  result = closeTransfer(id, failure, iRemote);
  if (oBytes != nullptr) *oBytes = acknowledged;
  if (result != 0) return result;
  if (cancelled) return setError(fError, ERR_CLIENT_CANCELLED, PErrorOrigin::kTransfer, "cancelled", iRemote);
  long long remoteSize = 0;
  result = size(iRemote, remoteSize);
  // A directory that may be written but not read cannot be checked; every
  // block was acknowledged.
  if (result == ERR_ACCESS_DENIED) {
    fError = PClientError();
    return 0;
  }
  if (result != 0) return result;
  if (remoteSize != sent) {
    return setError(fError, ERR_CLIENT_SIZE_MISMATCH, PErrorOrigin::kTransfer,
                    "size check failed: sent " + std::to_string(sent) + " bytes but the remote file holds " +
                        std::to_string(remoteSize),
                    iRemote);
  }
  return 0;
}

int PClient::PImpl::eachFile(const std::vector<PFileJob>& iJobs, const PBatchControl& iControl, std::vector<PClientError>& oErrors,
                              const EachRun& iRun) {
  if (!fPump.isOpen()) return fError.fCode;
  const bool plain = std::all_of(iJobs.begin(), iJobs.end(), [](const PFileJob& iJob) {
    return iJob.fMode == kModeDefault && iJob.fTimeNs == kTimeNow;
  });
  if (!plain || iControl.fVerify) return requireOps("keeping modes and times, and verifying,");
  std::vector<PClientError> errors(iJobs.size());
  long long done = 0, total = 0;
  for (const PFileJob& job : iJobs) total += std::max(job.fSize, 0LL);
  PTransferControl each;
  each.fContinue = iControl.fContinue;
  each.fProgress = [&](long long iDone, long long) { controlReports(iControl.fProgress, done + iDone, total); };
  PClientError first, stopped;  // stopped: a lost connection or a cancel, which ends the batch
  for (size_t i = 0; i < iJobs.size(); ++i) {
    PTransferResult result;
    if (stopped.fCode != 0) {
      errors[i] = stopped;
    } else if (iRun(iJobs[i], each, &result.fBytes) != 0) {
      errors[i] = fError;
      if (!fPump.isOpen() || fError.fCode == ERR_CLIENT_CANCELLED) stopped = fError;
    }
    done += result.fBytes;
    if (first.fCode == 0) first = errors[i];
    if (iControl.fDone) iControl.fDone(i, errors[i], result);
  }
  oErrors.swap(errors);
  fError = first;
  return first.fCode;
}

// ----------------------------------------------------------- PClient

PClient::PClient() : fImpl(new PImpl()) {}

PClient::PClient(const PClientOptions& iOptions) : fImpl(new PImpl()) {
  if (setOptions(iOptions) != 0) fImpl->fOptions = PClientOptions();
}

PClient::~PClient() = default;

int PClient::setOptions(const PClientOptions& iOptions) {
  fImpl->fError = PClientError();
  const char* wrong = nullptr;
  if (iOptions.fConnectTimeoutMs < 1 || iOptions.fConnectTimeoutMs > kMaxTimeoutMs) {
    wrong = "connect time-out must be 1 ms to 24 h";
  } else if (iOptions.fReplyTimeoutMs < 1 || iOptions.fReplyTimeoutMs > kMaxTimeoutMs) {
    wrong = "reply time-out must be 1 ms to 24 h";
  } else if (iOptions.fWindow < 1 || iOptions.fWindow > kMaxWindow) {
    wrong = "window must be 1 to 1024";
  } else if (iOptions.fReadChunk < 1 || iOptions.fReadChunk > kMaxReadChunk) {
    wrong = "download chunk must be 1 to 8192 bytes";
  } else if (iOptions.fWriteChunk < 1 || iOptions.fWriteChunk > kMaxWriteChunk) {
    wrong = "upload chunk must be 1 to 1048528 bytes";
  } else if (iOptions.fRangeChunk < 0) {
    wrong = "ranged chunk must be 0 (the host's) or more bytes";
  } else if (iOptions.fHandles < 1 || iOptions.fHandles > kMaxWindow) {
    wrong = "handles must be 1 to 1024";
  }
  if (wrong != nullptr) return setError(fImpl->fError, ERR_INVALID_ARG, PErrorOrigin::kArgument, wrong, "");
  fImpl->fOptions = iOptions;
  return 0;
}

const PClientOptions& PClient::options() const { return fImpl->fOptions; }
void PClient::setTls(const PClientTls& iTls) { fImpl->fTls = iTls; }
const PClientTls& PClient::tls() const { return fImpl->fTls; }
void PClient::setMqtt(const PClientMqtt& iMqtt) { fImpl->fMqtt = iMqtt; }
const PClientMqtt& PClient::mqtt() const { return fImpl->fMqtt; }
void PClient::setBrokerShare(std::shared_ptr<PBrokerShare> iShare) { fImpl->fShare = std::move(iShare); }
int PClient::connect(const std::string& iEndpoint) {
  return fImpl->guard([&] { return fImpl->connect(iEndpoint); });
}
void PClient::close() { fImpl->fPump.close(); }
bool PClient::isConnected() const { return fImpl->fPump.isOpen(); }
const std::string& PClient::endpoint() const { return fImpl->fPump.endpoint(); }
const PClientError& PClient::lastError() const { return fImpl->fError; }

int PClient::size(const std::string& iPath, long long& oSize) {
  return fImpl->guard([&] { return fImpl->size(iPath, oSize); });
}
int PClient::exists(const std::string& iPath, bool& oExists) {
  return fImpl->guard([&] { return fImpl->flag(kIsExists, iPath, oExists); });
}
int PClient::isFile(const std::string& iPath, bool& oIsFile) {
  return fImpl->guard([&] { return fImpl->flag(kIsFile, iPath, oIsFile); });
}
int PClient::list(const std::string& iPath, std::vector<std::string>& oNames) {
  return fImpl->guard([&] { return fImpl->list(iPath, oNames); });
}
int PClient::makeDir(const std::string& iPath) {
  return fImpl->guard([&] { return fImpl->simple(kMakeDir, iPath); });
}
int PClient::deleteFile(const std::string& iPath) {
  return fImpl->guard([&] { return fImpl->simple(kDeleteFile, iPath); });
}
int PClient::deleteDir(const std::string& iPath) {
  return fImpl->guard([&] { return fImpl->simple(kDeleteDir, iPath); });
}

int PClient::get(const std::string& iRemote, const PSink& iSink, const PTransferControl& iControl, long long* oBytes) {
  return fImpl->guard([&] { return fImpl->get(iRemote, iSink, iControl, oBytes); });
}

int PClient::put(const PSource& iSource, const std::string& iRemote, const PTransferControl& iControl,
                 long long* oBytes) {
  return fImpl->guard([&] { return fImpl->put(iSource, iRemote, iControl, oBytes); });
}

bool PClient::hasFileOps() {
  bool present = false;
  fImpl->guard([&] {
    present = fImpl->hasOps();
    return 0;
  });
  return present;
}
int PClient::sessionInfo(PSessionInfo& oInfo) {
  return fImpl->guard([&] { return fImpl->sessionInfo(oInfo); });
}
int PClient::stat(const std::string& iPath, PRemoteStat& oStat) {
  return fImpl->guard([&] { return fImpl->stat(iPath, oStat); });
}
int PClient::listEntries(const std::string& iPath, std::vector<PRemoteEntry>& oEntries) {
  return fImpl->guard([&] { return fImpl->listEntries(iPath, oEntries); });
}
int PClient::listTree(const std::string& iRoot, std::vector<PTreeEntry>& oEntries) {
  return fImpl->guard([&] { return fImpl->listTree(iRoot, oEntries); });
}
int PClient::checksum(const std::string& iPath, PDigest& oDigest, const PTransferControl& iControl) {
  std::vector<PDigest> digests;
  std::vector<PClientError> errors;
  const int result = checksums({iPath}, digests, errors, iControl);
  if (result == 0) oDigest = digests[0];
  return result;
}
int PClient::checksums(const std::vector<std::string>& iPaths, std::vector<PDigest>& oDigests, std::vector<PClientError>& oErrors,
                       const PTransferControl& iControl) {
  return fImpl->guard([&] {
    fImpl->fError = PClientError();
    int result = fImpl->requireOps("checksums");
    std::vector<PImpl::SumJob> jobs(iPaths.size());
    for (size_t i = 0; i < iPaths.size() && result == 0; ++i) {
      jobs[i].fPath = iPaths[i];
      std::vector<unsigned char> payload;
      result = fImpl->pathPayload(iPaths[i], payload);
    }
    if (result == 0) result = fImpl->checksums(jobs, iControl);
    if (result != 0) return result;
    oDigests.clear();
    oErrors.clear();
    for (const PImpl::SumJob& job : jobs) {
      oDigests.push_back(job.fDigest);
      oErrors.push_back(job.fError);
      if (result == 0 && job.fError.fCode != 0) {
        fImpl->fError = job.fError;
        result = job.fError.fCode;
      }
    }
    return result;
  });
}
int PClient::download(const std::string& iRemote, const PSink& iSink, const PTransferOptions& iOptions,
                      const PTransferControl& iControl, PTransferResult* oResult) {
  return fImpl->guard([&] { return fImpl->download(iRemote, iSink, iOptions, iControl, oResult); });
}
int PClient::upload(const PSource& iSource, const std::string& iRemote, const PTransferOptions& iOptions,
                    const PTransferControl& iControl, PTransferResult* oResult) {
  return fImpl->guard([&] { return fImpl->upload(iSource, iRemote, iOptions, iControl, oResult); });
}
int PClient::uploadFiles(const std::vector<PFileJob>& iJobs, const PBatchControl& iControl, std::vector<PClientError>& oErrors) {
  return fImpl->guard([&] { return fImpl->uploadFiles(iJobs, iControl, oErrors); });
}
int PClient::downloadFiles(const std::vector<PFileJob>& iJobs, const PBatchControl& iControl,
                           std::vector<PClientError>& oErrors) {
  return fImpl->guard([&] { return fImpl->downloadFiles(iJobs, iControl, oErrors); });
}
int PClient::makeDirs(const std::vector<std::string>& iPaths, std::vector<PClientError>& oErrors) {
  return fImpl->guard([&] { return fImpl->makeDirs(iPaths, oErrors); });
}
int PClient::rename(const std::string& iFrom, const std::string& iTo, bool iReplace) {
  return fImpl->guard([&] { return fImpl->rename(iFrom, iTo, iReplace); });
}
int PClient::setAttributes(const std::string& iPath, int iMode, long long iTimeNs) {
  return fImpl->guard([&] { return fImpl->setAttributes(iPath, iMode, iTimeNs); });
}
int PClient::setAttributes(const std::vector<PAttributes>& iChanges, std::vector<PClientError>& oErrors) {
  return fImpl->guard([&] { return fImpl->setAttributes(iChanges, oErrors); });
}
int PClient::removeTree(const std::string& iPath) {
  return fImpl->guard([&] { return fImpl->removeTree(iPath); });
}
