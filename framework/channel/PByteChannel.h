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
  static constexpr int kFileFailed = -3;  // writeFile: the file ended early or could not be read; error() says why

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
  // Whether writeFile works: the socket's own bytes, no TLS.
  virtual bool carriesFiles() const { return false; }
  // Writes up to iCount bytes of the file iFd from iOffset (a regular file,
  // at least iCount bytes long) without reading them into memory: the bytes
  // written (at least 1), kWouldBlock, kFailed, or kFileFailed when the
  // file ends before them or cannot be read (the connection cannot go on:
  // what was announced cannot be sent).
  virtual ssize_t writeFile(int /*iFd*/, long long /*iOffset*/, size_t /*iCount*/) { return kFailed; }
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

// A plain stream socket: recv and send, and sendfile for a file's bytes
// (never SIGPIPE). While it writes a file's bytes to a Unix socket, the
// socket's send buffer is widened to kFileSendBuffer (which the kernel
// doubles, as far as net.core.wmem_max allows), so that the peer takes many
// replies per wake-up and the host need not run at once to refill it: it
// then holds pages of the file, not copies. The first write() of more than
// kNarrowAt bytes of memory sets it back. TCP sizes its own buffers.
class PSocketChannel final : public PByteChannel {
 public:
  static constexpr int kFileSendBuffer = 2 << 20;
  static constexpr size_t kNarrowAt = 4096;

  explicit PSocketChannel(int iFd) : fFd(iFd) {}
  ssize_t read(unsigned char* oBytes, size_t iRoom) override;
  ssize_t write(const unsigned char* iBytes, size_t iCount) override;
  bool carriesFiles() const override { return true; }
  ssize_t writeFile(int iFd, long long iOffset, size_t iCount) override;

 private:
  ssize_t sendBytes(const unsigned char* iBytes, size_t iCount);
  // A file system whose files sendfile cannot read: through memory.
  ssize_t copyFile(int iFd, long long iOffset, size_t iCount);
  void widen(bool iWide);

  int fFd;
  int fNarrowBuffer = -1;  // the send buffer before it was widened (-1: not widened)
  bool fWidens = true;     // a Unix socket, not yet found otherwise
};
