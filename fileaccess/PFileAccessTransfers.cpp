// Numbered transfers: open a file, move it chunk after chunk, close it.
//
// The table holds the lasting reference to each open PFile. A chunk handler
// takes its own reference under fMutex, works on the file without the lock,
// and gives the reference back under fMutex again: a close racing the chunk
// then cannot destroy the PFile under the running read or write, and the
// shared counter is only ever changed with the lock held.

#include "PFileAccess.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PErrors.h"
#include "zevo/PTime.h"

int PFileAccess::readTransferID(PDataReader& ioReader, const char* iFunction, int& oTransferID) {
  const int result = ioReader.readInt32(oTransferID);
  if (result != 0) logError(L"[%s] Error reading transferID [%d]", iFunction, result);
  return result;
}

bool PFileAccess::findTransfer(int iTransferID, const char* iFunction, PPtr<PFile>& oFile, int& oMode) {
  PMutexLock lock(fMutex);
  const auto entry = fTransfers.find(iTransferID);
  if (entry == fTransfers.end()) {
    logError(L"[%s] Invalid transferID [%d]", iFunction, iTransferID);
    return false;
  }
  logDebug(L"[%s] Found transferID [%d]", iFunction, iTransferID);
  oFile = entry->second.first;
  oMode = entry->second.second;
  return true;
}

void PFileAccess::dropFile(PPtr<PFile>& ioFile) {
  PMutexLock lock(fMutex);
  ioFile = static_cast<PFile*>(nullptr);
}

int PFileAccess::actionStartFileTransfer(const PCommsMessage& iRequest, PCommsMessage& oResponse) {
  static const char* const kFunction = "actionStartFileTransfer";
  PDataReader reader(iRequest.fData);
  PString fileName;
  int result = reader.readString(fileName);
  if (result != 0) {
    logError(L"[%s] Error reading fileName [%d]", kFunction, result);
    return result;
  }
  int mode = 0;
  result = reader.readInt32(mode);
  if (result != 0) {
    logError(L"[%s] Error reading mode [%d]", kFunction, result);
    return result;
  }

  PString dir(fileName);
  getDirFromPath(dir);
  logDebug(L"[%s] path=[%ls], mode=[%d], ", kFunction, dir, mode);

  int transferID = 0;
  int status;
  // Accepted when the directory grants at least one of the requested bits.
  if ((checkMode(dir) & static_cast<unsigned int>(mode)) == 0) {
    status = ERR_ACCESS_DENIED;
  } else {
    PPtr<PFile> file(new PFile(), 0);
    const unsigned int openMode = (mode & ACCESS_READ) != 0 ? PFile::MODE_READ_ONLY : PFile::MODE_WRITE_NEW;
    // Opened as received; only the policy looked at the normalised copy.
    result = file->popen(fileName, openMode, 1);
    if (result != 0) {
      logError(L"[%s] Error opening file [%ls] mode [%d]. res = [%d]", kFunction, fileName, mode, result);
      status = result;
    } else {
      {
        PMutexLock lock(fMutex);
        // A second opening within one tick spins until the tick changes.
        do {
          transferID = PTime::getTickCount();
        } while (fTransfers.find(transferID) != fTransfers.end());
        fTransfers.emplace(transferID, std::make_pair(file, mode));
        file = static_cast<PFile*>(nullptr);  // the table's copy keeps it open
      }
      logDebug(L"[%s] file with transferId=[%d] created", kFunction, transferID);
      status = 0;
    }
  }
  fillResponse(oResponse, status);
  PDataWriter(oResponse.fData).writeInt32(transferID);
  return status;
}

