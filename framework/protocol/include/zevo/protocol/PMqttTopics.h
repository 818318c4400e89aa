// What a host reached through an MQTT 5 broker and its requesters agree on
// (docs/mqtt.md): the topics under a root ("zevo" by default), the names
// that may stand in them, the presence message and the session's end.
//
//   ROOT/DEVICE/req/NAME/SESSION   requests of one session (frames, QoS 1)
//   ROOT/DEVICE/res/NAME/SESSION   its replies (the requests' response topic)
//   ROOT/DEVICE/presence           the host's presence (retained)
//
// A message with an empty payload on either session topic ends the session.
// Pure functions of their arguments; thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "zevo/PExport.h"

struct ZEVO_EXPORT PMqttTopics {
  static constexpr size_t kNameMax = 128;  // bytes of a device ID, a requester's name, a session
  static constexpr const char* kDefaultRoot = "zevo";

  // Whether iName may stand as one topic level: 1 to kNameMax bytes of
  // UTF-8, none of '+', '#', '/', NUL or another control character, and
  // neither "." nor ".." (a fleet's folder per device). False
  // with oWhy, which names iWhat ("mqtt.device").
  static bool checkName(const std::string& iName, const char* iWhat, std::string& oWhy);
  // Whether iRoot may be the root: levels that checkName takes (at most 8),
  // joined by '/', not beginning with '$' (the broker's own topics).
  static bool checkRoot(const std::string& iRoot, std::string& oWhy);

  static std::string requests(const std::string& iRoot, const std::string& iDevice);  // "ROOT/DEVICE/req/+/+"
  static std::string request(const std::string& iRoot, const std::string& iDevice, const std::string& iName,
                             const std::string& iSession);
  static std::string response(const std::string& iRoot, const std::string& iDevice, const std::string& iName,
                              const std::string& iSession);
  static std::string presence(const std::string& iRoot, const std::string& iDevice);
  static std::string presences(const std::string& iRoot);  // "ROOT/+/presence"
  // The name and session of a request topic of iRoot and iDevice; false when
  // iTopic is none (or its levels are not names).
  static bool parseRequest(const std::string& iTopic, const std::string& iRoot, const std::string& iDevice,
                           std::string& oName, std::string& oSession);
  // The device of a presence topic of iRoot; false when iTopic is none.
  static bool parsePresence(const std::string& iTopic, const std::string& iRoot, std::string& oDevice);

  // The presence payload, JSON on one line:
  // {"device":"D","state":"online","version":"V","modules":["M",...],"epoch":"E"}
  // and, without version and modules, {"device":"D","state":"offline","epoch":"E"}.
  // iEpoch tells one connection of the host from the next.
  static std::string presenceOnline(const std::string& iDevice, const std::string& iVersion,
                                    const std::vector<std::string>& iModules, const std::string& iEpoch);
  static std::string presenceOffline(const std::string& iDevice, const std::string& iEpoch);
  // The value of the string field iKey ("state", "epoch") of a presence
  // payload as written above, whose values of these fields hold no escapes;
  // empty when it has none.
  static std::string presenceField(const std::string& iPayload, const std::string& iKey);
};
