// Downloads through the file-operations module: OpenRead, the data ranges
// of a large file (its holes are not sent), ranged reads, many files in
// flight at once; going on from a partial file; and the fall back to the
// file-access transfer.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <deque>
#include <memory>

#include "PClientImpl.h"
#include "PLocalIo.h"
#include "PWire.h"
#include "zevo/PFd.h"
#include "zevo/protocol/PFileOpsProtocol.h"

namespace {

const std::string kOpsModule = kFileOpsModule;

enum Kind : uint64_t { kOpen, kRanges, kRead, kClose };
constexpr int kKindBits = 4;

struct PDownJob {
  enum class State { kWaiting, kOpening, kRanges, kReading, kClosing, kEnded };
  struct Read {
    long long fOffset;
    size_t fLength;
  };

  PDownJob(const PSink& iSink, std::string iRemote) : fSink(iSink), fWriter(fSink), fRemote(std::move(iRemote)) {}
  bool open() const { return fState != State::kWaiting && fState != State::kEnded; }

  PSink fSink;
  PSinkWriter fWriter;
  std::string fRemote;
  int fMode = kModeDefault;
  long long fTimeNs = kTimeNow;
  bool fPartial = false;  // written under its partial name, kept when cut

  State fState = State::kWaiting;
  int fHandle = 0;
  long long fSize = 0;
  int fRemoteMode = -1;
  long long fRemoteTime = -1;
  long long fStart = 0;     // the first byte asked (a partial file holds those before)
  std::deque<std::pair<long long, long long>> fRanges;  // data still to ask: [start, end)
  bool fRangesAsked = false;
  std::deque<Read> fReads;  // in flight
  bool fProbed = false;     // the byte past the end was asked
  long long fDelivered = 0;  // a stream sink: bytes given, holes as zeros
  std::unique_ptr<PSha256> fHash;
  PClientError fError;
  PTransferResult fResult;
};

class PDownloadPipeline final : public PPipelineJob {
 public:
  PDownloadPipeline(PClient::PImpl& ioClient, std::vector<std::unique_ptr<PDownJob>>& ioJobs, const PBatchControl& iControl,
                    bool iBatch, long long iTotal)
      : fClient(ioClient), fJobs(ioJobs), fControl(iControl), fBatch(iBatch), fTotal(iTotal), fUmask(processUmask()) {}

  int fill() override;
  int onReply(const PReplyView& iReply) override;
  bool fCancelled = false;

 private:
  bool room() const {
    return fClient.fPump.pending() < static_cast<size_t>(fClient.window(fBatch)) && fInFlight < fClient.byteWindow();
  }
  void queue(uint32_t iAction, const std::vector<unsigned char>& iPayload, size_t iJob, Kind iKind) {
    fClient.fPump.queue(kOpsModule, iAction, iPayload, static_cast<uint64_t>(iJob) << kKindBits | iKind);
  }
  void queueHandle(uint32_t iAction, PDownJob& ioJob, size_t iJob, Kind iKind, long long iOffset = -1, int iLength = -1);
  void queueReads(size_t iJob);
  int onOpen(size_t iJob, const PReplyView& iReply);
  int onRanges(size_t iJob, const PReplyView& iReply);
  int onRead(size_t iJob, const PReplyView& iReply);
  int deliver(PDownJob& ioJob, long long iOffset, const unsigned char* iBytes, size_t iCount);
  void finish(size_t iJob);
  void fail(size_t iJob, int iStatus, uint32_t iAction);

