#include "PFramePump.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "PClientInternal.h"
#include "PConnectors.h"
#include "zevo/PDataTags.h"
#include "zevo/PErrors.h"
#include "zevo/protocol/PEndpoint.h"
#include "zevo/protocol/PFileOpsProtocol.h"

namespace {

using Clock = std::chrono::steady_clock;

// Replies are not bounded by the host's frame limit (a listing can be large);
// this only stops a broken length from taking all memory.
constexpr uint32_t kMaxReplyLength = 64u << 20;
constexpr size_t kReadSize = 64 * 1024;

const std::string kAccessModule = kFileAccessModule;

// Text sent by a host, made safe to print on one line.
std::string printable(const unsigned char* iBytes, size_t iCount) {
  std::string text;
  for (size_t i = 0; i < iCount && text.size() < 1000; ++i) {
    const unsigned char c = iBytes[i];
    text += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
  }
  return text;
}

// What the first bytes of a peer that does not speak this protocol tell;
// empty when they tell nothing.
std::string foreignPeer(const unsigned char* iBytes, size_t iCount) {
  if (iCount >= 3 && iBytes[0] >= 0x14 && iBytes[0] <= 0x17 && iBytes[1] == 0x03 && iBytes[2] <= 0x04) {
    return "the peer answered with TLS: connect with tls:HOST:PORT (and --ca)";
  }
  size_t text = 0;
  while (text < iCount && text < 80 && iBytes[text] >= 0x20 && iBytes[text] < 0x7F) ++text;
  if (text < 4) return {};
  return "the peer is not a zevo host; it said \"" + printable(iBytes, text) + "\"";
}

}  // namespace

const char* actionName(uint32_t iAction) {
  const char* name = fileAccessActionName(iAction);
  const PActionTraits* ops = fileOpsAction(iAction);
  if (name == nullptr && ops != nullptr) name = ops->fName;
  return name != nullptr ? name : "request";
}

int PFramePump::connect(const std::string& iEndpoint, int iTimeoutMs, const PConnector::Credentials& iWith, PClientError& oError) {
  close();
  fEndpoint = iEndpoint;
  PEndpoint endpoint;
  std::string why;
  if (PEndpoint::parse(iEndpoint, endpoint, why) != 0) return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument, why, iEndpoint);
  const PConnector* connector = connectorFor(endpoint.fScheme);
  if (connector == nullptr) {
    return setError(oError, ERR_INVALID_ARG, PErrorOrigin::kArgument, "this client does not reach " + endpoint.fScheme + ": endpoints",
                    iEndpoint);
  }
  PConnection connection;
  int result = connector->check(endpoint, iWith, oError);
  if (result == 0) result = connector->connect(endpoint, iWith, iTimeoutMs, connection, oError);
  if (result != 0) return result;
  fFd = std::move(connection.fFd);
  fChannel = std::move(connection.fChannel);
  return 0;
}

void PFramePump::close() {
  fChannel.reset();
  fFd.reset();
  fPending.clear();
  fIn.clear();
  fInStart = fInEnd = 0;
  fOut.clear();
  fNextExchange = 1;
  fAnswered = false;
  fHeard = false;
}

int PFramePump::hostError(const PFrameView& iFrame, PClientError& oError) {
  const std::string text = printable(iFrame.fPayload, iFrame.fPayloadLength);
  const int code = static_cast<int32_t>(iFrame.fWord);
  setError(oError, code, PErrorOrigin::kHost, text.empty() ? "transport error" : text, fEndpoint);
  close();
  return code;
}

int PFramePump::fail(int iCode, const std::string& iText, PClientError& oError) {
  // A transport error the host sent before closing says more than the
  // broken connection does; bytes of another protocol say who answered.
  PFrameView frame;
  PClientError ignored;
  const std::string foreign = fAnswered ? "" : foreignPeer(fIn.data() + fInStart, fInEnd - fInStart);
  if (!foreign.empty()) {
    setError(oError, ERR_CLIENT_PROTOCOL, PErrorOrigin::kConnection, foreign, fEndpoint);
    close();
    return ERR_CLIENT_PROTOCOL;
  }
  while (takeFrame(frame, ignored) == 1) {
    if (frame.fKind == FRAME_ERROR) return hostError(frame, oError);
    fInStart += frame.fSize;
  }
  // A TLS port dialled plainly ends the connection without a byte.
  const bool silent = iCode == ERR_COMMS_CLOSED && !fHeard && fEndpoint.compare(0, 4, "tcp:") == 0;
  setError(oError, iCode, PErrorOrigin::kConnection,
           silent ? "connection lost before any answer: if the host serves TLS there, connect with tls:HOST:PORT (and --ca)" : iText,
           fEndpoint);
  close();
  return iCode;
}

