// SHA-256 digests of remote files (or of what uploads hold), hashed by the
// host in bounded steps, many files in flight at once; and the check of
// copies against them.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "PClientImpl.h"
#include "PWire.h"
#include "zevo/PFd.h"
#include "zevo/protocol/PFileOpsProtocol.h"

namespace {

const std::string kOpsModule = kFileOpsModule;

class PSumPipeline final : public PPipelineJob {
 public:
  PSumPipeline(PClient::PImpl& ioClient, std::vector<PClient::PImpl::SumJob>& ioJobs, const PTransferControl& iControl)
      : fClient(ioClient), fJobs(ioJobs), fControl(iControl), fStates(ioJobs.size()) {
    for (const auto& job : fJobs) fTotal += std::max(job.fLength, 0LL);
  }

  int fill() override {
    if (!controlGoesOn(fControl.fContinue)) fCancelled = true;
    for (size_t i = 0; i < fJobs.size(); ++i) {
      State& state = fStates[i];
      while (state.fHandle != 0 && !state.fClosing && fClient.fPump.pending() < window()) {
        std::vector<unsigned char> payload;
        PWriter(payload).i32(state.fHandle);
        const bool last = state.fDone || fCancelled || fJobs[i].fError.fCode != 0 || state.fSteps == state.fNeeded;
        fClient.fPump.queue(kOpsModule, last ? kOpsCloseHandle : kOpsChecksumStep, payload, i);
        ++state.fSteps;
        state.fClosing = last;
      }
    }
    while (!fCancelled && fNext < fJobs.size() && fOpen < static_cast<size_t>(fClient.fOptions.fHandles) &&
           fClient.fPump.pending() < window()) {
      const auto& job = fJobs[fNext];
      std::vector<unsigned char> payload;
      if (job.fUpload != 0) {
        PWriter(payload).i32(job.fUpload);
      } else if (fClient.pathPayload(job.fPath, payload) != 0) {
        return fClient.fError.fCode;
      }
      PWriter(payload).i64(job.fOffset).i64(job.fLength);
      fClient.fPump.queue(kOpsModule, job.fUpload != 0 ? kOpsChecksumUpload : kOpsOpenChecksum, payload, fNext++);
      ++fOpen;
    }
    return 0;
  }

  int onReply(const PReplyView& iReply) override {
    auto& job = fJobs[iReply.fTag];
    State& state = fStates[iReply.fTag];
    PViewReader reader(iReply.fPayload, iReply.fPayloadLength);
    if (iReply.fAction == kOpsCloseHandle) {
      --fOpen;
      if (job.fError.fCode == 0 && !state.fDone && !fCancelled) return fClient.malformed(kOpsChecksumStep, ERR_DATA_SHORT);
      return 0;
    }
    if (iReply.fStatus != 0) {
      if (job.fError.fCode == 0) fClient.remoteError(iReply.fStatus, iReply.fAction, job.fPath, &job.fError);
      if (state.fHandle == 0) --fOpen;
      return 0;
    }
    if (iReply.fAction != kOpsChecksumStep) {
      long long length = 0;
      if (!reader.i32(state.fHandle) || !reader.i64(length) || state.fHandle == 0) return fClient.malformed(iReply.fAction, reader.code());
      state.fNeeded = std::max(1LL, (length + kFileOpsChecksumStep - 1) / kFileOpsChecksumStep);
      return 0;
    }
    bool done = false;
    long long hashed = 0;
    const unsigned char* digest = nullptr;
    size_t count = 0;
    if (!reader.flag(done) || !reader.i64(hashed) || !reader.bytes(digest, count) || (done && count != job.fDigest.size())) {
      return fClient.malformed(iReply.fAction, reader.code() != 0 ? reader.code() : ERR_DATA_TYPE);
    }
    fDone += hashed - state.fHashed;
    state.fHashed = hashed;
    if (done && !state.fDone) std::copy_n(digest, count, job.fDigest.begin());
    state.fDone = state.fDone || done;
    if (!controlReports(fControl.fProgress, fDone, fTotal)) fCancelled = true;
    return 0;
  }

  bool fCancelled = false;

