// One peer's session, whatever its transport: the frames of docs/protocol.md
// cut from the bytes received, the requests handed to their modules one at
// a time in arrival order, the replies queued in request order, a transport
// error for a frame it cannot take, and what the session held released when
// it ends. It calls no system function: its transport (zevo/core/PTransport.h)
// moves the bytes,
//   received bytes:  receiveSpace(), received(), receivedEnd()
//   replies:         output() (outputFile() where its link carries files), sent()
// and calls serve() to run what has arrived.
//
// As it is made, a session admits itself with the comms component: its
// identity's limit, its transport's share, the reserves; one that does not
// fit (and finds no identity holding more that must yield) begins closing
// with ERR_COMMS_BUSY.
//
// Threading: used by its transport's worker only (and at shut-down by the
// thread that ends it, once the workers have stopped), except that the
// comms' sweep and limits read its clocks and mark it expired, under the
// comms lock, while it is entered (from its construction until leave()).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "zevo/PExport.h"
#include "zevo/PFileSpan.h"
#include "zevo/PPtr.h"
#include "zevo/core/PComms.h"
#include "zevo/core/PTransport.h"

class PCommsEvent;
struct PExchange;

class ZEVO_EXPORT PSession {
 public:
  // iInfo: the peer as its transport proved it, its role already given
  // (PComms::admit).
  PSession(PComms& iComms, PSessionInfo iInfo, PTransportLink& iLink);
  ~PSession();  // releases what the session holds with its modules
  PSession(const PSession&) = delete;
  PSession& operator=(const PSession&) = delete;

  // Where the transport may put received bytes, and how many (oRoom);
  // null when the session takes nothing now.
  unsigned char* receiveSpace(size_t& oRoom);
  void received(size_t iCount);
  void receivedEnd();  // the peer sends nothing more
  // Serves the whole requests received while the unsent replies stay under
  // kFlushAt; the transport writes them out and calls again while
  // moreToServe().
  void serve();
  bool moreToServe() const;
  // Unsent reply bytes, and how many of them the transport wrote. Where the
  // next unsent bytes are a file's (a span, queueReply), output() answers
  // null with their count, and outputFile() the file's descriptor and the
  // offset they begin at (-1 where they are not a file's). Only a link that
  // carries files (PTransportLink::carriesFiles) is given spans.
  const unsigned char* output(size_t& oSize) const;
  int outputFile(long long& oOffset) const;
  void sent(size_t iCount);

  bool wantsInput() const;  // reading more now is allowed (not ending, not past the read-ahead)
  bool finished() const;    // nothing more will be read or served, every reply has been taken
  const PSessionInfo& info() const { return fInfo; }
  void leave();  // the sweep no longer sees it (before its transport goes)

  // The reply of an exchange of this session (PComms::send). A payload of
  // kTakeAt bytes or more is taken, not copied (iReply.fData is then empty).
  // A reply longer than its transport carries (PSessionInfo::fFrameMax) is
  // never cut: the peer gets in its place a reply with the status
  // ERR_COMMS_FRAME_SIZE, the reply's module ID and no payload (the
  // module's watchers have seen the reply as the module sent it). iSpan:
  // the file's bytes that end the payload, kept until written; only where
  // carriesFiles().
  void queueReply(const PExchange& iExchange, PCommsMessage& iReply, const PFileSpan* iSpan = nullptr);
  bool carriesFiles() const { return fLink.carriesFiles(); }

  static constexpr size_t kInputSize = 64 * 1024;  // the receive buffer, grown only for a larger frame
  static constexpr size_t kFlushAt = 64 * 1024;    // unsent bytes at which serving pauses for a write
  static constexpr size_t kTrimAt = 1 << 20;       // a buffer this large, released, goes back to the system
  static constexpr size_t kTakeAt = 64 * 1024;     // a reply's payload this large is taken rather than copied

 private:
  friend class PComms;  // its sweep and limits, under the comms lock
  enum Expiry { kLive, kFrameTimeout, kIdleTimeout, kYielded, kHostStop };

  // Unsent replies: bytes, or a file's bytes (fSpan.fLength > 0, fBytes empty).
  struct Piece {
    std::vector<unsigned char> fBytes;
    PFileSpan fSpan;
    size_t size() const { return fSpan.fLength > 0 ? fSpan.fLength : fBytes.size(); }
  };

  size_t unsent() const { return fUnsent; }
  std::vector<unsigned char>& tail();  // the buffer replies are appended to
  size_t readAhead() const;  // the read-ahead, or the session's share of the budget once it is spent
  bool mayServe(const PFrameView& iFrame);  // false: a large reply waits for room
  const PComms::Binding* bindingOf(const PFrameView& iFrame);
  void account();  // the budget learns the buffers' sizes
  bool frameWaiting() const;  // a whole frame is in the receive buffer
  void serveRequest(const PFrameView& iFrame);
  void transportError(int iCode, uint32_t iExchange, const std::string& iText);

  PComms& fComms;
  PSessionInfo fInfo;
  std::vector<unsigned char> fIn;  // received bytes in [fInStart, fInEnd)
  size_t fInStart = 0;
  size_t fInEnd = 0;
  // Unsent replies in order, from fOutStart of the first piece; the last
  // takes what is appended while fTailOpen (not after a taken payload or a
  // span). A span's bytes are unsent bytes, not memory the budget counts.
  std::deque<Piece> fOut;
  size_t fOutStart = 0;
  size_t fUnsent = 0;
  bool fTailOpen = false;
  bool fReadClosed = false;  // the peer sent its last byte
  bool fClosing = false;     // a transport error was queued: nothing more is served
  PBaseptr<PCommsEvent> fEvent;
  std::string fCachedModule;  // the last module addressed, its binding, and the bindings' version then
  std::shared_ptr<const PComms::Binding> fCachedBinding;
  unsigned int fCachedVersion = 0;
  PTransportLink& fLink;
  bool fEntered = false;  // seen by the sweep
  bool fCounted = false;  // holds a place (its identity's, its transport's); under the comms lock
  bool fBlocked = false;  // a large reply waits: nothing more is served
  // Read by the sweep and the limits on other threads.
  std::atomic<size_t> fAccounted{0};   // the buffers' capacity, as the budget knows it
  std::atomic<int64_t> fActiveAt;      // steady clock, ms: the last request served or reply bytes taken
  std::atomic<int64_t> fFrameSince{0}; // steady clock, ms: a frame began and is not whole (0: none)
  std::atomic<int> fExpiry{kLive};     // set by the sweep and the limits
  std::atomic<bool> fWaitsForMemory{false};
};
