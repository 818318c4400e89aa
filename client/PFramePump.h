// One connection to a host: connects through the connector of the
// endpoint's scheme (PConnectors.h), sends request frames, and takes the
// replies in request order. Any failure of the connection itself closes it
// and fills the error. Internal to libzevoclient; one thread at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "PByteChannel.h"
#include "PConnectors.h"

#include "zevo/PFd.h"
#include "zevo/client/PClient.h"
#include "zevo/protocol/PFileAccessProtocol.h"
#include "zevo/protocol/PFrame.h"

struct PReply {
  uint8_t fKind = 0;
  uint32_t fExchange = 0;
  int32_t fStatus = 0;
  std::string fModule;
  std::vector<unsigned char> fPayload;
};

// A reply in place in the pump's input: valid until the pump's next call.
struct PReplyView {
  int32_t fStatus = 0;
  uint32_t fAction = 0;  // of the request it answers
  uint64_t fTag = 0;     // what the request was queued with
  const unsigned char* fPayload = nullptr;
  size_t fPayloadLength = 0;
};

// "StartFileTransfer", "ReadAt"; "request" for a code of neither module.
const char* actionName(uint32_t iAction);

class PFramePump {
 public:
  PFramePump() = default;
  ~PFramePump() { close(); }
  PFramePump(const PFramePump&) = delete;
  PFramePump& operator=(const PFramePump&) = delete;

  int connect(const std::string& iEndpoint, int iTimeoutMs, const PConnector::Credentials& iWith, PClientError& oError);
  void close();
  bool isOpen() const { return fFd.valid(); }
  const std::string& endpoint() const { return fEndpoint; }

  // Sends one request. Arriving replies are read meanwhile, so that a host
  // blocked on its own sending never blocks this one.
  int send(uint32_t iAction, const std::vector<unsigned char>& iPayload, int iTimeoutMs, PClientError& oError);
  // Adds a request to those that the next flush sends together: a window of
  // requests leaves in one system call, and the host reads it in one. The
  // first form addresses the file-access module; iTag comes back with the
  // reply's view.
  void queue(uint32_t iAction, const std::vector<unsigned char>& iPayload);
  void queue(const std::string& iModule, uint32_t iAction, const std::vector<unsigned char>& iPayload, uint64_t iTag = 0);
  // A request whose payload is iPrefix and a bytes element of iCount bytes,
  // which the caller writes at the address answered (valid until the next
  // queue); trimBlock(n) shortens that block to its first n bytes.
  unsigned char* queueBlock(const std::string& iModule, uint32_t iAction, const std::vector<unsigned char>& iPrefix,
                            size_t iCount, uint64_t iTag);
  void trimBlock(size_t iCount);
  // Takes the last queueBlock's request back, unsent.
  void dropBlock();
  // Bytes queued and not yet flushed.
  size_t queued() const { return fOut.size(); }
  int flush(int iTimeoutMs, PClientError& oError);
  // Whether the reply to the oldest request has arrived already (receive
  // then returns without waiting).
  bool replyBuffered() const;
  // The reply to the oldest request still unanswered.
  int receive(PReply& oReply, int iTimeoutMs, PClientError& oError);
  int receiveView(PReplyView& oReply, int iTimeoutMs, PClientError& oError);
  size_t pending() const { return fPending.size(); }

 private:
  // Reads what is there (oGot: whether anything came); false once the
  // connection has ended (closed, oError set).
  bool readSome(PClientError& oError, bool* oGot = nullptr);
  // A whole frame at the front of the input: 1, 0 when more is needed, or a
  // code (the connection closed, oError set).
  int takeFrame(PFrameView& oFrame, PClientError& oError);
  // Ends the connection after iCode, preferring the host's transport error
  // if one has arrived, and naming a peer that is no zevo host.
  int fail(int iCode, const std::string& iText, PClientError& oError);
  // Ends the connection after the host's transport error iFrame.
  int hostError(const PFrameView& iFrame, PClientError& oError);
  void pushPending(uint32_t iAction, uint64_t iTag);

  PFd fFd;
  std::unique_ptr<PByteChannel> fChannel;  // on fFd, gone before it
  std::string fEndpoint;
  uint32_t fNextExchange = 1;
  bool fAnswered = false;  // a frame of this protocol has arrived
  bool fHeard = false;     // any byte has
  struct Pending {
    uint32_t fExchange;
    uint32_t fAction;
    uint64_t fTag;
  };
  std::deque<Pending> fPending;
  std::vector<unsigned char> fIn;  // received bytes in [fInStart, fInEnd); its size is the room
  size_t fInStart = 0;
  size_t fInEnd = 0;
  std::vector<unsigned char> fOut;  // requests not sent yet
  size_t fBlockAt = 0;              // where the last queueBlock's frame begins
  size_t fBlockCount = 0;           // and the bytes of its block
};
