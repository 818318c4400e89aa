// PClient's implementation, shared by the library's sources: the
// file-access calls (PClient.cpp), the file-operations calls
// (PFileOpsCalls.cpp), checksums (PChecksums.cpp) and transfers
// (PDownloads.cpp, PUploads.cpp). Internal to libzevoclient.
#pragma once

#include <functional>
#include <new>
#include <string>
#include <vector>

#include "PClientInternal.h"
#include "PFramePump.h"
#include "zevo/PErrors.h"
#include "zevo/client/PClient.h"

// Requests in flight on one pump, driven by runPipeline: fill() queues what
// may go now, each reply goes to onReply() in request order. Either answers
// a code that ends the run (the connection's failure); a file's own failure
// is the job's to keep.
class PPipelineJob {
 public:
  virtual ~PPipelineJob() = default;
  virtual int fill() = 0;
  virtual int onReply(const PReplyView& iReply) = 0;
};

// Until nothing is queued or in flight: 0, or the first code of a job's
// call or of the connection.
int runPipeline(PFramePump& ioPump, PPipelineJob& ioJob, int iTimeoutMs, PClientError& oError);

// The caller's functions; an exception from them means "stop".
bool controlGoesOn(const std::function<bool()>& iContinue) noexcept;
bool controlReports(const std::function<void(long long, long long)>& iProgress, long long iDone, long long iTotal) noexcept;

// The process's umask, read without changing it.
unsigned int processUmask();

class PClient::PImpl {
 public:
  int connect(const std::string& iEndpoint);
  int size(const std::string& iPath, long long& oSize);
  // IsExists and IsFile: a boolean answer.
  int flag(uint32_t iAction, const std::string& iPath, bool& oValue);
  int list(const std::string& iPath, std::vector<std::string>& oNames);
  // MakeDir, DeleteFile and DeleteDir: the status only.
  int simple(uint32_t iAction, const std::string& iPath);
  int get(const std::string& iRemote, const PSink& iSink, const PTransferControl& iControl, long long* oBytes);
  int put(const PSource& iSource, const std::string& iRemote, const PTransferControl& iControl, long long* oBytes);

  // File operations (PFileOpsCalls.cpp).
  bool hasOps();
  // 0, or ERR_CLIENT_NO_FILEOPS said for iWhat (or the probe's failure).
  int requireOps(const std::string& iWhat);
  // A transfer without the file-operations module: iPlain (get or put, given
  // the byte count to fill) when iOptions ask nothing only that module does,
  // ERR_CLIENT_NO_FILEOPS otherwise. oResult as download and upload fill it.
  int plainTransfer(const PTransferOptions& iOptions, PTransferResult* oResult, const std::function<int(long long*)>& iPlain);
  int sessionInfo(PSessionInfo& oInfo);
  int stat(const std::string& iPath, PRemoteStat& oStat);
  int listEntries(const std::string& iPath, std::vector<PRemoteEntry>& oEntries);
  int listTree(const std::string& iRoot, std::vector<PTreeEntry>& oEntries);
  int makeDirs(const std::vector<std::string>& iPaths, std::vector<PClientError>& oErrors);
  int setAttributes(const std::vector<PAttributes>& iChanges, std::vector<PClientError>& oErrors);
  int rename(const std::string& iFrom, const std::string& iTo, bool iReplace);
  int setAttributes(const std::string& iPath, int iMode, long long iTimeNs);
  int removeTree(const std::string& iPath);
  // The chunk of ranged reads and writes.
  int chunk() const;

  // Checksums (PChecksums.cpp): the SHA-256 of each path's [offset, end),
  // in flight together; iUploads: the paths are upload handles (decimal).
  struct SumJob {
    std::string fPath;
    int fUpload = 0;  // a ChecksumUpload of this handle instead of a path
    long long fOffset = 0;
    long long fLength = -1;
    PDigest fDigest{};
    PClientError fError;
  };
  int checksums(std::vector<SumJob>& ioJobs, const PTransferControl& iControl);
  // What a batch's run leaves, iRun its code: a job the run did not end gets
  // the run's error (or "cancelled"); with iControl.fVerify each done job's
  // digest is checked and fDone told after. The answer: iRun, else the first
  // job's failure (the client's error then).
  struct BatchJob {
    const std::string* fRemote;
    PClientError* fError;
    PTransferResult* fResult;
    bool fEnded;
  };
  int endBatch(int iRun, const std::vector<BatchJob>& iJobs, const PBatchControl& iControl, std::vector<PClientError>& oErrors);
  // Compares each done job's digest with the remote file's; a difference is
  // the job's ERR_CLIENT_CHECKSUM.
  int verify(const std::vector<std::string>& iRemotes, const std::vector<PDigest>& iDigests,
             std::vector<PClientError>& ioErrors);