  PClient::PImpl& fClient;
  std::vector<std::unique_ptr<PDownJob>>& fJobs;
  const PBatchControl& fControl;
  const bool fBatch;
  long long fTotal;
  const unsigned int fUmask;
  size_t fNext = 0;
  int fOpen = 0;
  size_t fInFlight = 0;  // bytes asked and not yet answered
  long long fDone = 0;
};

void PDownloadPipeline::queueHandle(uint32_t iAction, PDownJob& ioJob, size_t iJob, Kind iKind, long long iOffset, int iLength) {
  std::vector<unsigned char> payload;
  PWriter writer(payload);
  writer.i32(ioJob.fHandle);
  if (iOffset >= 0) writer.i64(iOffset);
  if (iLength >= 0) writer.i32(iLength);
  queue(iAction, payload, iJob, iKind);
}

int PDownloadPipeline::fill() {
  if (!fCancelled && !controlGoesOn(fControl.fContinue)) fCancelled = true;
  for (size_t i = 0; i < fJobs.size(); ++i) {
    PDownJob& job = *fJobs[i];
    const bool stopping = fCancelled || job.fError.fCode != 0;
    if (job.fState == PDownJob::State::kRanges && !job.fRangesAsked && !stopping) {
      queueHandle(kOpsDataRanges, job, i, kRanges, job.fRanges.empty() ? job.fStart : job.fRanges.back().second);
      job.fRangesAsked = true;
    }
    if (job.fState == PDownJob::State::kReading && !stopping) queueReads(i);
    const bool idle = job.fReads.empty() && !job.fRangesAsked;
    if (job.open() && job.fHandle != 0 && job.fState != PDownJob::State::kClosing && idle &&
        (stopping || (job.fState == PDownJob::State::kReading && job.fProbed))) {
      queueHandle(kOpsCloseHandle, job, i, kClose);
      job.fState = PDownJob::State::kClosing;
    }
  }
  while (!fCancelled && fNext < fJobs.size() && fOpen < fClient.fOptions.fHandles && room()) {
    PDownJob& job = *fJobs[fNext];
    std::vector<unsigned char> payload;
    if (fClient.pathPayload(job.fRemote, payload) != 0) {
      job.fError = fClient.fError;
      fClient.fError = PClientError();
      finish(fNext++);
      continue;
    }
    job.fState = PDownJob::State::kOpening;
    ++fOpen;
    queue(kOpsOpenRead, payload, fNext++, kOpen);
  }
  return 0;
}

// The job's next blocks, in file order; the byte past the end last, which
// must not be there (the file grew).
void PDownloadPipeline::queueReads(size_t iJob) {
  PDownJob& job = *fJobs[iJob];
  const long long chunk = fClient.chunk();
  while (room() && !job.fProbed) {
    long long offset = job.fSize;
    int length = 1;
    if (!job.fRanges.empty()) {
      auto& range = job.fRanges.front();
      offset = range.first;
      length = static_cast<int>(std::min(chunk, range.second - range.first));
      range.first += length;
      if (range.first >= range.second) job.fRanges.pop_front();
    } else {
      job.fProbed = true;
    }
    queueHandle(kOpsReadAt, job, iJob, kRead, offset, length);
    job.fReads.push_back({offset, static_cast<size_t>(length)});
    fInFlight += static_cast<size_t>(length);
  }
}

void PDownloadPipeline::fail(size_t iJob, int iStatus, uint32_t iAction) {
  PDownJob& job = *fJobs[iJob];
  if (job.fError.fCode == 0) fClient.remoteError(iStatus, iAction, job.fRemote, &job.fError);
}

int PDownloadPipeline::onReply(const PReplyView& iReply) {
  const size_t index = static_cast<size_t>(iReply.fTag >> kKindBits);
  switch (static_cast<Kind>(iReply.fTag & ((1u << kKindBits) - 1))) {
    case kOpen: return onOpen(index, iReply);
    case kRanges: return onRanges(index, iReply);
    case kRead: return onRead(index, iReply);
    case kClose: finish(index); return 0;
  }
  return 0;
}

int PDownloadPipeline::onOpen(size_t iJob, const PReplyView& iReply) {
  PDownJob& job = *fJobs[iJob];
  if (iReply.fStatus != 0) {
    fail(iJob, iReply.fStatus, kOpsOpenRead);
    finish(iJob);
    return 0;
  }
  PViewReader reader(iReply.fPayload, iReply.fPayloadLength);
  if (!reader.i32(job.fHandle) || !reader.i64(job.fSize) || !reader.i32(job.fRemoteMode) || !reader.i64(job.fRemoteTime) ||
      job.fHandle == 0 || job.fSize < 0) {
    return fClient.malformed(kOpsOpenRead, reader.code() != 0 ? reader.code() : ERR_DATA_TYPE);
  }
  if (fCancelled) return 0;  // closed at the next fill
  // The local side only now: a remote failure makes nothing locally.
  long long have = 0;
  const int opened = job.fPartial ? job.fWriter.openPartial(job.fStart > 0, have, job.fError) : job.fWriter.open(job.fError);
  if (opened != 0) return 0;  // closed at the next fill
  if (job.fStart > 0 && have < job.fStart) {
    // The partial file shrank since it was checked: from the start.
    job.fStart = 0;
    job.fHash = job.fHash ? std::make_unique<PSha256>() : nullptr;
    job.fWriter.abort();
    if (job.fWriter.openPartial(false, have, job.fError) != 0) return 0;
  }
  fTotal += fBatch ? 0 : job.fSize;
  fDone += job.fStart;
  job.fResult.fStart = job.fStart;
  // Large files are read by their data ranges, small ones whole.
  job.fState = job.fSize - job.fStart > fClient.chunk() ? PDownJob::State::kRanges : PDownJob::State::kReading;
  if (job.fState == PDownJob::State::kReading && job.fSize > job.fStart) job.fRanges.push_back({job.fStart, job.fSize});
  return 0;
}

int PDownloadPipeline::onRanges(size_t iJob, const PReplyView& iReply) {
  PDownJob& job = *fJobs[iJob];
  job.fRangesAsked = false;
  if (iReply.fStatus != 0) {
    fail(iJob, iReply.fStatus, kOpsDataRanges);
    return 0;
  }
  PViewReader reader(iReply.fPayload, iReply.fPayloadLength);
  bool more = false;
  int count = 0;
  if (!reader.flag(more) || !reader.i32(count)) return fClient.malformed(kOpsDataRanges, reader.code());
  for (int i = 0; i < count; ++i) {
    long long start = 0, length = 0;
    if (!reader.i64(start) || !reader.i64(length)) return fClient.malformed(kOpsDataRanges, reader.code());
    const long long end = std::min(start + length, job.fSize);
    start = std::max({start, job.fStart, job.fRanges.empty() ? 0 : job.fRanges.back().second});
    if (start < end) job.fRanges.push_back({start, end});
  }
  if (!more || count == 0) job.fState = PDownJob::State::kReading;
  return 0;
}

int PDownloadPipeline::onRead(size_t iJob, const PReplyView& iReply) {
  PDownJob& job = *fJobs[iJob];
  const PDownJob::Read read = job.fReads.front();
  job.fReads.pop_front();
  fInFlight -= read.fLength;
  if (iReply.fStatus != 0) {
    fail(iJob, iReply.fStatus, kOpsReadAt);
    return 0;
  }
  PViewReader reader(iReply.fPayload, iReply.fPayloadLength);
  const unsigned char* bytes = nullptr;
  size_t count = 0;
  if (!reader.bytes(bytes, count) || count > read.fLength) return fClient.malformed(kOpsReadAt, reader.code());
  if (fCancelled || job.fError.fCode != 0) return 0;  // draining
  const bool probe = read.fOffset >= job.fSize;
  if ((probe && count > 0) || (!probe && count < read.fLength)) {
    setError(job.fError, ERR_CLIENT_SIZE_MISMATCH, PErrorOrigin::kTransfer,
             std::string("size check failed: the file ") + (probe ? "grew" : "shrank") + " during the download (it held " +
                 std::to_string(job.fSize) + " bytes when opened)",
             job.fRemote);
    return 0;
  }
  return deliver(job, read.fOffset, bytes, count);
}

int PDownloadPipeline::deliver(PDownJob& ioJob, long long iOffset, const unsigned char* iBytes, size_t iCount) {
  static const unsigned char kZeros[65536] = {};
  if (ioJob.fHash) {
    ioJob.fHash->zeros(iOffset - ioJob.fHash->hashed());
    ioJob.fHash->update(iBytes, iCount);
  }
  int result = 0;
  if (ioJob.fWriter.positional()) {
    result = ioJob.fWriter.writeAt(iOffset, iBytes, iCount, ioJob.fError);
  } else {
    // A hole, for a sink that cannot skip it: zeros.
    while (result == 0 && ioJob.fDelivered < iOffset) {
      const size_t zeros = static_cast<size_t>(std::min<long long>(sizeof kZeros, iOffset - ioJob.fDelivered));
      result = ioJob.fWriter.write(kZeros, zeros, ioJob.fError);
      ioJob.fDelivered += static_cast<long long>(zeros);
    }
    if (result == 0 && iCount > 0) result = ioJob.fWriter.write(iBytes, iCount, ioJob.fError);
  }
  ioJob.fDelivered = iOffset + static_cast<long long>(iCount);
  ioJob.fResult.fBytes += static_cast<long long>(iCount);
  fDone += static_cast<long long>(iCount);
  if (!controlReports(fControl.fProgress, fDone, fTotal)) fCancelled = true;
  return 0;
}

// Once its handle is closed: the sink made final, or dropped.
void PDownloadPipeline::finish(size_t iJob) {
  PDownJob& job = *fJobs[iJob];
  if (job.open()) --fOpen;
  const bool whole = job.fState == PDownJob::State::kClosing && job.fError.fCode == 0 && !fCancelled;
  job.fState = PDownJob::State::kEnded;
  if (whole) {
    int mode = job.fMode >= 0 ? job.fMode : job.fMode == kModeSource ? job.fRemoteMode : -1;
    if (job.fMode == kModeDefault && !job.fWriter.replaces() && job.fRemoteMode >= 0) mode = job.fRemoteMode & static_cast<int>(~fUmask);
    const long long time = job.fTimeNs >= 0 ? job.fTimeNs : job.fTimeNs == kTimeSource ? job.fRemoteTime : -1;
    if (job.fHash) job.fHash->zeros(job.fSize - job.fHash->hashed());
    if (!job.fWriter.positional()) deliver(job, job.fSize, nullptr, 0);
    if (job.fError.fCode == 0 && job.fWriter.finish(job.fSize, mode, time, job.fError) == 0) job.fWriter.commit(job.fError);
  }
  if (job.fError.fCode == 0 && !whole) setError(job.fError, ERR_CLIENT_CANCELLED, PErrorOrigin::kTransfer, "cancelled", job.fRemote);
  // A cut download keeps its partial file; any other failure drops it.
  if (job.fError.fCode == ERR_CLIENT_CANCELLED) job.fWriter.abort();
  if (job.fError.fCode != 0) job.fWriter.discard();
  job.fResult.fSize = job.fSize;
  if (job.fHash && job.fError.fCode == 0) job.fResult.fDigest = job.fHash->digest();
  if (!fControl.fVerify && fControl.fDone) fControl.fDone(iJob, job.fError, job.fResult);
}

int runDownloads(PClient::PImpl& ioClient, std::vector<std::unique_ptr<PDownJob>>& ioJobs, const PBatchControl& iControl,
                 bool iBatch, long long iTotal, std::vector<PClientError>& oErrors) {
  PDownloadPipeline pipeline(ioClient, ioJobs, iControl, iBatch, iTotal);
  const int result = runPipeline(ioClient.fPump, pipeline, ioClient.fOptions.fReplyTimeoutMs, ioClient.fError);
  std::vector<PClient::PImpl::BatchJob> jobs;
  for (const auto& job : ioJobs) {
    const bool ended = job->fState == PDownJob::State::kEnded;
    if (!ended) job->fWriter.abort();  // cut: a partial file stays
    jobs.push_back({&job->fRemote, &job->fError, &job->fResult, ended});
  }
  return ioClient.endBatch(result, jobs, iControl, oErrors);
}

// How much of the partial file iPartial the download can go on from: its
// bytes when their SHA-256 is that of the remote file's first bytes, else 0.
int partialStart(PClient::PImpl& ioClient, const std::string& iPartial, PDownJob& ioJob) {
  PFd fd(::open(iPartial.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  auto local = std::make_unique<PSha256>();
  std::vector<unsigned char> buffer(1 << 20);
  for (ssize_t got; fd.valid() && (got = ::read(fd.get(), buffer.data(), buffer.size())) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return setLocalError(ioClient.fError, errno, iPartial);
    local->update(buffer.data(), static_cast<size_t>(got));
  }
  if (local->hashed() == 0) return 0;
  std::vector<PClient::PImpl::SumJob> sums(1);
  sums[0].fPath = ioJob.fRemote;
  sums[0].fLength = local->hashed();
  const int result = ioClient.checksums(sums, {});
  if (result != 0) return result;
  if (sums[0].fError.fCode == 0 && sums[0].fDigest == local->digest()) {
    ioJob.fStart = local->hashed();
    if (ioJob.fHash) ioJob.fHash = std::move(local);
  }
  return 0;
}

}  // namespace

int PClient::PImpl::download(const std::string& iRemote, const PSink& iSink, const PTransferOptions& iOptions,
                             const PTransferControl& iControl, PTransferResult* oResult) {
  fError = PClientError();
  if (oResult != nullptr) *oResult = PTransferResult();
  if (!hasOps()) return plainTransfer(iOptions, oResult, [&](long long* oBytes) { return get(iRemote, iSink, iControl, oBytes); });
  std::vector<std::unique_ptr<PDownJob>> jobs;
  jobs.push_back(std::make_unique<PDownJob>(iSink, iRemote));
  PDownJob& job = *jobs[0];
  job.fMode = iOptions.fMode;
  job.fTimeNs = iOptions.fTimeNs;
  const std::string partial = job.fWriter.partialPath();
  job.fPartial = !partial.empty() && (iOptions.fKeepPartial || iOptions.fContinue);
  if (iOptions.fVerify) job.fHash = std::make_unique<PSha256>();
  if (job.fPartial && iOptions.fContinue) {
    const int result = partialStart(*this, partial, job);
    if (result != 0) return result;
  }
  PBatchControl control;
  control.fContinue = iControl.fContinue;
  control.fProgress = iControl.fProgress;
  control.fVerify = iOptions.fVerify;
  std::vector<PClientError> errors;
  const int result = runDownloads(*this, jobs, control, false, 0, errors);
  if (oResult != nullptr) *oResult = job.fResult;
  return result;
}

int PClient::PImpl::downloadFiles(const std::vector<PFileJob>& iJobs, const PBatchControl& iControl,
                                  std::vector<PClientError>& oErrors) {
  fError = PClientError();
  if (!hasOps()) {
    return eachFile(iJobs, iControl, oErrors, [&](const PFileJob& iJob, const PTransferControl& iEach, long long* oBytes) {
      return get(iJob.fRemote, PSink::file(iJob.fLocal), iEach, oBytes);
    });
  }
  std::vector<std::unique_ptr<PDownJob>> jobs;
  long long total = 0;
  for (const PFileJob& given : iJobs) {
    jobs.push_back(std::make_unique<PDownJob>(PSink::file(given.fLocal), given.fRemote));
    jobs.back()->fMode = given.fMode;
    jobs.back()->fTimeNs = given.fTimeNs;
    if (iControl.fVerify) jobs.back()->fHash = std::make_unique<PSha256>();
    total += std::max(given.fSize, 0LL);
  }
  return runDownloads(*this, jobs, iControl, true, total, oErrors);
}
