// Uploads: begun (resumable or not), written at offsets, committed alone
// or in a group, resumed under their token, closed or released.
//
// A target has one upload at a time (fTargets, by directory and name, so
// that two spellings of one path meet): a second is refused, never
// interleaved. A commit that fails leaves the target as it was and the
// upload open: the peer may commit again, or close it.

#include <openssl/rand.h>

#include <algorithm>
#include <map>

#include "PFileOps.h"
#include "zevo/PErrors.h"
#include "zevo/PUtils.h"

namespace {

// 32 hex digits from the system's random source: the token of a resumable upload.
int newToken(std::string& oToken) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return ERR_FAILED;
  static const char kHex[] = "0123456789abcdef";
  oToken.clear();
  for (unsigned char byte : bytes) {
    oToken += kHex[byte >> 4];
    oToken += kHex[byte & 15];
  }
  return 0;
}

struct PCommit {
  int fNumber;
  long long fSize;
  int fMode;
  long long fMtimeNs;
  std::shared_ptr<PUpload> fUpload;
  int fStatus;
};

bool validAttributes(long long iSize, int iMode, long long iMtimeNs) {
  return iSize >= -1 && iMode >= -1 && iMode <= 0777 && iMtimeNs >= -1;
}

}  // namespace

int PFileOps::actionBeginUpload(PRequest& ioRequest) {
  PString path;
  bool resumable = false;
  int rc = ioRequest.fReader.readString(path);
  if (rc == 0) rc = ioRequest.fReader.readBool(resumable);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  int number = 0;
  auto upload = std::make_shared<PUpload>(resumable, path, ioRequest.fIdentity);
  int status = mayChange(ioRequest, "actionBeginUpload");
  if (status == 0) status = permit(path, ACCESS_WRITE, "actionBeginUpload");
  if (status == 0 && resumable) status = newToken(upload->fToken);
  if (status == 0) status = upload->with([&](PUploadFile& ioFile) { return ioFile.open(path); });
  if (status == 0) {
    upload->fKey = upload->with([](PUploadFile& iFile) { return iFile.targetKey(); });
    PStdMutexLock lock(fLock);
    if (!fTargets.insert(upload->fKey).second) status = FOPS_ERR_TARGET_BUSY;
  }
  if (status == 0) {
    status = upload->with([](PUploadFile& ioFile) { return ioFile.create(); });
    if (status == 0) status = addHandle(upload, number);
    if (status != 0) endUpload(upload, false);
  }
  if (status != 0) logError(L"[%s] Upload to [%ls] not begun: %d", "actionBeginUpload", path, status);
  ioRequest.fWriter.writeInt32(number);
  ioRequest.fWriter.writeString(status == 0 ? PUtils::wide(upload->fToken) : PString());
  return status;
}

int PFileOps::actionResumeUpload(PRequest& ioRequest) {
  PString token;
  const int rc = ioRequest.fReader.readString(token);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  int number = 0;
  long long size = 0;
  std::shared_ptr<PUpload> upload;
  int status = mayChange(ioRequest, "actionResumeUpload");
  if (status == 0) {
    PStdMutexLock lock(fLock);
    const auto kept = fKept.find(PUtils::toDisplay(token));
    // Only who began it resumes it: another identity learns nothing more.
    if (kept == fKept.end() || kept->second.fUpload->fIdentity.cmp(ioRequest.fIdentity) != 0) {
      status = FOPS_ERR_NO_UPLOAD;
    } else {
      upload = std::move(kept->second.fUpload);
      fKept.erase(kept);
    }
  }
  if (status == 0) status = permit(upload->fTarget, ACCESS_WRITE, "actionResumeUpload");
  if (status == 0) status = upload->with([&](PUploadFile& ioFile) { return ioFile.size(size); });
  if (status == 0) status = addHandle(upload, number);
  if (status != 0 && upload) endUpload(upload, true);  // kept again, as it was
  if (status != 0) size = 0, number = 0;
  ioRequest.fWriter.writeInt32(number);
  ioRequest.fWriter.writeInt64(size);
  ioRequest.fWriter.writeString(status == 0 ? upload->fTarget : PString());
  return status;
}

