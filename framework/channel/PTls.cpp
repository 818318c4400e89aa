#include "PTls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Resumption would skip the check of the peer's certificate (and the
// allow-list of a reloaded server): every ticket a client offers is ignored,
// and the handshake is a full one.
SSL_TICKET_RETURN ignoreTicket(SSL*, SSL_SESSION*, const unsigned char*, size_t, SSL_TICKET_STATUS, void*) {
  return SSL_TICKET_RETURN_IGNORE_RENEW;
}

// Empties this thread's OpenSSL error queue before a call whose failure
// SSL_get_error() interprets; looking first is cheaper than clearing an
// empty queue, which a call per record would do.
void clearErrors() {
  if (ERR_peek_error() != 0) ERR_clear_error();
}

// Whether iPath can be read; else oError says why, for people.
bool readable(const std::string& iPath, const char* iWhat, std::string& oError) {
  const int fd = ::open(iPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  oError = std::string("cannot read the ") + iWhat + " " + iPath + ": " + std::strerror(errno);
  return false;
}

}  // namespace

namespace PTls {

std::string lastError() {
  std::string text;
  for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
    const char* reason = ERR_reason_error_string(code);
    if (text.empty() && reason != nullptr) text = reason;
  }
  return text;
}

PSslContext newContext(bool iServer, const std::string& iCertFile, const std::string& iKeyFile,
                       const std::string& iCaFile, std::string& oError) {
  ERR_clear_error();
  PSslContext context(SSL_CTX_new(iServer ? TLS_server_method() : TLS_client_method()));
  if (!context || SSL_CTX_set_min_proto_version(context.get(), TLS1_3_VERSION) != 1) {
    oError = "cannot make a TLS context: " + lastError();
    return nullptr;
  }
  SSL_CTX* ctx = context.get();
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
  // AES-128-GCM first: a third faster than AES-256-GCM where the processor
  // has AES instructions; ChaCha20 before AES-256 for processors without.
  SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384");
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Reads take whatever has arrived, several records at once; the channel
  // then holds bytes the socket no longer shows (pending()). The buffer
  // takes a download's window of replies (16 of 8 KiB and their records),
  // or two 64 KiB chunks of an upload, in one receive: at 64 KiB each
  // batch took two, the second for the few bytes of the record cut at the
  // buffer's end, and often a wait in between.
  SSL_CTX_set_read_ahead(ctx, 1);
  SSL_CTX_set_default_read_buffer_len(ctx, 160 * 1024);
  const auto failure = [&](const char* iWhat, const std::string& iPath) {
    const std::string why = lastError();
    oError = std::string("cannot use the ") + iWhat + " " + iPath + ": " + (why.empty() ? "not usable" : why);
    return nullptr;
  };
  if (!iCertFile.empty() || !iKeyFile.empty()) {
    if (!readable(iCertFile, "certificate", oError) || !readable(iKeyFile, "key", oError)) return nullptr;
    if (SSL_CTX_use_certificate_chain_file(ctx, iCertFile.c_str()) != 1) return failure("certificate", iCertFile);
    if (SSL_CTX_use_PrivateKey_file(ctx, iKeyFile.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
      return failure("key", iKeyFile);
    }
  }
  if (!readable(iCaFile, "CA certificate", oError)) return nullptr;
  if (SSL_CTX_load_verify_locations(ctx, iCaFile.c_str(), nullptr) != 1) return failure("CA certificate", iCaFile);
  if (iServer) {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(iCaFile.c_str());  // tells a client whom to show
    if (names != nullptr) SSL_CTX_set_client_CA_list(ctx, names);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_session_ticket_cb(ctx, nullptr, ignoreTicket, nullptr);
    SSL_CTX_set_num_tickets(ctx, 1);  // what tells a client it was accepted
  } else {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, PTlsChannel::ticketArrived);
  }
  ERR_clear_error();
  return context;
}

bool describe(X509* iCertificate, std::string& oName, std::string& oFingerprint) {
  if (iCertificate == nullptr) return false;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(iCertificate, EVP_sha256(), digest, &length) != 1) return false;
  static const char kHex[] = "0123456789abcdef";
  oFingerprint = "sha256:";
  for (unsigned int i = 0; i < length; ++i) {
    oFingerprint += kHex[digest[i] >> 4];
    oFingerprint += kHex[digest[i] & 15];
  }
  X509_NAME* subject = X509_get_subject_name(iCertificate);
  const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (at < 0 || X509_NAME_get_index_by_NID(subject, NID_commonName, at) >= 0) return false;
  unsigned char* utf8 = nullptr;
  const int size = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
  if (size < 0) return false;
  oName.assign(reinterpret_cast<char*>(utf8), static_cast<size_t>(size));
  OPENSSL_free(utf8);
  return !oName.empty() && oName.find('\0') == std::string::npos;
}

}  // namespace PTls

