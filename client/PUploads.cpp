// Atomic uploads through the file-operations module: BeginUpload, the data
// in ranged writes (the holes of a sparse file left out), then a commit,
// many files in flight at once and committed together; resuming a kept
// upload; and the fall back to the file-access transfer.
#include <algorithm>
#include <chrono>
#include <thread>
#include <deque>
#include <memory>

#include "PClientImpl.h"
#include "PLocalIo.h"
#include "PWire.h"
#include "zevo/protocol/PFileOpsProtocol.h"

namespace {

const std::string kOpsModule = kFileOpsModule;

// What a reply answers, in the low bits of its tag (the job above them).
enum Kind : uint64_t { kStat, kBegin, kWrite, kCommit, kGroup, kClose };
constexpr int kKindBits = 4;
constexpr size_t kFlushAt = 256 * 1024;

struct PUpJob {
  enum class State { kWaiting, kBeginning, kWriting, kWritten, kCommitting, kClosing, kEnded };

  PUpJob(const PSource& iSource, std::string iRemote) : fSource(iSource), fReader(fSource), fRemote(std::move(iRemote)) {}
  bool open() const { return fState != State::kWaiting && fState != State::kEnded; }
  bool busy() const { return fState == State::kBeginning || !fWrites.empty(); }

  PSource fSource;
  PSourceReader fReader;
  std::string fRemote;
  int fMode = kModeDefault;
  long long fTimeNs = kTimeNow;
  bool fResumable = false;
  std::function<void(const std::string&)> fOnToken;

  State fState = State::kWaiting;
  bool fOpened = false;    // the source is open
  int fHandle = 0;
  bool fExists = true;     // the remote file existed (Stat), for kModeDefault
  long long fOffset = 0;   // the next byte to send
  long long fDataEnd = 0;  // where the data fOffset is in ends
  long long fEnd = -1;     // the source's size, once known
  std::deque<size_t> fWrites;  // sizes of the writes in flight
  std::unique_ptr<PSha256> fHash;
  PClientError fError;
  PTransferResult fResult;
};

class PUploadPipeline final : public PPipelineJob {
 public:
  PUploadPipeline(PClient::PImpl& ioClient, std::vector<std::unique_ptr<PUpJob>>& ioJobs, const PBatchControl& iControl,
                  bool iBatch)
      : fClient(ioClient), fJobs(ioJobs), fControl(iControl), fBatch(iBatch), fHandles(ioClient.fOptions.fHandles),
        fUmask(processUmask()) {}
  // The total progress reports: iTotal, or (-1) the sizes of the sources
  // as they are opened.
  void setTotal(long long iTotal) {
    fTotal = std::max(iTotal, 0LL);
    fTotalFromSources = iTotal < 0;
  }

  int fill() override;
  int onReply(const PReplyView& iReply) override;
  bool fCancelled = false;
  bool fVerify = false;

 private:
  bool room() const {
    return fClient.fPump.pending() < static_cast<size_t>(fClient.window(fBatch)) && fInFlight < fClient.byteWindow();
  }
  int begin(size_t iJob);
  int beginMore();
  int queueWrite(size_t iJob);
  void commitReady();
  void queueClose(size_t iJob);
  void end(size_t iJob);
  void fail(size_t iJob, int iStatus, uint32_t iAction);
  int committedMode(const PUpJob& iJob) const;
  long long committedTime(const PUpJob& iJob) const;
  int onBegin(size_t iJob, const PReplyView& iReply);
  int onGroup(const PReplyView& iReply);
  void queue(uint32_t iAction, const std::vector<unsigned char>& iPayload, size_t iJob, Kind iKind) {
    fClient.fPump.queue(kOpsModule, iAction, iPayload, static_cast<uint64_t>(iJob) << kKindBits | iKind);
  }

