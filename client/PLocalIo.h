// The local ends of transfers: where a download writes and where an upload
// reads. Internal to libzevoclient.
#pragma once

#include <functional>
#include <string>

#include "zevo/client/PClient.h"

class PSinkWriter {
 public:
  explicit PSinkWriter(const PSink& iSink) : fSink(iSink) {}
  ~PSinkWriter() { abort(); }
  PSinkWriter(const PSinkWriter&) = delete;
  PSinkWriter& operator=(const PSinkWriter&) = delete;

  int open(PClientError& oError);
  int write(const unsigned char* iBytes, size_t iCount, PClientError& oError);
  // Makes the data final: a file sink's temporary file replaces the target.
  int commit(PClientError& oError);
  // Drops a file sink's temporary file; nothing for the other kinds.
  void abort();

 private:
  const PSink& fSink;
  int fFd = -1;
  bool fOwnsFd = false;
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
  // Fills up to iCapacity bytes (oCount); oEnd once the source is done.
  // An interrupted read asks iContinue and sets oCancelled when it says no.
  int fill(unsigned char* oBytes, size_t iCapacity, size_t& oCount, bool& oEnd, const std::function<bool()>& iContinue,
           bool& oCancelled, PClientError& oError);

 private:
  const PSource& fSource;
  int fFd = -1;
  bool fOwnsFd = false;
  long long fTotal = -1;
};

// Writes everything to a descriptor; 0 or an errno value. A reader that has
// gone gives EPIPE, never SIGPIPE.
int writeAllTo(int iFd, const unsigned char* iBytes, size_t iCount);
