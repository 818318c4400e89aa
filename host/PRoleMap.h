// Which role a peer's identity has on this host: the role.write and
// role.read lists of identity patterns, matched against each new session as
// the session layer's gate (zevo/core/PSessionGate.h). A peer that a write
// pattern matches writes; else one a read pattern matches reads; any other
// is refused.
//
// Threading: immutable once made; admit is called by many workers at once.
#pragma once

#include <string>
#include <vector>

#include "zevo/core/PSessionGate.h"

struct PRolePattern {
  enum Kind { kAny, kUid, kGid, kCert, kFingerprint, kTcp, kMqtt };
  Kind fKind = kAny;
  unsigned long fId = 0;  // kUid, kGid
  // kCert: the common name; kFingerprint: "sha256:" and 64 lower-case hex
  // digits; kTcp: the address as the system writes it; kMqtt: a requester's
  // name at the broker, empty for any.
  std::string fText;
  std::string fGiven;  // as written, for the log
};

// One pattern: "uid:N", "user:NAME" (a user the system knows), "gid:N",
// "group:NAME" (a group it knows), "cert:NAME", "sha256:HEX" (colons and
// upper case allowed, as in tls.allow), "tcp:ADDRESS" (IPv4 or IPv6, the
// latter with or without brackets), "mqtt:NAME" (a requester through a
// broker), "mqtt:*" (any of them) or "*". False with oError saying why.
bool parseRolePattern(const std::string& iText, PRolePattern& oPattern, std::string& oError);

class PRoleMap final : public PSessionGate {
 public:
  PRoleMap(std::vector<PRolePattern> iWrite, std::vector<PRolePattern> iRead)
      : fWrite(std::move(iWrite)), fRead(std::move(iRead)) {}
  int admit(const PSessionInfo& iSession, int& oRole) override;  // always 0
  // Whether iPattern names the peer of iSession: uid: a Unix peer's user,
  // gid: its primary or a supplementary group, cert: and sha256: a TLS
  // peer's certificate, tcp: a plain TCP peer's address, mqtt: a requester's
  // name at a broker.
  static bool matches(const PRolePattern& iPattern, const PSessionInfo& iSession);
  // "uid:0, group:staff": the patterns as given; "nobody" when there are none.
  static std::string describe(const std::vector<PRolePattern>& iPatterns);

 private:
  const std::vector<PRolePattern> fWrite;
  const std::vector<PRolePattern> fRead;
};
