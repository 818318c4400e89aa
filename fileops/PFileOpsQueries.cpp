// The actions that only read: the session's description, stat, listings,
// ranged reads with their data ranges, and checksums.

#include <algorithm>

#include "PFileOps.h"
#include "zevo/PErrors.h"
#include "zevo/PPathOps.h"

namespace {

void writeAttributes(PDataWriter& ioWriter, const PFileAttributes& iInfo) {
  ioWriter.writeInt32(iInfo.fKind);
  ioWriter.writeInt64(iInfo.fSize);
  ioWriter.writeInt32(static_cast<int>(iInfo.fMode));
  ioWriter.writeInt64(iInfo.fMtimeNs);
}

}  // namespace

int PFileOps::actionSessionInfo(PRequest& ioRequest) {
  ioRequest.fRead = true;
  ioRequest.fWriter.writeInt32(kFileOpsVersion);
  ioRequest.fWriter.writeInt32(static_cast<int>(frameMax(ioRequest.fResponseID)));
  ioRequest.fWriter.writeInt32(static_cast<int>(chunkMax(ioRequest.fResponseID)));
  ioRequest.fWriter.writeString(ioRequest.fIdentity);
  ioRequest.fWriter.writeInt32(ioRequest.fRole);
  // Only a writer is shown the write grants: nobody else could use one.
  const bool writer = ioRequest.fRole == SESSIONS_ROLE_WRITE;
  const std::vector<PString> none;
  for (PAccessPolicy::List list : {PAccessPolicy::READ, PAccessPolicy::WRITE, PAccessPolicy::READ_TREE, PAccessPolicy::WRITE_TREE}) {
    const bool write = list == PAccessPolicy::WRITE || list == PAccessPolicy::WRITE_TREE;
    ioRequest.fWriter.writeStrings(write && !writer ? none : fPolicy.entries(list));
  }
  ioRequest.fWriter.writeInt32(fSettings.fResumeKeepSeconds);
  return 0;
}

int PFileOps::actionStat(PRequest& ioRequest) {
  PString path;
  const int rc = ioRequest.fReader.readString(path);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  PFileAttributes info;
  PString target;
  int status = permit(path, ACCESS_READ, "actionStat");
  if (status == 0) status = PPathOps::stat(path, info, target);
  writeAttributes(ioRequest.fWriter, info);
  ioRequest.fWriter.writeString(target);
  return status;
}

int PFileOps::actionOpenListing(PRequest& ioRequest) {
  PString path;
  const int rc = ioRequest.fReader.readString(path);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  int number = 0;
  int status = permit(path, ACCESS_READ, "actionOpenListing");
  if (status == 0) {
    auto listing = std::make_shared<PListing>();
    status = listing->open(path);
    if (status == 0) status = addHandle(listing, number);
  }
  ioRequest.fWriter.writeInt32(number);
  return status;
}

int PFileOps::actionReadListing(PRequest& ioRequest) {
  int number = 0;
  const int rc = ioRequest.fReader.readInt32(number);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  int status = 0;
  std::vector<PListing::Entry> entries;
  bool more = false;
  if (const auto listing = findHandle<PListing>(number, PHandle::LISTING, status)) {
    status = listing->next(chunkMax(ioRequest.fResponseID), entries, more);
  }
  if (status != 0) entries.clear(), more = false;
  ioRequest.fWriter.writeBool(more);
  ioRequest.fWriter.writeInt32(static_cast<int>(entries.size()));
  for (const PListing::Entry& entry : entries) {
    ioRequest.fWriter.writeString(entry.fName);
    writeAttributes(ioRequest.fWriter, entry.fInfo);
  }
  return status;
}

int PFileOps::actionOpenRead(PRequest& ioRequest) {
  PString path;
  const int rc = ioRequest.fReader.readString(path);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  int number = 0;
  PFileAttributes info;
  int status = permit(path, ACCESS_READ, "actionOpenRead");
  if (status == 0) {
    auto reader = std::make_shared<PReader>();
    status = reader->fFile.open(path);
    if (status == 0) status = reader->fFile.attributes(info);
    if (status == 0) status = addHandle(reader, number);
    if (status != 0) info = PFileAttributes();
  }
  ioRequest.fWriter.writeInt32(number);
  ioRequest.fWriter.writeInt64(info.fSize);
  ioRequest.fWriter.writeInt32(static_cast<int>(info.fMode));
  ioRequest.fWriter.writeInt64(info.fMtimeNs);
  return status;
}

