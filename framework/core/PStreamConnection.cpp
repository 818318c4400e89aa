#include "PStreamConnection.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <chrono>

#include "zevo/PErrors.h"
#include "zevo/PUtils.h"

namespace {

constexpr int kReadsPerTurn = 16;  // reads before a busy connection lets the others of its worker go

uint32_t eventOf(PByteChannel::Wait iWait) { return iWait == PByteChannel::kReadable ? EPOLLIN : EPOLLOUT; }

}  // namespace

PStreamConnection::PStreamConnection(PComms& iComms, PFd iFd, PSessionInfo iInfo, std::unique_ptr<PByteChannel> iChannel,
                                     int64_t iHandshakeDeadline)
    : fComms(iComms), fFd(std::move(iFd)), fInfo(std::move(iInfo)), fChannel(std::move(iChannel)),
      fHandshakeDeadline(iHandshakeDeadline) {}

int64_t PStreamConnection::nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void PStreamConnection::expireHandshake(int64_t iNow) {
  const int64_t deadline = fHandshakeDeadline.load(std::memory_order_relaxed);
  if (deadline != 0 && iNow >= deadline) ::shutdown(fFd.get(), SHUT_RDWR);  // the worker sees the end
}

void PStreamConnection::interrupt(bool iHard) {
  if (iHard) {
    ::shutdown(fFd.get(), SHUT_RDWR);
  } else {
    fComms.fDispatcher->reactor().kick(fFd.get(), this);
  }
}

bool PStreamConnection::handshake() {
  const int result = fChannel->handshake();
  if (result == PByteChannel::kWouldBlock) return true;
  const int64_t deadline = fHandshakeDeadline.exchange(0, std::memory_order_relaxed);
  if (result != 1) {
    const std::string why = deadline != 0 && nowMs() >= deadline
                                ? "no handshake within " + std::to_string(fComms.fSettings.fHandshakeTimeoutMs) + " ms"
                                : fChannel->error();
    fComms.log(LOG_LEVEL_WARNING, L"[%s] connection %d (%ls): TLS handshake failed: %ls", "handshake",
               static_cast<int>(fInfo.fNumber), PUtils::wide(fInfo.fPeer), PUtils::wide(why));
    return false;
  }
  if (!fChannel->peerName().empty()) {
    fInfo.fIdentity = "cert:" + fChannel->peerName();
    fInfo.fFingerprint = fChannel->peerFingerprint();
    fComms.log(LOG_LEVEL_DEBUG, L"[%s] connection %d (%ls) is %ls, %ls", "handshake", static_cast<int>(fInfo.fNumber),
               PUtils::wide(fInfo.fPeer), PUtils::wide(fInfo.fIdentity), PUtils::wide(fInfo.fFingerprint));
  }
  // A plain peer was admitted as it was accepted; a TLS peer is, now that
  // its identity is proven, and told through its channel when refused.
  std::string why;
  if (fInfo.fRole == SESSION_ROLE_NONE && !fComms.admit(fInfo, why)) {
    std::vector<unsigned char> frame;
    PFrame::append(frame, FRAME_ERROR, 0, static_cast<uint32_t>(ERR_COMMS_REFUSED), std::string(),
                   reinterpret_cast<const unsigned char*>(why.data()), why.size());
    if (fChannel->write(frame.data(), frame.size()) > 0) fChannel->flush();
    fComms.logRefusal(fInfo.fPeer, why);
    return false;
  }
  fSession.emplace(fComms, fInfo, *this);
  return true;
}

void PStreamConnection::onReady(uint32_t iEvents) {
  if (!fSession) {
    if (!handshake()) return finish();
    if (!fSession) {
      fComms.fDispatcher->reactor().modify(fFd.get(), this, eventOf(fChannel->readWait()) | EPOLLRDHUP);
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
  fComms.fDispatcher->reactor().modify(fFd.get(), this, wanted);
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
    const ssize_t sent = fChannel->write(bytes, size);
    if (sent <= 0) return sent == PByteChannel::kWouldBlock;  // else the peer is gone
    fSession->sent(static_cast<size_t>(sent));
  }
}

void PStreamConnection::finish() {
  if (fSession) fSession->leave();  // no more interrupts
  fComms.fDispatcher->reactor().remove(fFd.get(), this);
  fComms.forget(this);
  delete this;  // the session releases what it held, the channel says goodbye, then the socket closes
}

void PStreamConnection::shutdownNow() {
  if (fSession) flush();
  finish();
}