bool PFramePump::readSome(PClientError& oError, bool* oGot) {
  if (oGot != nullptr) *oGot = false;
  if (fInStart == fInEnd) {
    fInStart = fInEnd = 0;
  } else if (fInStart > 0 && fIn.size() - fInEnd < kReadSize / 2) {
    std::memmove(fIn.data(), fIn.data() + fInStart, fInEnd - fInStart);
    fInEnd -= fInStart;
    fInStart = 0;
  }
  if (fIn.size() - fInEnd < kReadSize / 2) {
    // A reply larger than the room (a long listing, a large block): grow,
    // never past the largest frame accepted.
    const size_t wanted = std::max(fIn.size() * 2, kReadSize);
    if (wanted > kMaxReplyLength + 2 * kReadSize) {
      fail(ERR_CLIENT_PROTOCOL, "reply frame too large", oError);
      return false;
    }
    try {
      fIn.resize(wanted);
    } catch (const std::bad_alloc&) {
      fail(PERR_NO_MEMORY, "out of memory for a reply", oError);
      return false;
    }
  }
  // A TLS read gives one record: the records the channel holds already are
  // taken as well, so that the replies of a window arrive together, as one
  // plain read takes them.
  ssize_t got = 0;
  do {
    got = fChannel->read(fIn.data() + fInEnd, fIn.size() - fInEnd);
    if (got <= 0) break;
    fInEnd += static_cast<size_t>(got);
    fHeard = true;
    if (oGot != nullptr) *oGot = true;
  } while (fInEnd < fIn.size() && fChannel->pending());
  if (got > 0 || got == PByteChannel::kWouldBlock) return true;
  fail(ERR_COMMS_CLOSED, got == 0 ? "connection lost" : "connection lost: " + fChannel->error(), oError);
  return false;
}

bool PFramePump::replyBuffered() const {
  PFrameView view;
  size_t needed = 0;
  return fInStart < fInEnd &&
         PFrame::parse(fIn.data() + fInStart, fInEnd - fInStart, kMaxReplyLength, view, needed) == 0;
}

int PFramePump::takeFrame(PFrameView& oFrame, PClientError& oError) {
  if (fInStart >= fInEnd) return 0;
  size_t needed = 0;
  const int parsed = PFrame::parse(fIn.data() + fInStart, fInEnd - fInStart, kMaxReplyLength, oFrame, needed);
  if (parsed == 1) return 0;
  if (parsed == 0 && (oFrame.fKind == FRAME_REPLY || oFrame.fKind == FRAME_ERROR)) return 1;
  std::string text = fAnswered ? "" : foreignPeer(fIn.data() + fInStart, fInEnd - fInStart);
  if (text.empty()) text = parsed == ERR_COMMS_FRAME_SIZE ? "reply frame too large" : "malformed reply frame";
  setError(oError, ERR_CLIENT_PROTOCOL, PErrorOrigin::kConnection, text, fEndpoint);
  close();
  return ERR_CLIENT_PROTOCOL;
}

int PFramePump::send(uint32_t iAction, const std::vector<unsigned char>& iPayload, int iTimeoutMs,
                     PClientError& oError) {
  queue(iAction, iPayload);
  return flush(iTimeoutMs, oError);
}

void PFramePump::pushPending(uint32_t iAction, uint64_t iTag) { fPending.push_back({fNextExchange++, iAction, iTag}); }

void PFramePump::queue(uint32_t iAction, const std::vector<unsigned char>& iPayload) { queue(kAccessModule, iAction, iPayload); }

void PFramePump::queue(const std::string& iModule, uint32_t iAction, const std::vector<unsigned char>& iPayload, uint64_t iTag) {
  PFrame::append(fOut, FRAME_REQUEST, fNextExchange, iAction, iModule, iPayload.data(), iPayload.size());
  pushPending(iAction, iTag);
}

unsigned char* PFramePump::queueBlock(const std::string& iModule, uint32_t iAction, const std::vector<unsigned char>& iPrefix,
                                      size_t iCount, uint64_t iTag) {
  fBlockAt = fOut.size();
  fBlockCount = iCount;
  PFrame::appendHeader(fOut, FRAME_REQUEST, fNextExchange, iAction, iModule, iPrefix.size() + 5 + iCount);
  fOut.insert(fOut.end(), iPrefix.begin(), iPrefix.end());
  const unsigned char header[5] = {TAG_BYTES, static_cast<unsigned char>(iCount), static_cast<unsigned char>(iCount >> 8),
                                   static_cast<unsigned char>(iCount >> 16), static_cast<unsigned char>(iCount >> 24)};
  fOut.insert(fOut.end(), header, header + 5);
  const size_t at = fOut.size();
  fOut.resize(at + iCount);
  pushPending(iAction, iTag);
  return fOut.data() + at;
}