  PClient::PImpl& fClient;
  std::vector<std::unique_ptr<PUpJob>>& fJobs;
  const PBatchControl& fControl;
  const bool fBatch;
  int fHandles;  // lowered when the host refuses one more
  const unsigned int fUmask;
  size_t fNext = 0;
  std::deque<size_t> fRetry;  // refused for want of a handle: begun again
  int fOpen = 0;
  int fCommitting = 0;  // of fOpen, those whose commit is in flight
  size_t fInFlight = 0;       // bytes of writes in flight
  std::deque<std::vector<size_t>> fGroups;  // CommitGroups in flight
  long long fDone = 0;
  long long fTotal = 0;
  bool fTotalFromSources = true;
};

int PUploadPipeline::fill() {
  if (!fCancelled && !controlGoesOn(fControl.fContinue)) fCancelled = true;
  int result = beginMore();
  for (size_t i = 0; i < fJobs.size() && result == 0; ++i) {
    PUpJob& job = *fJobs[i];
    while (result == 0 && !fCancelled && job.fState == PUpJob::State::kWriting && room()) result = queueWrite(i);
    if (job.open() && !job.busy() && job.fState != PUpJob::State::kCommitting && job.fState != PUpJob::State::kClosing &&
        (fCancelled || job.fError.fCode != 0) && job.fHandle != 0) {
      queueClose(i);
    }
  }
  if (result != 0 || fCancelled) return result;
  // The uploads after a commit begin behind it, as it frees their handles.
  commitReady();
  return beginMore();
}

int PUploadPipeline::beginMore() {
  while (!fCancelled && fOpen - fCommitting < fHandles && room() && (!fRetry.empty() || fNext < fJobs.size())) {
    size_t job = fNext;
    if (!fRetry.empty()) {
      job = fRetry.front();
      fRetry.pop_front();
    } else {
      ++fNext;
    }
    const int result = begin(job);
    if (result != 0) return result;
  }
  return 0;
}

int PUploadPipeline::begin(size_t iJob) {
  PUpJob& job = *fJobs[iJob];
  if (job.fHandle != 0) {  // resumed: its handle is there
    job.fState = PUpJob::State::kWriting;
    job.fEnd = job.fReader.total();
    if (fTotalFromSources) fTotal += job.fEnd;
    fDone += job.fOffset;
    ++fOpen;
    return 0;
  }
  if (!job.fOpened && job.fReader.open(job.fError) != 0) {
    end(iJob);
    return 0;
  }
  if (!job.fOpened && fVerify) job.fHash = std::make_unique<PSha256>();
  if (!job.fOpened && fTotalFromSources) fTotal += std::max(job.fReader.total(), 0LL);
  job.fOpened = true;
  job.fEnd = job.fReader.seekable() ? job.fReader.total() : -1;
  std::vector<unsigned char> payload;
  if (fClient.pathPayload(job.fRemote, payload) != 0) {
    job.fError = fClient.fError;
    fClient.fError = PClientError();
    end(iJob);
    return 0;
  }
  if (job.fMode == kModeDefault && job.fReader.mode() >= 0) queue(kOpsStat, payload, iJob, kStat);
  PWriter(payload).flag(job.fResumable);
  queue(kOpsBeginUpload, payload, iJob, kBegin);
  job.fState = PUpJob::State::kBeginning;
  ++fOpen;
  return 0;
}

// The next block of the job's data: its holes skipped, read into the
// request's own bytes.
int PUploadPipeline::queueWrite(size_t iJob) {
  PUpJob& job = *fJobs[iJob];
  const size_t chunk = static_cast<size_t>(fClient.chunk());
  if (job.fReader.seekable() && job.fOffset >= job.fDataEnd) {
    job.fReader.nextData(job.fOffset, job.fOffset, job.fDataEnd);
    job.fOffset = std::min(job.fOffset, job.fEnd);
  }
  if (job.fEnd >= 0 && job.fOffset >= job.fEnd) {
    job.fState = PUpJob::State::kWritten;
    return 0;
  }
  const size_t wanted = job.fEnd >= 0 ? static_cast<size_t>(std::min<long long>(chunk, job.fDataEnd - job.fOffset)) : chunk;
  std::vector<unsigned char> prefix;
  PWriter(prefix).i32(job.fHandle).i64(job.fOffset);
  unsigned char* bytes = fClient.fPump.queueBlock(kOpsModule, kOpsWriteAt, prefix, wanted,
                                                  static_cast<uint64_t>(iJob) << kKindBits | kWrite);
  size_t got = 0;
  bool ended = false, cancelled = false;
  const int read = job.fReader.seekable()
                       ? job.fReader.readAt(job.fOffset, bytes, wanted, got, job.fError)
                       : job.fReader.fill(bytes, wanted, got, ended, [this] { return controlGoesOn(fControl.fContinue); },
                                          cancelled, job.fError);
  if (got == 0) {
    fClient.fPump.dropBlock();  // nothing to write: the end, or a failed read
  } else {
    fClient.fPump.trimBlock(got);
  }
  if (job.fHash) {
    job.fHash->zeros(job.fOffset - job.fHash->hashed());
    job.fHash->update(bytes, got);
  }
  // The end of a stream, or of a file that shrank meanwhile.
  if (read == 0 && (job.fReader.seekable() ? got < wanted : ended)) job.fEnd = job.fOffset + static_cast<long long>(got);
  if (cancelled) fCancelled = true;
  job.fOffset += static_cast<long long>(got);
  job.fResult.fBytes += static_cast<long long>(got);
  if (got > 0) job.fWrites.push_back(got);
  fInFlight += got;
  if (read != 0 || cancelled) job.fState = PUpJob::State::kWritten;  // the reply ends it
  return fClient.fPump.queued() >= kFlushAt ? fClient.fPump.flush(fClient.fOptions.fReplyTimeoutMs, fClient.fError) : 0;
}

int PUploadPipeline::committedMode(const PUpJob& iJob) const {
  if (iJob.fMode >= 0) return iJob.fMode;
  if (iJob.fMode == kModeSource) return iJob.fReader.mode();
  return iJob.fReader.mode() >= 0 && !iJob.fExists ? static_cast<int>(iJob.fReader.mode() & ~fUmask) : -1;
}

long long PUploadPipeline::committedTime(const PUpJob& iJob) const {
  if (iJob.fTimeNs >= 0) return iJob.fTimeNs;
  return iJob.fTimeNs == kTimeSource ? iJob.fReader.timeNs() : -1;
}

// Once every open upload is written, or waits: one commit for them all.
void PUploadPipeline::commitReady() {
  std::vector<size_t> ready;
  for (size_t i = 0; i < fJobs.size(); ++i) {
    const PUpJob& job = *fJobs[i];
    // One still being written, or whose last writes are not yet answered, joins the group.
    if (job.fState == PUpJob::State::kBeginning || job.fState == PUpJob::State::kWriting) return;
    if (job.fState == PUpJob::State::kWritten && !job.fWrites.empty()) return;
    if (job.fState == PUpJob::State::kWritten && job.fWrites.empty() && job.fError.fCode == 0) ready.push_back(i);
  }
  if (ready.empty() || (fOpen - fCommitting < fHandles && (fNext < fJobs.size() || !fRetry.empty()))) return;
  if (ready.size() > static_cast<size_t>(kFileOpsMaxGroup)) ready.resize(kFileOpsMaxGroup);
  std::vector<unsigned char> payload;
  PWriter writer(payload);
  if (ready.size() > 1) {
    writer.i32(static_cast<int>(ready.size()));
    for (const size_t i : ready) writer.i32(fJobs[i]->fHandle);
  }
  for (const size_t i : ready) {
    PUpJob& job = *fJobs[i];
    if (ready.size() == 1) writer.i32(job.fHandle);
    writer.i64(std::max(job.fEnd, 0LL)).i32(committedMode(job)).i64(committedTime(job));
    job.fState = PUpJob::State::kCommitting;
    ++fCommitting;
  }
  if (ready.size() == 1) {
    queue(kOpsCommitUpload, payload, ready[0], kCommit);
  } else {
    queue(kOpsCommitGroup, payload, ready[0], kGroup);
    fGroups.push_back(std::move(ready));
  }
}

void PUploadPipeline::queueClose(size_t iJob) {
  PUpJob& job = *fJobs[iJob];
  std::vector<unsigned char> payload;
  PWriter(payload).i32(job.fHandle);
  // A resumable upload that was cut is kept by the host, as when its
  // connection ends.
  const bool keep = fCancelled && job.fResumable && job.fError.fCode == 0;
  queue(keep ? kOpsReleaseHandle : kOpsCloseHandle, payload, iJob, kClose);
  job.fState = PUpJob::State::kClosing;
}

void PUploadPipeline::end(size_t iJob) {
  PUpJob& job = *fJobs[iJob];
  if (job.open()) --fOpen;
  if (job.fState == PUpJob::State::kCommitting) --fCommitting;
  const bool closed = job.fState == PUpJob::State::kClosing;
  job.fState = PUpJob::State::kEnded;
  job.fResult.fSize = std::max(job.fEnd, 0LL);
  if (job.fError.fCode == 0 && closed) {
    setError(job.fError, ERR_CLIENT_CANCELLED, PErrorOrigin::kTransfer, "cancelled", job.fRemote);
  }
  if (job.fHash && job.fError.fCode == 0) {
    job.fHash->zeros(job.fResult.fSize - job.fHash->hashed());  // a hole at the end
    job.fResult.fDigest = job.fHash->digest();
  }
  if (!fVerify && fControl.fDone) fControl.fDone(iJob, job.fError, job.fResult);
}

void PUploadPipeline::fail(size_t iJob, int iStatus, uint32_t iAction) {
  PUpJob& job = *fJobs[iJob];
  if (job.fError.fCode == 0) fClient.remoteError(iStatus, iAction, job.fRemote, &job.fError);
  if (job.fState == PUpJob::State::kCommitting) --fCommitting;
  // No more data: closed once its writes in flight are answered.
  if (job.fState == PUpJob::State::kWriting || job.fState == PUpJob::State::kCommitting) job.fState = PUpJob::State::kWritten;
}

int PUploadPipeline::onReply(const PReplyView& iReply) {
  const size_t index = static_cast<size_t>(iReply.fTag >> kKindBits);
  PUpJob& job = *fJobs[index];
  switch (static_cast<Kind>(iReply.fTag & ((1u << kKindBits) - 1))) {
    case kStat:
      job.fExists = iReply.fStatus != PERR_NOT_FOUND;
      return 0;
    case kBegin: return onBegin(index, iReply);
    case kWrite: {
      const size_t count = job.fWrites.front();
      job.fWrites.pop_front();
      fInFlight -= count;
      if (iReply.fStatus != 0) {
        fail(index, iReply.fStatus, kOpsWriteAt);
      } else {
        fDone += static_cast<long long>(count);
        if (!controlReports(fControl.fProgress, fDone, fTotal)) fCancelled = true;
      }
      return 0;
    }
    case kCommit:
      if (iReply.fStatus != 0) {
        fail(index, iReply.fStatus, kOpsCommitUpload);  // closed at the next fill
      } else {
        end(index);
      }
      return 0;
    case kGroup: return onGroup(iReply);
    case kClose: end(index); return 0;
  }
  return 0;
}

int PUploadPipeline::onBegin(size_t iJob, const PReplyView& iReply) {
  PUpJob& job = *fJobs[iJob];
  if (iReply.fStatus == PERR_TOO_MANY_FILES && fOpen > 1) {
    // The host's limit of handles per connection: fewer at once from now.
    --fOpen;
    fHandles = std::max(1, fOpen - fCommitting);
    job.fState = PUpJob::State::kWaiting;
    fRetry.push_back(iJob);
    return 0;
  }
  if (iReply.fStatus != 0) {
    fail(iJob, iReply.fStatus, kOpsBeginUpload);
    end(iJob);
    return 0;
  }
  PViewReader reader(iReply.fPayload, iReply.fPayloadLength);
  std::string token;
  if (!reader.i32(job.fHandle) || !reader.str(token) || job.fHandle == 0) return fClient.malformed(kOpsBeginUpload, reader.code());
  job.fState = PUpJob::State::kWriting;
  if (job.fOnToken && !token.empty()) {
    try {
      job.fOnToken(token);
    } catch (...) {
      fCancelled = true;
    }
  }
  return 0;
}

int PUploadPipeline::onGroup(const PReplyView& iReply) {
  const std::vector<size_t> members = std::move(fGroups.front());
  fGroups.pop_front();
  PViewReader reader(iReply.fPayload, iReply.fPayloadLength);
  int count = 0;
  if (!reader.i32(count) || (count != 0 && count != static_cast<int>(members.size()))) {
    return fClient.malformed(kOpsCommitGroup, reader.code() != 0 ? reader.code() : ERR_DATA_TYPE);
  }
  for (size_t i = 0; i < members.size(); ++i) {
    int status = iReply.fStatus;
    if (count != 0 && !reader.i32(status)) return fClient.malformed(kOpsCommitGroup, reader.code());
    if (status == 0) {
      end(members[i]);
    } else {
      fail(members[i], status, kOpsCommitGroup);  // closed at the next fill
    }
  }
  return 0;
}

// Runs the uploads, then checks them (iVerify); a job the run left has the
// run's error. oErrors: one per job.
int runUploads(PClient::PImpl& ioClient, std::vector<std::unique_ptr<PUpJob>>& ioJobs, const PBatchControl& iControl,
               bool iBatch, long long iTotal, std::vector<PClientError>& oErrors) {
  PUploadPipeline pipeline(ioClient, ioJobs, iControl, iBatch);
  pipeline.fVerify = iControl.fVerify;
  pipeline.setTotal(iTotal);
  const int result = runPipeline(ioClient.fPump, pipeline, ioClient.fOptions.fReplyTimeoutMs, ioClient.fError);
  std::vector<PClient::PImpl::BatchJob> jobs;
  for (const auto& job : ioJobs) jobs.push_back({&job->fRemote, &job->fError, &job->fResult, job->fState == PUpJob::State::kEnded});
  return ioClient.endBatch(result, jobs, iControl, oErrors);
}

// A kept upload under iToken: given to ioJob to go on with from where its
// data still matches the source (iContinue), or closed. 0 also when the
// host keeps nothing under the token (the upload starts afresh).
int resume(PClient::PImpl& ioClient, PUpJob& ioJob, const std::string& iToken, bool iContinue, bool iVerify) {
  std::vector<unsigned char> payload;
  PWriter(payload).str(iToken);
  PReply reply;
  int result = ioClient.opsCall(kOpsResumeUpload, payload, ioJob.fRemote, reply);
  // A host keeps an upload once it has seen its connection end, which may
  // come just after a new connection's first request: asked again shortly.
  for (int again = 0; again < 10 && iContinue && result == FOPS_ERR_NO_UPLOAD; ++again) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    result = ioClient.opsCall(kOpsResumeUpload, payload, ioJob.fRemote, reply);
  }
  if (result == FOPS_ERR_NO_UPLOAD) ioClient.fError = PClientError();
  if (result != 0) return result == FOPS_ERR_NO_UPLOAD ? 0 : result;
  PViewReader reader(reply.fPayload.data(), reply.fPayload.size());
  int handle = 0;
  long long size = 0;
  if (!reader.i32(handle) || !reader.i64(size) || handle == 0) return ioClient.malformed(kOpsResumeUpload, reader.code());
  payload.clear();
  PWriter(payload).i32(handle);
  if (!iContinue || ioJob.fReader.open(ioJob.fError) != 0 || !ioJob.fReader.seekable() || size > ioJob.fReader.total()) {
    // Not to be continued: the kept upload goes.
    if (ioJob.fError.fCode != 0) return setError(ioClient.fError, ioJob.fError.fCode, ioJob.fError.fOrigin, ioJob.fError.fText, ioJob.fError.fWhat);
    return ioClient.opsCall(kOpsCloseHandle, payload, ioJob.fRemote, reply);
  }
  ioJob.fOpened = true;
  ioJob.fHandle = handle;
  // What the host holds must be the source's first bytes.
  auto local = std::make_unique<PSha256>();
  std::vector<unsigned char> buffer(1 << 20);
  for (long long at = 0; at < size;) {
    size_t got = 0;
    if (ioJob.fReader.readAt(at, buffer.data(), static_cast<size_t>(std::min<long long>(buffer.size(), size - at)), got, ioClient.fError) != 0) {
      return ioClient.fError.fCode;
    }
    if (got == 0) return setError(ioClient.fError, ERR_CLIENT_SIZE_MISMATCH, PErrorOrigin::kLocal, "the file shrank", ioJob.fRemote);
    local->update(buffer.data(), got);
    at += static_cast<long long>(got);
  }
  std::vector<PClient::PImpl::SumJob> sums(1);
  sums[0].fUpload = handle;
  sums[0].fLength = size;
  sums[0].fPath = ioJob.fRemote;
  result = ioClient.checksums(sums, {});
  if (result != 0) return result;
  const bool same = sums[0].fError.fCode == 0 && sums[0].fDigest == local->digest();
  ioJob.fOffset = same ? size : 0;
  ioJob.fResult.fStart = ioJob.fOffset;
  if (iVerify) ioJob.fHash = same ? std::move(local) : std::make_unique<PSha256>();
  return 0;
}

}  // namespace