  // Transfers (PDownloads.cpp, PUploads.cpp).
  int download(const std::string& iRemote, const PSink& iSink, const PTransferOptions& iOptions,
               const PTransferControl& iControl, PTransferResult* oResult);
  int upload(const PSource& iSource, const std::string& iRemote, const PTransferOptions& iOptions,
             const PTransferControl& iControl, PTransferResult* oResult);
  int uploadFiles(const std::vector<PFileJob>& iJobs, const PBatchControl& iControl, std::vector<PClientError>& oErrors);
  int downloadFiles(const std::vector<PFileJob>& iJobs, const PBatchControl& iControl, std::vector<PClientError>& oErrors);
  // A batch on a host without the module: iRun for each job in turn, its
  // progress added to the batch's; a lost connection or a cancel ends it.
  // ERR_CLIENT_NO_FILEOPS, nothing run, when a job asks a mode or a time or
  // the batch a verification: only the module does these.
  using EachRun = std::function<int(const PFileJob& iJob, const PTransferControl& iControl, long long* oBytes)>;
  int eachFile(const std::vector<PFileJob>& iJobs, const PBatchControl& iControl, std::vector<PClientError>& oErrors,
               const EachRun& iRun);

  // Runs iCall; an exception (memory, a caller's function) closes the
  // connection, so that the host closes any transfer left open.
  template <class Call>
  int guard(Call&& iCall) noexcept {
    try {
      return iCall();
    } catch (const std::bad_alloc&) {
      fPump.close();
      return setError(fError, PERR_NO_MEMORY, PErrorOrigin::kLocal, "", "");
    } catch (...) {
      fPump.close();
      return setError(fError, ERR_FAILED, PErrorOrigin::kLocal, "unexpected exception", "");
    }
  }

  // The request's payload: the path as a string element (cleared first).
  int pathPayload(const std::string& iPath, std::vector<unsigned char>& oPayload);
  // One exchange; a negative status becomes a remote error on iPath.
  int call(uint32_t iAction, const std::vector<unsigned char>& iPayload, const std::string& iPath, PReply& oReply);
  // The same with the file-operations module.
  int opsCall(uint32_t iAction, const std::vector<unsigned char>& iPayload, const std::string& iPath, PReply& oReply);
  // Fills oError (the client's when null) for a negative status of iAction.
  int remoteError(int iStatus, uint32_t iAction, const std::string& iPath, PClientError* oError = nullptr);
  // A reply whose elements are not what the action answers: the connection
  // is closed.
  int malformed(uint32_t iAction, int iCode, const std::string& iWhy = std::string());
  // Window of requests and bytes of a transfer in flight.
  int window(bool iBatch) const { return iBatch ? std::max(fOptions.fWindow, 256) : fOptions.fWindow; }
  size_t byteWindow() const;

  PClientOptions fOptions;
  PClientTls fTls;
  PClientMqtt fMqtt;
  std::shared_ptr<PBrokerShare> fShare;
  PFramePump fPump;
  PClientError fError;
  enum class Ops { kUnknown, kPresent, kAbsent };
  Ops fOps = Ops::kUnknown;  // of this connection
  PSessionInfo fInfo;        // when present
  std::string fNoOps;        // an endpoint known to lack the module

 private:
  // Clears the last error and makes the exchange of a request whose payload
  // is iPath alone.
  int pathRequest(uint32_t iAction, const std::string& iPath, PReply& oReply);
  int openTransfer(const std::string& iPath, int iMode, int& oID);
  // Closes transfer iID whatever happened; iResult (and its error) stays the
  // answer unless it was 0 and the close fails.
  int closeTransfer(int iID, int iResult, const std::string& iPath);
  int probeOps();
  int listFallback(const std::string& iPath, std::vector<PRemoteEntry>& oEntries);
  // Requests of one path each, in flight together: the first failure's
  // status, each said in oErrors.
  int pathsInFlight(const std::string& iModule, uint32_t iAction, const std::vector<std::string>& iPaths,
                    const std::vector<std::vector<unsigned char>>& iTails, std::vector<PClientError>& oErrors);
  int removeFallback(const std::string& iPath);
};
