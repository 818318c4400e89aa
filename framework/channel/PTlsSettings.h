// What a TLS server serves with: PEM files, and the peers it allows.
#pragma once

#include <string>
#include <vector>

struct PTlsSettings {
  std::string fCertFile;  // the host's certificate (then any intermediate ones)
  std::string fKeyFile;   // its private key
  std::string fCaFile;    // the CA certificates a peer's certificate must be signed by
  // Allowed peers: subject common names, and "sha256:HEX" fingerprints of
  // whole certificates (colons and upper case allowed). Empty: every
  // certificate the CA signed.
  std::vector<std::string> fAllow;
};
