#include "PStreamConnection.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>

namespace {

constexpr int kReadsPerTurn = 16;  // reads before a busy connection lets the others of its worker go

}  // namespace

PStreamConnection::PStreamConnection(PComms& iComms, PFd iFd, PSessionInfo iInfo)
    : fComms(iComms), fFd(std::move(iFd)), fSession(iComms, std::move(iInfo)) {}

void PStreamConnection::onReady(uint32_t iEvents) {
  if ((iEvents & EPOLLOUT) != 0 && !flush()) return finish();
  if (!pump()) return finish();  // requests held back while the replies piled up come first
  for (int round = 0; round < kReadsPerTurn; ++round) {
    size_t room = 0;
    unsigned char* space = fSession.receiveSpace(room);
    if (space == nullptr) break;
    const ssize_t got = ::read(fFd.get(), space, room);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (got < 0) return finish();  // reset by the peer, or worse
    if (got == 0) {
      fSession.receivedEnd();
    } else {
      fSession.received(static_cast<size_t>(got));
    }
    if (!pump()) return finish();
    if (got == 0 || static_cast<size_t>(got) < room) break;  // drained for now
  }
  if (fSession.finished()) return finish();
  size_t unsent = 0;
  fSession.output(unsent);
  uint32_t wanted = fSession.wantsInput() ? EPOLLIN | EPOLLRDHUP : 0;  // else slowed until it reads
  if (unsent > 0 || fSession.moreToServe()) wanted |= EPOLLOUT;      // writable again, or more to serve at once
  fComms.fDispatcher->reactor().modify(fFd.get(), this, wanted);
}

bool PStreamConnection::pump() {
  for (;;) {
    fSession.serve();
    if (!flush()) return false;
    size_t unsent = 0;
    fSession.output(unsent);
    if (unsent >= PSession::kFlushAt || !fSession.moreToServe()) return true;  // the peer must read first
  }
}

bool PStreamConnection::flush() {
  for (;;) {
    size_t size = 0;
    const unsigned char* bytes = fSession.output(size);
    if (size == 0) return true;
    const ssize_t sent = ::send(fFd.get(), bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      fSession.sent(static_cast<size_t>(sent));
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else {
      return sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);  // else the peer is gone
    }
  }
}

void PStreamConnection::finish() {
  fComms.fDispatcher->reactor().remove(fFd.get(), this);
  fComms.forget(this);
  delete this;  // the session releases what it held, then the socket closes
}

void PStreamConnection::shutdownNow() {
  flush();
  finish();
}