int PFileOps::actionReadAt(PRequest& ioRequest) {
  int number = 0, length = 0;
  long long offset = 0;
  int rc = ioRequest.fReader.readInt32(number);
  if (rc == 0) rc = ioRequest.fReader.readInt64(offset);
  if (rc == 0) rc = ioRequest.fReader.readInt32(length);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  int status = 0;
  unsigned int done = 0;
  unsigned char* block = nullptr;
  if (offset < 0 || length < 1 || static_cast<unsigned int>(length) > chunkMax(ioRequest.fResponseID)) {
    status = FOPS_ERR_ARGUMENT;
  } else if (const auto reader = findHandle<PReader>(number, PHandle::READ, status)) {
    // A large block goes from the file to the socket where it can (notify).
    if (length >= kSpanAt && reader->fFile.span(offset, static_cast<unsigned int>(length), ioRequest.fSpan) == 0 &&
        ioRequest.fSpan.fLength >= kSpanAt) {
      ioRequest.fSpanReader = reader;
      return 0;
    }
    ioRequest.fSpan = PFileSpan();
    block = ioRequest.fWriter.beginBytes(static_cast<size_t>(length));
    status = reader->fFile.readAt(offset, block, static_cast<unsigned int>(length), done);
  }
  if (block == nullptr) {
    ioRequest.fWriter.writeBytes(nullptr, 0);
  } else {
    ioRequest.fWriter.endBytes(status == 0 ? done : 0);
  }
  return status;
}

int PFileOps::actionDataRanges(PRequest& ioRequest) {
  int number = 0;
  long long offset = 0;
  int rc = ioRequest.fReader.readInt32(number);
  if (rc == 0) rc = ioRequest.fReader.readInt64(offset);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  int status = offset < 0 ? FOPS_ERR_ARGUMENT : 0;
  std::vector<std::pair<long long, long long>> ranges;
  bool more = false;
  if (status == 0) {
    if (const auto reader = findHandle<PReader>(number, PHandle::READ, status)) {
      // bool 2 and a count 5, then 18 bytes a range
      const size_t most = std::min<size_t>(kFileOpsMaxRanges, (chunkMax(ioRequest.fResponseID) - 7) / 18);
      for (long long start = 0, end = 0; status == 0; offset = end) {
        status = reader->fFile.dataRange(offset, start, end);
        if (status != 0) break;
        if (ranges.size() == most) {
          more = true;
          break;
        }
        ranges.emplace_back(start, end - start);
      }
      if (status == PERR_FILE_EOF) status = 0;
    }
  }
  if (status != 0) ranges.clear(), more = false;
  ioRequest.fWriter.writeBool(more);
  ioRequest.fWriter.writeInt32(static_cast<int>(ranges.size()));
  for (const auto& [start, length] : ranges) {
    ioRequest.fWriter.writeInt64(start);
    ioRequest.fWriter.writeInt64(length);
  }
  return status;
}

int PFileOps::startChecksum(PRequest& ioRequest, const std::shared_ptr<PChecksum>& iChecksum, long long iOffset,
                            long long iLength) {
  int number = 0;
  long long length = 0;
  int status = iChecksum->start(iOffset, iLength, length);
  if (status == 0) status = addHandle(iChecksum, number);
  if (status != 0) length = 0;
  ioRequest.fWriter.writeInt32(number);
  ioRequest.fWriter.writeInt64(length);
  return status;
}

int PFileOps::actionOpenChecksum(PRequest& ioRequest) {
  PString path;
  long long offset = 0, length = 0;
  int rc = ioRequest.fReader.readString(path);
  if (rc == 0) rc = ioRequest.fReader.readInt64(offset);
  if (rc == 0) rc = ioRequest.fReader.readInt64(length);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  int status = offset < 0 || length < -1 ? FOPS_ERR_ARGUMENT : permit(path, ACCESS_READ, "actionOpenChecksum");
  auto checksum = std::make_shared<PChecksum>();
  if (status == 0) status = checksum->fFile.open(path);
  if (status == 0) return startChecksum(ioRequest, checksum, offset, length);
  ioRequest.fWriter.writeInt32(0);
  ioRequest.fWriter.writeInt64(0);
  return status;
}

int PFileOps::actionChecksumUpload(PRequest& ioRequest) {
  int number = 0;
  long long offset = 0, length = 0;
  int rc = ioRequest.fReader.readInt32(number);
  if (rc == 0) rc = ioRequest.fReader.readInt64(offset);
  if (rc == 0) rc = ioRequest.fReader.readInt64(length);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  int status = offset < 0 || length < -1 ? FOPS_ERR_ARGUMENT : 0;
  auto checksum = std::make_shared<PChecksum>();
  if (status == 0) {
    if (const auto upload = findHandle<PUpload>(number, PHandle::UPLOAD, status)) {
      status = upload->with([&](PUploadFile& ioFile) { return ioFile.reader(checksum->fFile); });
    }
  }
  if (status == 0) return startChecksum(ioRequest, checksum, offset, length);
  ioRequest.fWriter.writeInt32(0);
  ioRequest.fWriter.writeInt64(0);
  return status;
}

int PFileOps::actionChecksumStep(PRequest& ioRequest) {
  int number = 0;
  const int rc = ioRequest.fReader.readInt32(number);
  if (rc != 0) return rc;
  ioRequest.fRead = true;
  int status = 0;
  bool done = false;
  long long hashed = 0;
  std::vector<unsigned char> digest;
  if (const auto checksum = findHandle<PChecksum>(number, PHandle::CHECKSUM, status)) {
    status = checksum->step(done, hashed, digest);
  }
  if (status != 0) done = false, hashed = 0, digest.clear();
  ioRequest.fWriter.writeBool(done);
  ioRequest.fWriter.writeInt64(hashed);
  ioRequest.fWriter.writeBytes(digest);
  return status;
}
