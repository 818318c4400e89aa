// The local ends of transfers: where a download writes and where an upload
// reads. Internal to libzevoclient.
#pragma once

#include <functional>
#include <string>

#include "zevo/client/PClient.h"

// The name a cut download to iTarget keeps its bytes under: ".NAME.zevofa-part"
// beside it.
std::string partialName(const std::string& iTarget);

class PSinkWriter {
 public:
  explicit PSinkWriter(const PSink& iSink) : fSink(iSink) {}
  ~PSinkWriter() { abort(); }
  PSinkWriter(const PSinkWriter&) = delete;
  PSinkWriter& operator=(const PSinkWriter&) = delete;

  int open(PClientError& oError);
  // Where a file sink keeps a cut download (empty for the other kinds).
  std::string partialPath() const;
  // A file sink written under partialName(): kept when the download is cut;
  // with iContinue an existing one is opened as it is (oHave: its bytes).
  int openPartial(bool iContinue, long long& oHave, PClientError& oError);
  int write(const unsigned char* iBytes, size_t iCount, PClientError& oError);
  // Whether writeAt may leave holes (a file the sink made itself).
  bool positional() const { return !fTemporary.empty(); }
  int writeAt(long long iOffset, const unsigned char* iBytes, size_t iCount, PClientError& oError);
  // Reads back what a partial file holds (positional sinks).
  long readAt(long long iOffset, unsigned char* oBytes, size_t iCount) const;
  // A file sink's final size (holes at its end stay holes), permission
  // bits and time (-1: left alone).
  int finish(long long iSize, int iMode, long long iTimeNs, PClientError& oError);
  // Whether a file sink replaces an existing file.
  bool replaces() const { return fReplaces; }
  // Makes the data final: a file sink's temporary file replaces the target.
  int commit(PClientError& oError);
  // Drops a file sink's temporary file (a partial one is kept); nothing
  // for the other kinds.
  void abort();
  // The same, a partial file included.
  void discard() {
    fKeep = false;
    abort();
  }

 private:
  // Opens a file sink: the target's own file for a device or FIFO, else
  // iMake(directory, name) names the temporary file to create.
  int openFile(bool iPartial, bool iContinue, PClientError& oError);

  const PSink& fSink;
  int fFd = -1;
  bool fOwnsFd = false;
  bool fKeep = false;      // a partial file, kept by abort()
  bool fReplaces = false;
  std::string fTarget;     // what the temporary file becomes
  std::string fTemporary;  // empty when writing the target directly
};

class PSourceReader {
 public:
  explicit PSourceReader(const PSource& iSource) : fSource(iSource) {}
  ~PSourceReader();
  PSourceReader(const PSourceReader&) = delete;
  PSourceReader& operator=(const PSourceReader&) = delete;

  int open(PClientError& oError);
  long long total() const { return fTotal; }
  // A regular file: read at offsets (from where the source began).
  bool seekable() const { return fSeekable; }
  int mode() const { return fMode; }          // permission bits, -1 unknown
  long long timeNs() const { return fTimeNs; }  // modification time, -1 unknown
  // Fills up to iCount bytes at iOffset (oCount 0: the end).
  int readAt(long long iOffset, unsigned char* oBytes, size_t iCount, size_t& oCount, PClientError& oError);
  // The next data at or after iOffset of a seekable source: oStart (the
  // total when none is left) and oEnd, where its hole begins.
  void nextData(long long iOffset, long long& oStart, long long& oEnd) const;
  // Fills up to iCapacity bytes (oCount); oEnd once the source is done.
  // An interrupted read asks iContinue and sets oCancelled when it says no.
  int fill(unsigned char* oBytes, size_t iCapacity, size_t& oCount, bool& oEnd, const std::function<bool()>& iContinue,
           bool& oCancelled, PClientError& oError);

 private:
  const std::string& name() const;

  const PSource& fSource;
  int fFd = -1;
  bool fOwnsFd = false;
  long long fTotal = -1;
  bool fSeekable = false;
  bool fSparse = false;  // fewer blocks than bytes: holes worth looking for
  long long fBase = 0;   // where a descriptor source stood
  int fMode = -1;
  long long fTimeNs = -1;
};

// Writes everything to a descriptor; 0 or an errno value. A reader that has
// gone gives EPIPE, never SIGPIPE.
int writeAllTo(int iFd, const unsigned char* iBytes, size_t iCount);
