#include "PStreamConnection.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <new>
#include <string>
#include <vector>

#include "zevo/PErrors.h"
#include "zevo/PUtils.h"
#include "zevo/protocol/PFrame.h"

namespace {

constexpr int kReadsPerTurn = 16;  // reads before a busy connection lets the others of its worker go

uint32_t eventOf(PByteChannel::Wait iWait) { return iWait == PByteChannel::kReadable ? EPOLLIN : EPOLLOUT; }

}  // namespace

void PStreamConnection::refuse(PComms& iComms, PFd& ioFd, int iCode, const std::string& iWhy, const std::string& iWho,
                               bool iSpeaksFrames) {
  if (iSpeaksFrames) {
    std::vector<unsigned char> frame;
    PFrame::append(frame, FRAME_ERROR, 0, static_cast<uint32_t>(iCode), std::string(),
                   reinterpret_cast<const unsigned char*>(iWhy.data()), iWhy.size());
    const ssize_t ignored = ::send(ioFd.get(), frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
  }
  ioFd.reset();
  iComms.logPeer("refused " + iWho + ": " + iWhy);
}

void PStreamConnection::begin(PComms& iComms, const PStreamTransport& iTransport, PFd iFd, PSessionInfo iInfo) {
  const bool handshakes = iTransport.handshakes();
  std::string why;
  // A peer without a handshake is known now; one with is once it has ended.
  if (!handshakes && !iComms.admit(iInfo, why)) return refuse(iComms, iFd, ERR_COMMS_REFUSED, why, iInfo.fPeer, true);
  std::unique_ptr<PByteChannel> channel = iTransport.channel(iFd.get(), why);
  PStreamConnection* connection =
      channel ? new (std::nothrow) PStreamConnection(iComms, std::move(iFd), iInfo, std::move(channel)) : nullptr;
  if (connection == nullptr) return refuse(iComms, iFd, ERR_COMMS_BUSY, why.empty() ? "out of memory" : why, iInfo.fPeer, !handshakes);
  iComms.attach(connection);
  if (handshakes) iComms.beginHandshake(connection, iInfo.fAddress);
  iComms.log(LOG_LEVEL_DEBUG, L"[%s] connection %d from %ls", "accept", static_cast<int>(iInfo.fNumber), PUtils::wide(iInfo.fPeer));
  // From here a worker may serve (and even end) the connection at once. A
  // plain one begins its session at once (the socket is writable), so that
  // a peer that sends nothing is counted for its identity and can time out.
  const int fd = connection->fFd.get();
  if (iComms.reactor().add(fd, connection, EPOLLIN | EPOLLRDHUP | (handshakes ? 0u : EPOLLOUT)) != 0) {
    iComms.detach(connection);
    delete connection;
  }
}

PStreamConnection::PStreamConnection(PComms& iComms, PFd iFd, PSessionInfo iInfo, std::unique_ptr<PByteChannel> iChannel)
    : fComms(iComms), fFd(std::move(iFd)), fInfo(std::move(iInfo)), fChannel(std::move(iChannel)) {}

void PStreamConnection::interrupt(bool iHard) {
  if (iHard) {
    ::shutdown(fFd.get(), SHUT_RDWR);  // the worker sees the end
  } else {
    fComms.reactor().kick(fFd.get(), this);
  }
}

bool PStreamConnection::handshake() {
  const int result = fChannel->handshake();
  if (result == PByteChannel::kWouldBlock) return true;
  const char* dropped = fComms.droppedWhy(this);
  fComms.endHandshake(this);
  if (result != 1) {
    fComms.logPeer("connection " + std::to_string(fInfo.fNumber) + " (" + fInfo.fPeer + "): TLS handshake failed: " +
                   (dropped != nullptr ? std::string(dropped) : fChannel->error()));
    return false;
  }
  if (!fChannel->peerName().empty()) {
    fInfo.fIdentity = "cert:" + fChannel->peerName();
    fInfo.fFingerprint = fChannel->peerFingerprint();
    fComms.log(LOG_LEVEL_DEBUG, L"[%s] connection %d (%ls) is %ls, %ls", "handshake", static_cast<int>(fInfo.fNumber),
               PUtils::wide(fInfo.fPeer), PUtils::wide(fInfo.fIdentity), PUtils::wide(fInfo.fFingerprint));
  }
  // Its identity proven, the peer gets its role (a plain peer has had it
  // since it was accepted), and is told through its channel when it has none.
  std::string why;
  if (fInfo.fRole == SESSION_ROLE_NONE && !fComms.admit(fInfo, why)) {
    std::vector<unsigned char> frame;
    PFrame::append(frame, FRAME_ERROR, 0, static_cast<uint32_t>(ERR_COMMS_REFUSED), std::string(),
                   reinterpret_cast<const unsigned char*>(why.data()), why.size());
    if (fChannel->write(frame.data(), frame.size()) > 0) fChannel->flush();
    fComms.logPeer("refused " + fInfo.fPeer + ": " + why);
    return false;
  }
  fSession.emplace(fComms, fInfo, *this);
  return true;
}

void PStreamConnection::onReady(uint32_t iEvents) {
  if (!fSession) {
    if (!handshake()) return finish();
    if (!fSession) {
      fComms.reactor().modify(fFd.get(), this, eventOf(fChannel->readWait()) | EPOLLRDHUP);
      return;
    }
  }
  size_t unsent = 0;
  fSession->output(unsent);
  // Hung up while the session waits for memory, with nothing to write that
  // would fail: nothing else ends it, and the hang-up would wake it without end.
  if ((iEvents & (EPOLLHUP | EPOLLERR)) != 0 && unsent == 0 && !fChannel->holdsOutput() && !fSession->wantsInput() &&
      !fSession->moreToServe()) {
    return finish();
  }
  // Whatever woke the worker: replies that wait are written first, then
  // requests held back while they piled up are served.
  if (!pump()) return finish();
  bool drained = false;   // the channel has nothing more for now
  bool unserved = false;  // bytes received since the last pump
  for (int round = 0; round < kReadsPerTurn && !drained; ++round) {
    size_t room = 0;
    unsigned char* space = fSession->receiveSpace(room);
    if (space == nullptr && unserved) {  // full of records the channel held: serve them, then read on
      unserved = false;
      if (!pump()) return finish();
      space = fSession->receiveSpace(room);
    }
    if (space == nullptr) break;
    const ssize_t got = fChannel->read(space, room);
    if (got == PByteChannel::kFailed) return finish();  // reset by the peer, or worse
    drained = got == PByteChannel::kWouldBlock;
    if (drained) break;
    if (got == 0) {
      fSession->receivedEnd();
    } else {
      fSession->received(static_cast<size_t>(got));
    }
    unserved = true;
    drained = got == 0 || (static_cast<size_t>(got) < room && !fChannel->pending());
    // A TLS read brings one record: the records the channel holds go in
    // before serving, as one plain read brings all that has arrived (a
    // window of requests is served, and answered, together).
    if (!drained && fChannel->pending() && round + 1 < kReadsPerTurn) continue;
    unserved = false;
    if (!pump()) return finish();
  }
  if (unserved && !pump()) return finish();
  if (fSession->finished() && !fChannel->holdsOutput()) return finish();
  fSession->output(unsent);
  uint32_t wanted = 0;  // nothing to read: slowed until it reads
  if (fSession->wantsInput()) wanted |= eventOf(fChannel->readWait()) | EPOLLRDHUP;
  if (unsent > 0 || fChannel->holdsOutput()) wanted |= eventOf(fChannel->writeWait());
  // More to serve, or bytes the channel holds already: back at once (the
  // socket is writable, or unsent replies wait for it anyway).
  if (fSession->moreToServe() || (!drained && fSession->wantsInput() && fChannel->pending())) wanted |= EPOLLOUT;
  fComms.reactor().modify(fFd.get(), this, wanted);
}

bool PStreamConnection::pump() {
  for (;;) {
    fSession->serve();
    if (!flush()) return false;
    size_t unsent = 0;
    fSession->output(unsent);
    if (unsent >= PSession::kFlushAt || !fSession->moreToServe()) return true;  // the peer must read first
  }
}

bool PStreamConnection::flush() {
  for (;;) {
    size_t size = 0;
    const unsigned char* bytes = fSession->output(size);
    if (size == 0) return fChannel->flush() != PByteChannel::kFailed;  // what the channel gathered
    long long offset = 0;
    const int file = bytes == nullptr ? fSession->outputFile(offset) : -1;
    const ssize_t sent = bytes != nullptr ? fChannel->write(bytes, size) : fChannel->writeFile(file, offset, size);
    if (sent == PByteChannel::kFileFailed) {
      // Its frame is begun and cannot be ended truthfully: the peer must see the cut.
      fComms.logPeer("connection " + std::to_string(fInfo.fNumber) + " (" + fInfo.fPeer + "): a reply's file failed as it was sent (" +
                     fChannel->error() + "); closing it");
    }
    if (sent <= 0) return sent == PByteChannel::kWouldBlock;  // else the peer is gone
    fSession->sent(static_cast<size_t>(sent));
  }
}

void PStreamConnection::finish() {
  if (fSession) fSession->leave();  // no more interrupts
  fComms.reactor().remove(fFd.get(), this);
  fComms.detach(this);
  delete this;  // the session releases what it held, the channel says goodbye, then the socket closes
}

void PStreamConnection::shutdownNow() {
  if (fSession) flush();
  finish();
}