void PFramePump::trimBlock(size_t iCount) {
  if (iCount >= fBlockCount) return;
  const size_t cut = fBlockCount - iCount;
  fOut.resize(fOut.size() - cut);
  const auto put = [](unsigned char* oAt, uint32_t iValue) {
    for (int i = 0; i < 4; ++i) oAt[i] = static_cast<unsigned char>(iValue >> (8 * i));
  };
  put(fOut.data() + fBlockAt, PFrame::readU32(fOut.data() + fBlockAt) - static_cast<uint32_t>(cut));
  put(fOut.data() + fOut.size() - iCount - 4, static_cast<uint32_t>(iCount));
  fBlockCount = iCount;
}

void PFramePump::dropBlock() {
  fOut.resize(fBlockAt);
  fPending.pop_back();
  --fNextExchange;
}

int PFramePump::flush(int iTimeoutMs, PClientError& oError) {
  if (!fFd.valid()) {
    fOut.clear();
    return setError(oError, ERR_COMMS_CLOSED, PErrorOrigin::kConnection, "not connected", "");
  }
  const uint32_t action = fPending.empty() ? 0 : fPending.back().fAction;
  size_t done = 0;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
  while (done < fOut.size() || fChannel->holdsOutput()) {
    // The requests, then what the channel gathered of them.
    const ssize_t sent = done < fOut.size() ? fChannel->write(fOut.data() + done, fOut.size() - done) : fChannel->flush();
    if (sent > 0) {
      if (done < fOut.size()) done += static_cast<size_t>(sent);
      deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
      continue;
    }
    if (sent == PByteChannel::kFailed) {
      const std::string error = fChannel->error();
      fOut.clear();
      // Reads whatever the host said before it went: fail() reports a
      // transport error found there.
      bool got = true;
      while (got) {
        if (!readSome(oError, &got)) return oError.fCode;
      }
      return fail(ERR_COMMS_CLOSED, "connection lost: " + error, oError);
    }
    // Replies are read meanwhile; TLS may need to read before it writes.
    const int ready = waitFor(fFd.get(), fChannel->writeWait() == PByteChannel::kReadable ? POLLIN : POLLOUT | POLLIN, deadline);
    if (ready == 0) {
      fOut.clear();
      return fail(ERR_COMMS_TIMEOUT,
                  std::string("cannot send ") + actionName(action) + " within " + formatSeconds(iTimeoutMs), oError);
    }
    if ((ready & (POLLIN | POLLHUP | POLLERR)) != 0 && !readSome(oError)) {
      fOut.clear();
      return oError.fCode;
    }
  }
  fOut.clear();
  return 0;
}

int PFramePump::receive(PReply& oReply, int iTimeoutMs, PClientError& oError) {
  PReplyView view;
  const int result = receiveView(view, iTimeoutMs, oError);
  if (result != 0) return result;
  oReply.fKind = FRAME_REPLY;
  oReply.fStatus = view.fStatus;
  oReply.fPayload.assign(view.fPayload, view.fPayload + view.fPayloadLength);
  return 0;
}

int PFramePump::receiveView(PReplyView& oReply, int iTimeoutMs, PClientError& oError) {
  if (!fFd.valid()) return setError(oError, ERR_COMMS_CLOSED, PErrorOrigin::kConnection, "not connected", "");
  const uint32_t action = fPending.empty() ? 0 : fPending.front().fAction;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
  for (;;) {
    PFrameView frame;
    const int taken = takeFrame(frame, oError);
    if (taken < 0) return taken;
    if (taken == 1) {
      fAnswered = true;
      if (frame.fKind == FRAME_ERROR) return hostError(frame, oError);
      if (fPending.empty() || frame.fExchange != fPending.front().fExchange) {
        return fail(ERR_CLIENT_PROTOCOL,
                    fPending.empty() ? "a reply arrived with no request waiting"
                                     : "reply " + std::to_string(frame.fExchange) + " arrived where reply " +
                                           std::to_string(fPending.front().fExchange) + " was expected",
                    oError);
      }
      fInStart += frame.fSize;
      oReply.fStatus = static_cast<int32_t>(frame.fWord);
      oReply.fAction = fPending.front().fAction;
      oReply.fTag = fPending.front().fTag;
      oReply.fPayload = frame.fPayload;
      oReply.fPayloadLength = frame.fPayloadLength;
      fPending.pop_front();
      return 0;
    }
    // Bytes the channel holds already come first; a partial record among
    // them needs the socket all the same.
    bool got = false;
    if (fChannel->pending() && !readSome(oError, &got)) return oError.fCode;
    if (got) continue;
    const int ready = waitFor(fFd.get(), fChannel->readWait() == PByteChannel::kReadable ? POLLIN : POLLOUT, deadline);
    if (ready == 0) {
      return fail(ERR_COMMS_TIMEOUT,
                  std::string("no reply to ") + actionName(action) + " within " + formatSeconds(iTimeoutMs), oError);
    }
    if (!readSome(oError)) return oError.fCode;
  }
}