std::unique_ptr<PTlsChannel> PTlsChannel::open(SSL_CTX* iContext, int iFd, bool iServer, const std::string& iHost,
                                               std::string& oError) {
  ERR_clear_error();
  SSL* ssl = SSL_new(iContext);
  BIO* bio = socketMethod() != nullptr ? BIO_new(socketMethod()) : nullptr;
  std::unique_ptr<PTlsChannel> channel(ssl != nullptr && bio != nullptr ? new (std::nothrow) PTlsChannel(ssl, iFd, iServer) : nullptr);
  if (!channel) {
    oError = "cannot start TLS: " + PTls::lastError();
    BIO_free(bio);
    SSL_free(ssl);
    return nullptr;
  }
  BIO_set_data(bio, channel.get());
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl, bio, bio);
  SSL_set_app_data(ssl, channel.get());
  if (iServer) {
    SSL_set_accept_state(ssl);
    return channel;
  }
  SSL_set_connect_state(ssl);
  unsigned char address[sizeof(in6_addr)];
  const bool numeric = inet_pton(AF_INET, iHost.c_str(), address) == 1 || inet_pton(AF_INET6, iHost.c_str(), address) == 1;
  SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  const bool named = numeric ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), iHost.c_str()) == 1
                             : SSL_set1_host(ssl, iHost.c_str()) == 1 && SSL_set_tlsext_host_name(ssl, iHost.c_str()) == 1;
  if (!named) {
    oError = "cannot verify the host name \"" + iHost + "\": " + PTls::lastError();
    return nullptr;
  }
  return channel;
}

PTlsChannel::~PTlsChannel() {
  ERR_clear_error();
  if (fShaken && !fBroken && SSL_shutdown(fSsl) >= 0) flush();  // one try: the socket never waits
  SSL_free(fSsl);
  ERR_clear_error();
}

namespace {

// Two whole records of 16 KiB and their overhead per send: the peer
// decrypts the first two while the next are encrypted. Four per send left
// both sides idle in turn (a download over TLS about a fifth slower on two
// cores); one per send was slower again (twice the system calls).
constexpr size_t kGather = 36 * 1024;

}  // namespace

BIO_METHOD* PTlsChannel::socketMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zevo socket");
    if (made != nullptr) {
      BIO_meth_set_write_ex(made, bioWrite);
      BIO_meth_set_read_ex(made, bioRead);
      BIO_meth_set_ctrl(made, bioControl);
    }
    return made;
  }();
  return method;
}

int PTlsChannel::bioWrite(BIO* iBio, const char* iBytes, size_t iCount, size_t* oWritten) {
  auto* channel = static_cast<PTlsChannel*>(BIO_get_data(iBio));
  BIO_clear_retry_flags(iBio);
  if (channel->holdsOutput() && channel->fOut.size() - channel->fOutStart + iCount > kGather) channel->flush();
  if (channel->holdsOutput() && channel->fOut.size() - channel->fOutStart + iCount > kGather) {
    if (!channel->fBroken) BIO_set_retry_write(iBio);
    return 0;
  }
  std::vector<unsigned char>& out = channel->fOut;
  if (out.capacity() < kGather) out.reserve(kGather);
  const auto* bytes = reinterpret_cast<const unsigned char*>(iBytes);
  out.insert(out.end(), bytes, bytes + iCount);
  *oWritten = iCount;
  return 1;
}

int PTlsChannel::bioRead(BIO* iBio, char* oBytes, size_t iRoom, size_t* oRead) {
  const auto* channel = static_cast<const PTlsChannel*>(BIO_get_data(iBio));
  BIO_clear_retry_flags(iBio);
  for (;;) {
    const ssize_t got = ::recv(channel->fFd, oBytes, iRoom, MSG_DONTWAIT);
    if (got > 0) {
      *oRead = static_cast<size_t>(got);
      return 1;
    }
    if (got == 0) BIO_set_flags(iBio, BIO_FLAGS_IN_EOF);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(iBio);
    return 0;
  }
}