int PFileAccess::actionGetNextFileData(const PCommsMessage& iRequest, PCommsMessage& oResponse) {
  static const char* const kFunction = "actionGetNextFileData";
  PDataReader reader(iRequest.fData);
  int transferID = 0;
  int result = readTransferID(reader, kFunction, transferID);
  if (result != 0) return result;
  int desiredPacketSize = 0;
  result = reader.readInt32(desiredPacketSize);
  if (result != 0) {
    logError(L"[%s] Error reading desiredPacketSize [%d]", kFunction, result);
    return result;
  }

  const unsigned int packetSize = static_cast<unsigned int>(desiredPacketSize);
  PDataWriter writer(oResponse.fData);
  unsigned char* chunk = nullptr;  // the reply's block, read into in place
  unsigned int bytesRead = 0;
  int status;
  if (packetSize == 0 || packetSize > kMaxChunkSize) {
    status = ERR_PACKET_SIZE;
  } else {
    PPtr<PFile> file;
    int mode = 0;
    if (!findTransfer(transferID, kFunction, file, mode)) {
      status = ERR_FAILED;
    } else {
      chunk = writer.beginBytes(packetSize);
      if ((mode & ACCESS_READ) == 0) {
        status = ERR_ACCESS_DENIED;
      } else {
        PString name;
        file->pgetName(name);  // for the trace line only: its result decides nothing
        logDebug(L"[%s] Reading [%d] bytes from file [%ls]", kFunction, desiredPacketSize, name);
        result = file->pread(reinterpret_cast<char*>(chunk), packetSize, bytesRead);
        if (result == 0) {
          logDebug(L"[%s] Read [%d] bytes from file", kFunction, static_cast<int>(bytesRead));
          status = 0;
        } else if (result == PERR_FILE_EOF || bytesRead == 0) {
          status = ERR_END_OF_FILE;
        } else {
          logError(L"[%s] Error reading file [%d]", kFunction, result);
          status = ERR_FAILED;
        }
      }
      dropFile(file);
    }
  }
  fillResponse(oResponse, status);
  // Bytes that came with a failure are dropped: the block is then empty.
  if (chunk != nullptr) {
    writer.endBytes(status == 0 ? bytesRead : 0);
  } else {
    writer.writeBytes(nullptr, 0);
  }
  return status;
}

int PFileAccess::actionSetNextFileData(const PCommsMessage& iRequest, PCommsMessage& oResponse) {
  static const char* const kFunction = "actionSetNextFileData";
  PDataReader reader(iRequest.fData);
  int transferID = 0;
  int result = readTransferID(reader, kFunction, transferID);
  if (result != 0) return result;

  int status;
  PPtr<PFile> file;
  int mode = 0;
  if (!findTransfer(transferID, kFunction, file, mode)) {
    status = ERR_FAILED;  // the block is not even read
  } else {
    const unsigned char* block = nullptr;  // in the request, not copied
    size_t blockSize = 0;
    result = reader.readBytesView(block, blockSize);
    if (result != 0) {
      logError(L"[%s] Error reading data from message: %d", kFunction, result);
      status = result;
    } else if ((mode & ACCESS_WRITE) == 0) {
      status = ERR_ACCESS_DENIED;
    } else {
      PString name;
      result = file->pgetName(name);
      logDebug(L"[%s] Writing [%d] bytes to file [%ls]", kFunction, static_cast<int>(blockSize), name);
      unsigned int bytesWritten = 0;
      // An empty block writes nothing: the name query decides the outcome.
      if (blockSize > 0) {
        result = file->pwrite(reinterpret_cast<const char*>(block), static_cast<unsigned int>(blockSize), bytesWritten);
      }
      if (result == 0) {
        logDebug(L"[%s] Written [%d] bytes to file", kFunction, static_cast<int>(bytesWritten));
        status = 0;
      } else {
        logError(L"[%s] Error writing file [%d]", kFunction, result);
        status = ERR_FAILED;
      }
    }
    dropFile(file);
  }
  fillResponse(oResponse, status);
  return status;
}

int PFileAccess::actionCloseFileTransfer(const PCommsMessage& iRequest, PCommsMessage& oResponse) {
  static const char* const kFunction = "actionCloseFileTransfer";
  PDataReader reader(iRequest.fData);
  int transferID = 0;
  const int result = readTransferID(reader, kFunction, transferID);
  if (result != 0) return result;

  int status = 0;  // an ID that is not open closes successfully
  {
    PMutexLock lock(fMutex);
    const auto entry = fTransfers.find(transferID);
    if (entry != fTransfers.end()) {
      const int closeResult = entry->second.first->pclose();
      if (closeResult == 0) {
        fTransfers.erase(entry);
        logDebug(L"[%s] file with transferId=[%d] closed", kFunction, transferID);
      } else {
        // The transfer stays open; the peer may close it again.
        logError(L"[%s] Error closing file transferID [%d]. res = [%d]", kFunction, transferID, closeResult);
        status = ERR_FAILED;
      }
    }
  }
  fillResponse(oResponse, status);
  return status;
}
