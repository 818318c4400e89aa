#include "PTlsServer.h"

#include <openssl/x509.h>

#include <cctype>
#include <new>

#include "zevo/PErrors.h"

int PTlsServer::create(const PTlsSettings& iSettings, std::shared_ptr<const PTlsServer>& oServer, std::string& oError) {
  if (iSettings.fCertFile.empty() || iSettings.fKeyFile.empty() || iSettings.fCaFile.empty()) {
    oError = "TLS needs a certificate, its key and a CA certificate";
    return ERR_INVALID_ARG;
  }
  std::shared_ptr<PTlsServer> server(new (std::nothrow) PTlsServer);
  if (!server) return ERR_NO_MEMORY;
  for (const std::string& entry : iSettings.fAllow) {
    if (entry.compare(0, 7, "sha256:") != 0) {
      server->fNames.insert(entry);
      continue;
    }
    std::string hex;  // "AB:CD:..." as openssl x509 -fingerprint prints it, or plain
    for (const char c : entry.substr(7)) {
      if (c != ':') hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (hex.size() != 64 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) {
      oError = "allow-list entry \"" + entry + "\" is not sha256: and 64 hex digits";
      return ERR_INVALID_ARG;
    }
    server->fFingerprints.insert("sha256:" + hex);
  }
  server->fContext = PTls::newContext(true, iSettings.fCertFile, iSettings.fKeyFile, iSettings.fCaFile, oError);
  if (!server->fContext) return ERR_INVALID_ARG;
  SSL_CTX_set_verify(server->fContext.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, verify);
  SSL_CTX_set_app_data(server->fContext.get(), server.get());
  oServer = std::move(server);
  return 0;
}

std::unique_ptr<PByteChannel> PTlsServer::channel(const std::shared_ptr<const PTlsServer>& iServer, int iFd,
                                                  std::string& oError) {
  std::unique_ptr<PTlsChannel> channel = PTlsChannel::open(iServer->fContext.get(), iFd, true, "", oError);
  if (channel) channel->keep(iServer);
  return channel;
}

std::string PTlsServer::refusal(const std::string& iName, const std::string& iFingerprint) const {
  if (iName.empty()) return "the peer's certificate does not name one subject (CN)";
  if ((fNames.empty() && fFingerprints.empty()) || fNames.count(iName) != 0 || fFingerprints.count(iFingerprint) != 0) {
    return "";
  }
  return "the certificate of \"" + iName + "\" (" + iFingerprint + ") is not on the allow-list";
}

// After OpenSSL's own checks of each certificate of the peer's chain: the
// peer's own (depth 0) must name one subject, and the allow-list must hold
// that name or the certificate's fingerprint.
int PTlsServer::verify(int iPreverified, X509_STORE_CTX* iStore) {
  if (iPreverified != 1 || X509_STORE_CTX_get_error_depth(iStore) != 0) return iPreverified;
  SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(iStore, SSL_get_ex_data_X509_STORE_CTX_idx()));
  const auto* server = static_cast<const PTlsServer*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  std::string name, fingerprint;
  if (!PTls::describe(X509_STORE_CTX_get_current_cert(iStore), name, fingerprint)) name.clear();
  const std::string why = server->refusal(name, fingerprint);
  if (why.empty()) return 1;
  if (PTlsChannel* channel = PTlsChannel::of(ssl)) channel->refuse(why);
  X509_STORE_CTX_set_error(iStore, X509_V_ERR_CERT_REJECTED);
  return 0;
}
