// The TLS material a host serves with (PTlsSettings): its certificate and
// key, the CA that must have signed a peer's certificate, and the peers it
// allows. Made whole or not at all; a reload makes a new one, and each
// connection keeps the one its handshake began with. Compiled with the
// channels; the TLS transport serves with it.
//
// Threading: immutable once made; any thread.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "PTls.h"
#include "PTlsSettings.h"

class PTlsServer {
 public:
  // 0 with oServer, or ERR_INVALID_ARG with oError (a file that cannot be
  // read or used, a key that is not the certificate's, an allow-list entry
  // "sha256:..." that is not 64 hex digits).
  static int create(const PTlsSettings& iSettings, std::shared_ptr<const PTlsServer>& oServer, std::string& oError);
  // A channel that takes the handshake of a peer on iFd (iServer: this
  // object, kept alive by the channel); null with oError.
  static std::unique_ptr<PByteChannel> channel(const std::shared_ptr<const PTlsServer>& iServer, int iFd,
                                               std::string& oError);

 private:
  static int verify(int iPreverified, X509_STORE_CTX* iStore);
  // Why the allow-list refuses a peer; empty when it is allowed.
  std::string refusal(const std::string& iName, const std::string& iFingerprint) const;

  PSslContext fContext;
  std::set<std::string> fNames;         // subject common names allowed
  std::set<std::string> fFingerprints;  // "sha256:HEX", lower case
};
