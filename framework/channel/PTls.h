// TLS 1.3 over a non-blocking stream socket, with OpenSSL 3: contexts that
// hold a certificate, its key and the CA a peer must be signed by, and the
// channel that speaks through one (PByteChannel.h). Compiled into the core
// and the client library, internal to each.
//
// Threading: a context is used by many threads once made; a channel by one
// thread at a time.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <vector>

#include "PByteChannel.h"

struct PSslContextFree {
  void operator()(SSL_CTX* iContext) const { SSL_CTX_free(iContext); }
};
using PSslContext = std::unique_ptr<SSL_CTX, PSslContextFree>;

namespace PTls {

// A context that speaks TLS 1.3 only and verifies its peer's certificate
// against the CA certificates in iCaFile (PEM). iCertFile (PEM: the
// certificate, then any intermediate ones) and iKeyFile (PEM) are its own;
// both empty for a client without a certificate. A server demands a
// certificate of every peer. Null with oError naming the file at fault.
PSslContext newContext(bool iServer, const std::string& iCertFile, const std::string& iKeyFile,
                       const std::string& iCaFile, std::string& oError);

// What OpenSSL's error queue of this thread says, in words ("" when empty);
// the queue is emptied.
std::string lastError();

// The subject's common name (exactly one, UTF-8, no NUL) and the SHA-256
// fingerprint of the whole certificate ("sha256:" and 64 lower-case hex
// digits). False when the subject has no common name or several.
bool describe(X509* iCertificate, std::string& oName, std::string& oFingerprint);

}  // namespace PTls

class PTlsChannel final : public PByteChannel {
 public:
  // A channel on iFd through iContext (one of newContext), as the server or
  // as a client. A client verifies the server's certificate for iHost (a
  // DNS name or an IP address), and its handshake ends only once the server
  // has accepted it (see handshake()). Null with oError when OpenSSL cannot
  // make one.
  static std::unique_ptr<PTlsChannel> open(SSL_CTX* iContext, int iFd, bool iServer, const std::string& iHost,
                                           std::string& oError);
  ~PTlsChannel() override;  // says close_notify when the connection is sound

  // A client's handshake goes on until the server's first session ticket
  // (or its first bytes) arrive: in TLS 1.3 a client learns only so that the
  // server has taken its certificate; a refusal arrives as an alert.
  int handshake() override;
  ssize_t read(unsigned char* oBytes, size_t iRoom) override;
  // Encrypts iBytes a record at a time and sends the records two at a time
  // (about 32 KiB); what the socket does not take waits in the channel
  // (holdsOutput()).
  ssize_t write(const unsigned char* iBytes, size_t iCount) override;
  bool pending() const override;
  bool holdsOutput() const override { return fOutStart < fOut.size(); }
  int flush() override;
  std::string peerName() const override { return fPeerName; }
  std::string peerFingerprint() const override { return fPeerFingerprint; }

  // Keeps iOwner alive as long as the channel (what a verify callback reads).
  void keep(std::shared_ptr<const void> iOwner) { fOwner = std::move(iOwner); }
  // Why the verify callback refused the peer; the handshake's error then.
  void refuse(const std::string& iWhy) { fRefusal = iWhy; }
  // The channel of an SSL made by open().
  static PTlsChannel* of(SSL* iSsl);
  // A client context's callback for a session ticket (newContext sets it).
  static int ticketArrived(SSL* iSsl, SSL_SESSION* iSession);

 private:
  PTlsChannel(SSL* iSsl, int iFd, bool iServer) : fSsl(iSsl), fFd(iFd), fServer(iServer) {}
  // Maps a failed call's result: kWouldBlock (fWait set) or kFailed (fError set).
  int failed(int iResult, Wait& oWait);
  // The socket under OpenSSL (a BIO): records are gathered in fOut and sent
  // by flush(), or when no more fit; reads and sends never raise SIGPIPE.
  static BIO_METHOD* socketMethod();
  static int bioWrite(BIO* iBio, const char* iBytes, size_t iCount, size_t* oWritten);
  static int bioRead(BIO* iBio, char* oBytes, size_t iRoom, size_t* oRead);
  static long bioControl(BIO* iBio, int iCommand, long iNumber, void* iPointer);

  SSL* fSsl;
  int fFd;
  bool fServer;
  std::vector<unsigned char> fOut;  // records not sent yet, from fOutStart
  size_t fOutStart = 0;
  bool fShaken = false;  // SSL_do_handshake succeeded
  bool fTicket = false;  // a client got the server's session ticket
  bool fBroken = false;  // a fatal error: no close_notify
  std::string fPeerName, fPeerFingerprint, fRefusal;
  std::shared_ptr<const void> fOwner;
};