// OpenSSL flushes after each flight of handshake messages and after an alert.
long PTlsChannel::bioControl(BIO* iBio, int iCommand, long, void*) {
  auto* channel = static_cast<PTlsChannel*>(BIO_get_data(iBio));
  switch (iCommand) {
    case BIO_CTRL_FLUSH:
      BIO_clear_retry_flags(iBio);
      if (channel->flush() == 1) return 1;
      if (!channel->fBroken) BIO_set_retry_write(iBio);
      return 0;
    case BIO_CTRL_EOF: return BIO_test_flags(iBio, BIO_FLAGS_IN_EOF) != 0;
    case BIO_C_GET_FD: return channel->fFd;
    default: return 0;
  }
}

int PTlsChannel::flush() {
  while (holdsOutput()) {
    const ssize_t sent = ::send(fFd, fOut.data() + fOutStart, fOut.size() - fOutStart, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      fOutStart += static_cast<size_t>(sent);
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      fWriteWait = kWritable;
      return kWouldBlock;
    } else {
      fError = sent < 0 ? std::strerror(errno) : "the socket took nothing";
      fBroken = true;
      return kFailed;
    }
  }
  fOut.clear();  // its room stays for the next write
  fOutStart = 0;
  return 1;
}

PTlsChannel* PTlsChannel::of(SSL* iSsl) { return static_cast<PTlsChannel*>(SSL_get_app_data(iSsl)); }

int PTlsChannel::ticketArrived(SSL* iSsl, SSL_SESSION*) {
  if (PTlsChannel* channel = of(iSsl)) channel->fTicket = true;
  return 0;  // the session is not kept
}

int PTlsChannel::failed(int iResult, Wait& oWait) {
  const int error = SSL_get_error(fSsl, iResult);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    oWait = error == SSL_ERROR_WANT_READ ? kReadable : kWritable;
    return kWouldBlock;
  }
  const std::string reason = PTls::lastError();
  const long verified = SSL_get_verify_result(fSsl);
  if (!fRefusal.empty()) {
    fError = fRefusal;
  } else if (verified != X509_V_OK) {
    fError = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verified);
  } else if (!reason.empty()) {
    fError = reason;
  } else if (error == SSL_ERROR_SYSCALL && errno != 0) {
    fError = std::strerror(errno);
  } else {
    fError = "the peer closed the connection";
  }
  fBroken = true;
  return kFailed;
}

int PTlsChannel::handshake() {
  if (holdsOutput() && flush() != 1) {  // the end of the last flight first
    fReadWait = kWritable;
    return fBroken ? kFailed : kWouldBlock;
  }
  if (!fShaken) {
    ERR_clear_error();
    const int result = SSL_do_handshake(fSsl);
    if (result != 1) return failed(result, fReadWait);
    fShaken = true;
    if (!PTls::describe(SSL_get0_peer_certificate(fSsl), fPeerName, fPeerFingerprint)) fPeerName.clear();
  }
  if (fServer || fTicket) return 1;
  ERR_clear_error();
  unsigned char byte = 0;
  size_t got = 0;
  const int result = SSL_peek_ex(fSsl, &byte, 1, &got);
  if (result == 1 || fTicket) return 1;
  if (SSL_get_error(fSsl, result) == SSL_ERROR_ZERO_RETURN) {
    fError = "the host closed the connection during the handshake";
    fBroken = true;
    return kFailed;
  }
  return failed(result, fReadWait);
}

ssize_t PTlsChannel::read(unsigned char* oBytes, size_t iRoom) {
  clearErrors();
  size_t got = 0;
  const int result = SSL_read_ex(fSsl, oBytes, iRoom, &got);
  if (result == 1) {
    fReadWait = kReadable;
    return static_cast<ssize_t>(got);
  }
  if (SSL_get_error(fSsl, result) == SSL_ERROR_ZERO_RETURN) return 0;
  return failed(result, fReadWait);
}

ssize_t PTlsChannel::write(const unsigned char* iBytes, size_t iCount) {
  size_t total = 0;
  int result = 1;
  while (total < iCount && result == 1) {  // a record at a time (partial writes)
    clearErrors();
    size_t written = 0;
    result = SSL_write_ex(fSsl, iBytes + total, iCount - total, &written);
    if (result == 1) total += written;
  }
  const int failure = result == 1 ? 0 : failed(result, fWriteWait);
  if (failure == kFailed || flush() == kFailed) return kFailed;
  if (total > 0) return static_cast<ssize_t>(total);
  return failure != 0 ? failure : kWouldBlock;
}

bool PTlsChannel::pending() const { return SSL_has_pending(fSsl) == 1; }