int PClient::PImpl::upload(const PSource& iSource, const std::string& iRemote, const PTransferOptions& iOptions,
                           const PTransferControl& iControl, PTransferResult* oResult) {
  fError = PClientError();
  if (oResult != nullptr) *oResult = PTransferResult();
  if (!hasOps()) return plainTransfer(iOptions, oResult, [&](long long* oBytes) { return put(iSource, iRemote, iControl, oBytes); });
  std::vector<std::unique_ptr<PUpJob>> jobs;
  jobs.push_back(std::make_unique<PUpJob>(iSource, iRemote));
  PUpJob& job = *jobs[0];
  job.fMode = iOptions.fMode;
  job.fTimeNs = iOptions.fTimeNs;
  job.fResumable = iOptions.fResumable;
  job.fOnToken = iOptions.fOnToken;
  if (!iOptions.fToken.empty()) {
    const int result = resume(*this, job, iOptions.fToken, iOptions.fContinue, iOptions.fVerify);
    if (result != 0) return result;
  }
  PBatchControl control;
  control.fContinue = iControl.fContinue;
  control.fProgress = iControl.fProgress;
  control.fVerify = iOptions.fVerify;
  std::vector<PClientError> errors;
  const int result = runUploads(*this, jobs, control, false, -1, errors);
  if (oResult != nullptr) *oResult = job.fResult;
  if (result != 0 && fError.fCode == 0) fError = errors[0];
  return result;
}

int PClient::PImpl::uploadFiles(const std::vector<PFileJob>& iJobs, const PBatchControl& iControl,
                                std::vector<PClientError>& oErrors) {
  fError = PClientError();
  if (!hasOps()) {
    return eachFile(iJobs, iControl, oErrors, [&](const PFileJob& iJob, const PTransferControl& iEach, long long* oBytes) {
      return put(PSource::file(iJob.fLocal), iJob.fRemote, iEach, oBytes);
    });
  }
  std::vector<std::unique_ptr<PUpJob>> jobs;
  long long total = 0;
  for (const PFileJob& given : iJobs) {
    jobs.push_back(std::make_unique<PUpJob>(PSource::file(given.fLocal), given.fRemote));
    jobs.back()->fMode = given.fMode;
    jobs.back()->fTimeNs = given.fTimeNs;
    total += std::max(given.fSize, 0LL);
  }
  return runUploads(*this, jobs, iControl, true, total, oErrors);
}
