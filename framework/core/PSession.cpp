#include "zevo/core/PSession.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "PExchange.h"
#include "zevo/PErrors.h"
#include "zevo/PLogArgs.h"
#include "zevo/PUtils.h"

namespace {

thread_local PExchange* tExchange = nullptr;

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

PExchange* PExchange::current() { return tExchange; }

PExchange* PExchange::enter(PExchange* iNext) { return std::exchange(tExchange, iNext); }

PSession::PSession(PComms& iComms, PSessionInfo iInfo, PTransportLink& iLink)
    : fComms(iComms), fInfo(std::move(iInfo)), fIn(kInputSize), fLink(iLink), fActiveAt(nowMs()) {
  fEntered = true;
  std::string refused;
  if (!fComms.enter(this, refused)) transportError(ERR_COMMS_BUSY, 0, refused);
  account();
}

void PSession::leave() {
  if (fEntered) fComms.leave(this);
  fEntered = false;
}

PSession::~PSession() {
  leave();
  fComms.log(LOG_LEVEL_DEBUG, L"[%s] connection %d (%ls) closed", "session", static_cast<int>(fInfo.fNumber), PUtils::wide(fInfo.fPeer));
  // What the modules' watchers say the session still holds goes back, as if
  // the peer had asked; the replies go nowhere. Each watcher's releases are
  // delivered before the next watcher is told.
  static const char* const kEndedBy[] = {"connection-end", "frame-timeout", "idle-timeout", "yielded", "host-stop"};
  PSessionInfo ended = fInfo;
  ended.fEnded = true;
  ended.fEndedBy = kEndedBy[fExpiry.load(std::memory_order_relaxed)];
  for (const auto& binding : fComms.watchedBindings()) {
    for (const auto& watcher : binding->fWatchers) {
      for (PRelease& release : watcher->ended(ended)) {
        PCommsEvent* event = new PCommsEvent();
        PBaseptr<PCommsEvent> held(event);
        event->fTarget.fAddress = PUtils::wide(fInfo.fPeer);
        event->fTarget.fConnection = static_cast<int>(fInfo.fNumber);
        event->fMessage = release.fRequest;
        PExchange exchange;
        exchange.fRequest = &event->fMessage;
        exchange.fInfo = &ended;
        fComms.deliver(*binding, exchange, *event);
        fComms.log(LOG_LEVEL_DEBUG, L"[%s] connection %d (%ls) ended (%ls): %ls it left open, status %d", "session",
                   static_cast<int>(fInfo.fNumber), PUtils::wide(fInfo.fPeer), PUtils::wide(ended.fEndedBy),
                   PUtils::wide(release.fWhat), exchange.fReplied ? exchange.fStatus : ERR_NO_INSTANCE);
      }
    }
  }
  fComms.account(-static_cast<ptrdiff_t>(fAccounted.load(std::memory_order_relaxed)));
}

void PSession::account() {
  size_t now = fIn.capacity();
  for (const Piece& piece : fOut) now += piece.fBytes.capacity();
  const size_t before = fAccounted.load(std::memory_order_relaxed);
  if (now == before) return;
  fComms.account(static_cast<ptrdiff_t>(now) - static_cast<ptrdiff_t>(before));
  fAccounted.store(now, std::memory_order_relaxed);
}

size_t PSession::readAhead() const {
  const PCommsSettings& settings = fComms.settings();
  if (fComms.heldBytes() <= settings.fMemoryMax) return settings.fReadAhead;
  return std::min(settings.fReadAhead, settings.fMemoryMax / static_cast<size_t>(settings.fConnectionMax));
}

unsigned char* PSession::receiveSpace(size_t& oRoom) {
  oRoom = 0;
  if (!wantsInput()) return nullptr;
  if (fInEnd == fIn.size() && fInStart > 0) {
    std::memmove(fIn.data(), fIn.data() + fInStart, fInEnd - fInStart);
    fInEnd -= fInStart;
    fInStart = 0;
  }
  if (fInEnd == fIn.size()) {
    // Full: whole frames that wait to be served, or one frame larger than
    // the buffer, whose length was checked against the limit on arrival.
    PFrameView frame;
    size_t needed = 0;
    if (PFrame::parse(fIn.data(), fInEnd, fComms.settings().fFrameMax, frame, needed) != 1) return nullptr;
    if (fComms.heldBytes() + needed - fIn.capacity() > fComms.settings().fMemoryMax) {
      fWaitsForMemory.store(true, std::memory_order_relaxed);  // the sweep resumes it
      return nullptr;
    }
    fWaitsForMemory.store(false, std::memory_order_relaxed);
    try {
      fIn.resize(needed);
    } catch (const std::bad_alloc&) {
      transportError(ERR_NO_MEMORY, frame.fExchange, "the host is out of memory");
      return nullptr;
    }
    account();
  }
  oRoom = fIn.size() - fInEnd;
  return fIn.data() + fInEnd;
}

void PSession::received(size_t iCount) { fInEnd += iCount; }

void PSession::receivedEnd() { fReadClosed = true; }

bool PSession::frameWaiting() const {
  PFrameView frame;
  size_t needed = 0;
  return fInStart < fInEnd && PFrame::parse(fIn.data() + fInStart, fInEnd - fInStart, fComms.settings().fFrameMax, frame, needed) != 1;
}

bool PSession::moreToServe() const {
  // A large reply that waited for the replies before it goes on once they are sent.
  const bool blocked = fBlocked && (unsent() > 0 || fWaitsForMemory.load(std::memory_order_relaxed));
  return !fClosing && !blocked && unsent() < readAhead() && frameWaiting();
}

bool PSession::wantsInput() const {
  return !fReadClosed && !fClosing && unsent() < readAhead() && !fWaitsForMemory.load(std::memory_order_relaxed);
}

bool PSession::finished() const { return unsent() == 0 && (fClosing || (fReadClosed && fInStart == fInEnd)); }

void PSession::serve() {
  const int expiry = fExpiry.load(std::memory_order_relaxed);
  if (expiry == kYielded && !fClosing) {
    transportError(ERR_COMMS_BUSY, 0, "every place is taken and " + fInfo.fIdentity + " holds the most: its oldest connection yields");
  } else if ((expiry == kFrameTimeout || expiry == kIdleTimeout) && !fClosing) {
    const int limit = expiry == kFrameTimeout ? fComms.settings().fFrameTimeoutMs : fComms.settings().fIdleTimeoutMs;
    transportError(ERR_COMMS_TIMEOUT, 0, std::string(expiry == kFrameTimeout ? "a frame begun" : "idle") + " for over " +
                                             std::to_string(limit) + " ms");
  }
  fBlocked = false;
  bool served = false;
  while (!fClosing && fInStart < fInEnd && unsent() < kFlushAt && unsent() < readAhead()) {
    PFrameView frame;
    size_t needed = 0;
    const int parsed = PFrame::parse(fIn.data() + fInStart, fInEnd - fInStart, fComms.settings().fFrameMax, frame, needed);
    if (parsed == 1) {
      if (fReadClosed) {
        transportError(ERR_COMMS_FRAME, frame.fExchange,
                       "the connection ended in the middle of a frame (" + std::to_string(fInEnd - fInStart) + " bytes)");
      }
      break;
    }
    if (parsed == ERR_COMMS_FRAME_SIZE) {
      transportError(parsed, frame.fExchange,
                     "frame of " + std::to_string(PFrame::readU32(fIn.data() + fInStart)) + " bytes exceeds the limit of " +
                         std::to_string(fComms.settings().fFrameMax));
    } else if (parsed != 0) {
      transportError(parsed, frame.fExchange, "malformed frame header");
    } else if (frame.fKind != FRAME_REQUEST) {
      transportError(ERR_COMMS_FRAME, frame.fExchange,
                     "frame of kind " + std::to_string(frame.fKind) + " where a request (kind 1) was expected");
    } else if (!mayServe(frame)) {
      fBlocked = true;
      break;
    } else {
      serveRequest(frame);
      fInStart += frame.fSize;
      served = true;
    }
  }
  const int64_t now = served || fFrameSince.load(std::memory_order_relaxed) == 0 ? nowMs() : 0;
  if (served) fActiveAt.store(now, std::memory_order_relaxed);
  if (fInStart == fInEnd) {
    fInStart = fInEnd = 0;
    if (fIn.size() > 4 * kInputSize) std::vector<unsigned char>(kInputSize).swap(fIn);  // after a huge frame
    fFrameSince.store(0, std::memory_order_relaxed);
  } else if (frameWaiting()) {
    fFrameSince.store(0, std::memory_order_relaxed);
  } else if (now != 0) {
    fFrameSince.store(now, std::memory_order_relaxed);  // a frame begun since (or before) this turn
  }
  account();
}

bool PSession::mayServe(const PFrameView& iFrame) {
  const PComms::Binding* binding = bindingOf(iFrame);
  bool large = false;
  if (binding != nullptr) {
    for (const auto& watcher : binding->fWatchers) large = large || watcher->largeReply(iFrame.fWord);
  }
  if (!large) return true;
  if (unsent() > 0) return false;  // the peer reads the replies before it first; writability resumes it
  const bool room = fComms.roomForLargeReply(*this);
  fWaitsForMemory.store(!room, std::memory_order_relaxed);
  return room;
}

const PComms::Binding* PSession::bindingOf(const PFrameView& iFrame) {
  const unsigned int version = fComms.bindingsVersion();
  if (fCachedBinding == nullptr || version != fCachedVersion ||
      fCachedModule.compare(0, std::string::npos, iFrame.fModule, iFrame.fModuleLength) != 0) {
    fCachedModule.assign(iFrame.fModule, iFrame.fModuleLength);
    fCachedBinding = fComms.findBinding(fCachedModule);
    fCachedVersion = version;
  }
  return fCachedBinding.get();
}

void PSession::serveRequest(const PFrameView& iFrame) {
  if (bindingOf(iFrame) == nullptr) {
    PString ignored;
    if (PUtils::fromUtf8(iFrame.fModule, iFrame.fModuleLength, ignored) != 0) {
      transportError(ERR_COMMS_FRAME, iFrame.fExchange, "the module ID is not UTF-8");
    } else {
      transportError(ERR_COMMS_NO_MODULE, iFrame.fExchange, "no module is bound as \"" + fCachedModule + "\"");
    }
    return;
  }
  // A listener that kept the last event has it for itself: make another.
  if (fEvent.isNull() || fEvent->references() != 1) {
    fEvent = new PCommsEvent();
    fEvent->fTarget.fAddress = PUtils::wide(fInfo.fPeer);
    fEvent->fTarget.fConnection = static_cast<int>(fInfo.fNumber);
  }
  PCommsEvent& event = *fEvent;
  if (event.fMessage.fModuleID.cmp(fCachedBinding->fModuleID) != 0) event.fMessage.fModuleID = fCachedBinding->fModuleID;
  event.fMessage.fUint32 = iFrame.fWord;
  event.fMessage.fData.assign(iFrame.fPayload, iFrame.fPayload + iFrame.fPayloadLength);
  PExchange exchange;
  exchange.fSession = this;
  exchange.fExchange = iFrame.fExchange;
  exchange.fRequest = &event.fMessage;
  exchange.fInfo = &fInfo;
  fComms.deliver(*fCachedBinding, exchange, event);
  if (!exchange.fReplied) {
    // Nobody answered (no listener on the module's topic): the peer still
    // gets its one reply.
    PCommsMessage none;
    none.fUint32 = static_cast<uint32_t>(ERR_NO_INSTANCE);
    queueReply(exchange, none);
  }
}

void PSession::queueReply(const PExchange& iExchange, PCommsMessage& iReply, const PFileSpan* iSpan) {
  static const std::string kNoModule;
  const std::string* module = &kNoModule;
  std::string converted;
  if (iReply.fModuleID.len() != 0) {
    if (iExchange.fBinding != nullptr && iReply.fModuleID.cmp(iExchange.fBinding->fModuleID) == 0) {
      module = &iExchange.fBinding->fModuleUtf8;
    } else if (PUtils::toUtf8(iReply.fModuleID, converted) == 0) {
      module = &converted;
    }
  }
  const size_t spanned = iSpan != nullptr ? iSpan->fLength : 0;
  std::vector<unsigned char>& out = tail();
  const size_t before = out.size();
  const size_t size = kFrameHeader - kFrameLengthField + module->size() + iReply.fData.size() + spanned;
  if (fInfo.fFrameMax != 0 && size > fInfo.fFrameMax) {
    PFrame::append(out, FRAME_REPLY, iExchange.fExchange, static_cast<uint32_t>(ERR_COMMS_FRAME_SIZE), *module, nullptr, 0);
    unsigned long dropped = 0;
    if (fComms.fPeerLines.admit(dropped)) {
      fComms.log(LOG_LEVEL_WARNING, L"[%s] connection %d (%ls): a reply of %ls bytes exceeds the transport's limit of %ls; answered %d instead%ls",
                 "transport", static_cast<int>(fInfo.fNumber), PUtils::wide(fInfo.fPeer), PUtils::wide(std::to_string(size)),
                 PUtils::wide(std::to_string(fInfo.fFrameMax)), ERR_COMMS_FRAME_SIZE, PComms::suppressed(dropped));
    }
  } else if (spanned > 0) {
    // The file's bytes follow the elements before them as a piece of their own.
    PFrame::appendHeader(out, FRAME_REPLY, iExchange.fExchange, iReply.fUint32, *module, iReply.fData.size() + spanned);
    out.insert(out.end(), iReply.fData.begin(), iReply.fData.end());
    fOut.push_back(Piece{{}, *iSpan});
    fUnsent += spanned;
    fTailOpen = false;
  } else if (iReply.fData.size() < kTakeAt) {
    PFrame::append(out, FRAME_REPLY, iExchange.fExchange, iReply.fUint32, *module, iReply.fData.data(), iReply.fData.size());
  } else {
    // A large payload is not copied: the reply's own buffer goes out after its header.
    PFrame::appendHeader(out, FRAME_REPLY, iExchange.fExchange, iReply.fUint32, *module, iReply.fData.size());
    fUnsent += iReply.fData.size();
    fOut.push_back(Piece{std::move(iReply.fData), {}});
    fTailOpen = false;
  }
  fUnsent += out.size() - before;
  account();
}

std::vector<unsigned char>& PSession::tail() {
  if (fOut.empty() || !fTailOpen) {
    fOut.emplace_back();
    fTailOpen = true;
  }
  return fOut.back().fBytes;
}

const unsigned char* PSession::output(size_t& oSize) const {
  if (fOut.empty()) {
    oSize = 0;
    return nullptr;
  }
  const Piece& front = fOut.front();
  oSize = front.size() - fOutStart;
  return front.fSpan.fLength > 0 ? nullptr : front.fBytes.data() + fOutStart;
}

int PSession::outputFile(long long& oOffset) const {
  if (fOut.empty() || fOut.front().fSpan.fLength == 0) return -1;
  oOffset = fOut.front().fSpan.fOffset + static_cast<long long>(fOutStart);
  return fOut.front().fSpan.fFd;
}

void PSession::sent(size_t iCount) {
  fOutStart += iCount;
  fUnsent -= iCount;
  fActiveAt.store(nowMs(), std::memory_order_relaxed);
  Piece& front = fOut.front();
  if (fOutStart < front.size()) return;
  fOutStart = 0;
  if (fOut.size() > 1 || !fTailOpen || front.fBytes.capacity() > 4 * fComms.settings().fReadAhead) {
    fOut.pop_front();  // a taken payload, a span, or a buffer grown large: the memory (or the file) goes
    if (fOut.empty()) fTailOpen = false;
    account();
  } else {
    front.fBytes.clear();  // the tail, kept for the next replies
  }
}

void PSession::transportError(int iCode, uint32_t iExchange, const std::string& iText) {
  std::vector<unsigned char>& out = tail();
  const size_t before = out.size();
  PFrame::append(out, FRAME_ERROR, iExchange, static_cast<uint32_t>(iCode), std::string(),
                 reinterpret_cast<const unsigned char*>(iText.data()), iText.size());
  fUnsent += out.size() - before;
  fClosing = true;
  // What the peer did (a frame it got wrong, its time, its limits) is a
  // warning; anything else is the host's fault. Both are throttled: a peer
  // can provoke either at will.
  const bool peers = iCode == ERR_COMMS_FRAME || iCode == ERR_COMMS_FRAME_SIZE || iCode == ERR_COMMS_NO_MODULE ||
                     iCode == ERR_COMMS_TIMEOUT || iCode == ERR_COMMS_BUSY;
  unsigned long dropped = 0;
  if (fComms.fPeerLines.admit(dropped)) {
    fComms.log(peers ? LOG_LEVEL_WARNING : LOG_LEVEL_ERROR, L"[%s] connection %d (%ls): %ls (%d); closing it%ls", "transport",
               static_cast<int>(fInfo.fNumber), PUtils::wide(fInfo.fPeer), PUtils::wide(iText), iCode, PComms::suppressed(dropped));
  }
}
