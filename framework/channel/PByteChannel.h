// How a transport moves bytes over one connected, non-blocking stream
// socket: plainly (PSocketChannel), or through TLS (PTlsChannel, PTls.h).
// No call waits: one that cannot go on answers kWouldBlock, and says what
// the socket must become before it is worth calling again (readWait() after
// handshake() or read(), writeWait() after write(): TLS may need to write to
// read, or to read to write). Compiled into the core and the client
// library, internal to each.
//
// The channel does not own the descriptor. Threading: one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

class PByteChannel {
 public:
  enum Wait { kReadable, kWritable };
  static constexpr int kWouldBlock = -1;  // call again once the socket is as readWait()/writeWait() say
  static constexpr int kFailed = -2;      // the connection is broken; error() says why

  virtual ~PByteChannel() = default;
  // 1 once the channel carries bytes (at once for a plain socket), kWouldBlock
  // or kFailed.
  virtual int handshake() { return 1; }
  // The bytes read (at least 1), 0 at the end of the peer's bytes,
  // kWouldBlock or kFailed.
  virtual ssize_t read(unsigned char* oBytes, size_t iRoom) = 0;
  // The bytes written (at least 1), kWouldBlock or kFailed. After
  // kWouldBlock, the next call must start with the same bytes (it may offer
  // more, from another address).
  virtual ssize_t write(const unsigned char* iBytes, size_t iCount) = 0;
  // Bytes the channel holds already: read() gives them without the socket
  // becoming readable.
  virtual bool pending() const { return false; }
  // Bytes write() took that the socket has not (TLS gathers the records of
  // a write() and sends them two at a time): flush() sends them, answering
  // 1 once none is left, kWouldBlock (writeWait()) or kFailed.
  virtual bool holdsOutput() const { return false; }
  virtual int flush() { return 1; }
  // After the handshake: the peer certificate's subject common name and the
  // SHA-256 fingerprint of the certificate ("sha256:" and 64 lower-case hex
  // digits); empty for a plain socket.
  virtual std::string peerName() const { return {}; }
  virtual std::string peerFingerprint() const { return {}; }

  Wait readWait() const { return fReadWait; }
  Wait writeWait() const { return fWriteWait; }
  const std::string& error() const { return fError; }

 protected:
  Wait fReadWait = kReadable;
  Wait fWriteWait = kWritable;
  std::string fError;
};

// A plain stream socket: recv and send (never SIGPIPE).
class PSocketChannel final : public PByteChannel {
 public:
  explicit PSocketChannel(int iFd) : fFd(iFd) {}
  ssize_t read(unsigned char* oBytes, size_t iRoom) override;
  ssize_t write(const unsigned char* iBytes, size_t iCount) override;

 private:
  int fFd;
};