 private:
  struct State {
    int fHandle = 0;
    long long fNeeded = 0;  // steps that cover the range
    long long fSteps = 0;   // steps asked
    long long fHashed = 0;
    bool fDone = false;
    bool fClosing = false;
  };
  size_t window() const { return static_cast<size_t>(fClient.window(true)); }

  PClient::PImpl& fClient;
  std::vector<PClient::PImpl::SumJob>& fJobs;
  const PTransferControl& fControl;
  std::vector<State> fStates;
  size_t fNext = 0;
  size_t fOpen = 0;
  long long fDone = 0;
  long long fTotal = 0;
};

}  // namespace

int PClient::PImpl::checksums(std::vector<SumJob>& ioJobs, const PTransferControl& iControl) {
  PSumPipeline pipeline(*this, ioJobs, iControl);
  const int result = runPipeline(fPump, pipeline, fOptions.fReplyTimeoutMs, fError);
  if (result != 0) return result;
  if (pipeline.fCancelled) return setError(fError, ERR_CLIENT_CANCELLED, PErrorOrigin::kTransfer, "cancelled", "");
  return 0;
}

int PClient::PImpl::endBatch(int iRun, const std::vector<BatchJob>& iJobs, const PBatchControl& iControl,
                             std::vector<PClientError>& oErrors) {
  const PClientError run = fError;
  std::vector<std::string> remotes;
  std::vector<PDigest> digests;
  oErrors.assign(iJobs.size(), PClientError());
  for (size_t i = 0; i < iJobs.size(); ++i) {
    const BatchJob& job = iJobs[i];
    if (!job.fEnded && job.fError->fCode == 0) {
      *job.fError = iRun != 0 ? run : PClientError();
      if (iRun == 0) setError(*job.fError, ERR_CLIENT_CANCELLED, PErrorOrigin::kTransfer, "cancelled", *job.fRemote);
    }
    oErrors[i] = *job.fError;
    remotes.push_back(*job.fRemote);
    digests.push_back(job.fResult->fDigest);
  }
  if (iRun == 0 && iControl.fVerify) {
    const int checked = verify(remotes, digests, oErrors);
    if (checked != 0) return checked;
    for (size_t i = 0; i < iJobs.size(); ++i) {
      iJobs[i].fResult->fVerified = oErrors[i].fCode == 0;
      if (iControl.fDone) iControl.fDone(i, oErrors[i], *iJobs[i].fResult);
    }
  }
  if (iRun != 0) return iRun;
  for (const PClientError& error : oErrors) {
    if (error.fCode != 0) {
      fError = error;
      return error.fCode;
    }
  }
  return 0;
}

int PClient::PImpl::verify(const std::vector<std::string>& iRemotes, const std::vector<PDigest>& iDigests,
                           std::vector<PClientError>& ioErrors) {
  std::vector<SumJob> jobs;
  std::vector<size_t> which;
  for (size_t i = 0; i < iRemotes.size(); ++i) {
    if (ioErrors[i].fCode != 0) continue;
    jobs.push_back({});
    jobs.back().fPath = iRemotes[i];
    which.push_back(i);
  }
  const int result = checksums(jobs, {});
  if (result != 0) return result;
  for (size_t j = 0; j < jobs.size(); ++j) {
    PClientError& error = ioErrors[which[j]];
    if (jobs[j].fError.fCode != 0) {
      error = jobs[j].fError;
    } else if (jobs[j].fDigest != iDigests[which[j]]) {
      setError(error, ERR_CLIENT_CHECKSUM, PErrorOrigin::kTransfer,
               "SHA-256 check failed: the copy's is " + digestHex(iDigests[which[j]]) + ", the remote file's " +
                   digestHex(jobs[j].fDigest) + " (the file changed during or after the copy?)",
               iRemotes[which[j]]);
    }
  }
  return 0;
}

int localChecksum(const std::string& iPath, PDigest& oDigest, PClientError& oError) {
  try {
    const PFd fd(::open(iPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) return setLocalError(oError, errno, iPath);
    PSha256 hash;
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
      const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
      if (got == 0) break;
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return setLocalError(oError, errno, iPath);
      hash.update(buffer.data(), static_cast<size_t>(got));
    }
    oDigest = hash.digest();
    return 0;
  } catch (...) {
    return setError(oError, PERR_NO_MEMORY, PErrorOrigin::kLocal, "", iPath);
  }
}
