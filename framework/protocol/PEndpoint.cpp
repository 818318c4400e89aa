#include "zevo/protocol/PEndpoint.h"

#include <sys/un.h>

#include "zevo/PErrors.h"

int PEndpoint::parse(const std::string& iText, PEndpoint& oEndpoint, std::string& oError) {
  PEndpoint endpoint;
  if (iText.compare(0, 5, "unix:") == 0) {
    endpoint.fPath = iText.substr(5);
    const size_t room = sizeof(sockaddr_un::sun_path) - 1;
    if (endpoint.fPath.empty() || endpoint.fPath.size() > room || endpoint.fPath.find('\0') != std::string::npos) {
      oError = "invalid socket path \"" + endpoint.fPath + "\" (1 to " + std::to_string(room) + " bytes)";
      return ERR_INVALID_ARG;
    }
  } else if (iText.compare(0, 4, "tcp:") == 0) {
    endpoint.fKind = kTcp;
    const size_t colon = iText.rfind(':');
    const std::string port = iText.substr(colon + 1);
    endpoint.fHost = iText.substr(4, colon < 4 ? 0 : colon - 4);
    if (endpoint.fHost.size() >= 2 && endpoint.fHost.front() == '[' && endpoint.fHost.back() == ']') {
      endpoint.fHost = endpoint.fHost.substr(1, endpoint.fHost.size() - 2);
    }
    bool digits = colon > 3 && !port.empty() && port.size() <= 5;
    for (char c : port) digits = digits && c >= '0' && c <= '9';
    endpoint.fPort = digits ? std::stoi(port) : -1;
    if (endpoint.fPort < 0 || endpoint.fPort > 65535) {
      oError = "expected tcp:HOST:PORT with a port of 0 to 65535, got \"" + iText + "\"";
      return ERR_INVALID_ARG;
    }
  } else {
    oError = "unknown endpoint \"" + iText + "\" (expected unix:PATH or tcp:HOST:PORT)";
    return ERR_INVALID_ARG;
  }
  oEndpoint = endpoint;
  return 0;
}

std::string PEndpoint::text() const {
  if (fKind == kUnix) return "unix:" + fPath;
  const std::string host = fHost.find(':') != std::string::npos ? "[" + fHost + "]" : fHost;
  return "tcp:" + host + ":" + std::to_string(fPort);
}
