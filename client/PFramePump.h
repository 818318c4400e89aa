// One connection to a host: connects through the connector of the
// endpoint's scheme (PConnectors.h), sends request frames, and takes the
// replies in request order. Any failure of the connection itself closes it
// and fills the error. Internal to libzevoclient.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "PByteChannel.h"

#include "zevo/PFd.h"
#include "zevo/client/PClient.h"
#include "zevo/protocol/PFileAccessProtocol.h"

struct PReply {
  uint8_t fKind = 0;
  uint32_t fExchange = 0;
  int32_t fStatus = 0;
  std::string fModule;
  std::vector<unsigned char> fPayload;
};

const char* actionName(uint32_t iAction);

class PFramePump {
 public:
  PFramePump() = default;
  ~PFramePump() { close(); }
  PFramePump(const PFramePump&) = delete;
  PFramePump& operator=(const PFramePump&) = delete;

  int connect(const std::string& iEndpoint, int iTimeoutMs, const PClientTls& iTls, const PClientMqtt& iMqtt,
              PClientError& oError);
  void close();
  bool isOpen() const { return fFd.valid(); }
  const std::string& endpoint() const { return fEndpoint; }

  // Sends one request. Arriving replies are read meanwhile, so that a host
  // blocked on its own sending never blocks this one.
  int send(uint32_t iAction, const std::vector<unsigned char>& iPayload, int iTimeoutMs, PClientError& oError);
  // Adds a request to those that the next flush sends together: a window of
  // requests leaves in one system call, and the host reads it in one.
  void queue(uint32_t iAction, const std::vector<unsigned char>& iPayload);
  int flush(int iTimeoutMs, PClientError& oError);
  // Whether the reply to the oldest request has arrived already (receive
  // then returns without waiting).
  bool replyBuffered() const;
  // The reply to the oldest request still unanswered.
  int receive(PReply& oReply, int iTimeoutMs, PClientError& oError);
  size_t pending() const { return fPending.size(); }

 private:
  // Reads what is there (oGot: whether anything came); false once the
  // connection has ended (closed, oError set).
  bool readSome(PClientError& oError, bool* oGot = nullptr);
  // A whole frame at the front of the input: 1, 0 when more is needed, or a
  // code (the connection closed, oError set).
  int takeFrame(PReply& oReply, PClientError& oError);
  // Ends the connection after iCode, preferring the host's transport error
  // if one has arrived.
  int fail(int iCode, const std::string& iText, PClientError& oError);
  // Ends the connection after the host's transport error iFrame.
  int hostError(const PReply& iFrame, PClientError& oError);

  PFd fFd;
  std::unique_ptr<PByteChannel> fChannel;  // on fFd, gone before it
  std::string fEndpoint;
  uint32_t fNextExchange = 1;
  struct Pending {
    uint32_t fExchange;
    uint32_t fAction;
  };
  std::deque<Pending> fPending;
  std::vector<unsigned char> fIn;  // received bytes in [fInStart, fInEnd); its size is the room
  size_t fInStart = 0;
  size_t fInEnd = 0;
  std::vector<unsigned char> fOut;  // requests not sent yet
};
