#include "PTlsTransport.h"

#include <new>

#include "zevo/PErrors.h"

int PTlsTransport::create(const PTlsSettings& iSettings, std::shared_ptr<PTlsTransport>& oTransport, std::string& oError) {
  std::shared_ptr<PTlsTransport> transport(new (std::nothrow) PTlsTransport);
  if (!transport) return ERR_NO_MEMORY;
  const int result = transport->reload(iSettings, oError);
  if (result == 0) oTransport = std::move(transport);
  return result;
}

int PTlsTransport::reload(const PTlsSettings& iSettings, std::string& oError) {
  std::shared_ptr<const PTlsServer> server;
  const int result = PTlsServer::create(iSettings, server, oError);
  if (result != 0) return result;
  PStdMutexLock lock(fLock);
  fServer = std::move(server);
  return 0;
}

std::unique_ptr<PByteChannel> PTlsTransport::channel(int iFd, std::string& oError) const {
  std::shared_ptr<const PTlsServer> server;
  {
    PStdMutexLock lock(fLock);
    server = fServer;
  }
  return PTlsServer::channel(server, iFd, oError);
}