int PFileOps::actionWriteAt(PRequest& ioRequest) {
  int number = 0;
  long long offset = 0;
  const unsigned char* data = nullptr;
  size_t size = 0;
  int rc = ioRequest.fReader.readInt32(number);
  if (rc == 0) rc = ioRequest.fReader.readInt64(offset);
  if (rc == 0) rc = ioRequest.fReader.readBytesView(data, size);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  int status = mayChange(ioRequest, "actionWriteAt");
  if (status == 0 && (offset < 0 || size > chunkMax(ioRequest.fResponseID))) status = FOPS_ERR_ARGUMENT;
  if (status == 0) {
    if (const auto upload = findHandle<PUpload>(number, PHandle::UPLOAD, status)) {
      status = upload->with([&](PUploadFile& ioFile) { return ioFile.writeAt(offset, data, static_cast<unsigned int>(size)); });
    }
  }
  return status;
}

int PFileOps::publish(PUpload& iUpload) {
  return iUpload.with([](PUploadFile& ioFile) {
    // A directory flush that failed before: only that is left to do.
    int status = ioFile.published() ? 0 : ioFile.publish();
    if (status == 0) status = ioFile.flushDirectory();
    return status;
  });
}

int PFileOps::actionCommitUpload(PRequest& ioRequest) {
  int number = 0, mode = 0;
  long long size = 0, mtime = 0;
  int rc = ioRequest.fReader.readInt32(number);
  if (rc == 0) rc = ioRequest.fReader.readInt64(size);
  if (rc == 0) rc = ioRequest.fReader.readInt32(mode);
  if (rc == 0) rc = ioRequest.fReader.readInt64(mtime);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  int status = mayChange(ioRequest, "actionCommitUpload");
  if (status == 0 && !validAttributes(size, mode, mtime)) status = FOPS_ERR_ARGUMENT;
  std::shared_ptr<PUpload> upload;
  if (status == 0) upload = findHandle<PUpload>(number, PHandle::UPLOAD, status);
  if (status == 0) {
    status = upload->with([&](PUploadFile& ioFile) {
      if (ioFile.published()) return 0;
      int result = ioFile.finish(size, mode, mtime);
      if (result == 0) result = ioFile.flushData();
      return result;
    });
  }
  if (status == 0) status = publish(*upload);
  if (status == 0) {
    takeHandle(number);
    endUpload(upload, false);
  } else {
    logError(L"[%s] Upload [%d] not committed: %d", "actionCommitUpload", number, status);
  }
  return status;
}

int PFileOps::actionCommitGroup(PRequest& ioRequest) {
  int count = 0;
  int rc = ioRequest.fReader.readInt32(count);
  if (rc != 0) return rc;
  std::vector<PCommit> commits;
  if (count >= 1 && count <= kFileOpsMaxGroup) {
    commits.resize(static_cast<size_t>(count));
    for (PCommit& commit : commits) {
      if (rc == 0) rc = ioRequest.fReader.readInt32(commit.fNumber);
    }
    for (PCommit& commit : commits) {
      if (rc == 0) rc = ioRequest.fReader.readInt64(commit.fSize);
      if (rc == 0) rc = ioRequest.fReader.readInt32(commit.fMode);
      if (rc == 0) rc = ioRequest.fReader.readInt64(commit.fMtimeNs);
    }
    if (rc != 0) return rc;
  }
  ioRequest.fRead = true;
  int status = commits.empty() ? FOPS_ERR_ARGUMENT : mayChange(ioRequest, "actionCommitGroup");
  if (status != 0) commits.clear();
  // Each upload once, with valid attributes; the rest get their own status.
  std::set<int> seen;
  for (PCommit& commit : commits) {
    commit.fStatus = !validAttributes(commit.fSize, commit.fMode, commit.fMtimeNs) || !seen.insert(commit.fNumber).second
                         ? FOPS_ERR_ARGUMENT
                         : 0;
    if (commit.fStatus == 0) commit.fUpload = findHandle<PUpload>(commit.fNumber, PHandle::UPLOAD, commit.fStatus);
    if (commit.fStatus == 0) {
      commit.fStatus = commit.fUpload->with([&](PUploadFile& ioFile) {
        return ioFile.published() ? 0 : ioFile.finish(commit.fSize, commit.fMode, commit.fMtimeNs);
      });
    }
  }
  // The data of all in one step per file system, through the upload of it
  // created first: that step reports the write errors of every upload on
  // it (PUploadFile.h), which then needs no flush of its own.
  struct PFileSystem {
    PCommit* fFirst = nullptr;
    unsigned long long fOrder = 0;
    int fResult = 0;
  };
  std::map<unsigned long long, PFileSystem> fileSystems;  // by device
  for (PCommit& commit : commits) {
    if (commit.fStatus != 0 || commits.size() == 1) continue;
    commit.fUpload->with([&](PUploadFile& iFile) {
      if (iFile.published()) return;
      PFileSystem& fileSystem = fileSystems[iFile.fileSystem()];
      if (fileSystem.fFirst == nullptr || iFile.order() < fileSystem.fOrder) fileSystem = {&commit, iFile.order(), 0};
    });
  }
  for (auto& [device, fileSystem] : fileSystems) {
    fileSystem.fResult = fileSystem.fFirst->fUpload->with([](PUploadFile& ioFile) { return ioFile.flushFileSystem(); });
  }
  for (PCommit& commit : commits) {
    if (commit.fStatus != 0) continue;
    commit.fStatus = commit.fUpload->with([&](PUploadFile& ioFile) {
      if (ioFile.published()) return 0;
      const auto flushed = fileSystems.find(ioFile.fileSystem());
      if (flushed == fileSystems.end()) return ioFile.flushData();  // alone
      if (flushed->second.fResult != 0) ioFile.fileSystemFlushFailed();
      return flushed->second.fResult != 0 ? flushed->second.fResult : ioFile.flushData(true);
    });
  }
  // Then the renames, and each directory flushed once.
  std::map<std::string, int> directories;  // directory -> the result of its flush
  for (PCommit& commit : commits) {
    if (commit.fStatus != 0) continue;
    commit.fStatus = commit.fUpload->with([&](PUploadFile& ioFile) { return ioFile.published() ? 0 : ioFile.publish(); });
  }
  for (PCommit& commit : commits) {
    if (commit.fStatus != 0) continue;
    commit.fStatus = commit.fUpload->with([&](PUploadFile& ioFile) {
      const std::string directory = ioFile.directoryKey();
      const auto flushed = directories.find(directory);
      return flushed != directories.end() ? flushed->second : (directories[directory] = ioFile.flushDirectory());
    });
    if (commit.fStatus == 0) {
      takeHandle(commit.fNumber);
      endUpload(commit.fUpload, false);
    }
  }
  for (const PCommit& commit : commits) {
    if (status == 0) status = commit.fStatus;
  }
  ioRequest.fWriter.writeInt32(static_cast<int>(commits.size()));
  for (const PCommit& commit : commits) ioRequest.fWriter.writeInt32(commit.fStatus);
  if (status != 0) logError(L"[%s] [%d] uploads, not all committed: %d", "actionCommitGroup", count, status);
  return status;
}

int PFileOps::endHandle(PRequest& ioRequest, bool iKeep) {
  int number = 0;
  const int rc = ioRequest.fReader.readInt32(number);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  const std::shared_ptr<PHandle> handle = takeHandle(number);
  if (!handle) return FOPS_ERR_NO_HANDLE;
  if (handle->fKind == PHandle::UPLOAD) endUpload(std::static_pointer_cast<PUpload>(handle), iKeep);
  return 0;  // anything else closes with its last reference
}

int PFileOps::actionCloseHandle(PRequest& ioRequest) { return endHandle(ioRequest, false); }

int PFileOps::actionReleaseHandle(PRequest& ioRequest) { return endHandle(ioRequest, true); }
