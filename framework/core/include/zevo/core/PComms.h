// The comms component: serves peers over stream sockets (Unix-domain or
// TCP) with the frames of docs/protocol.md.
//
// A request addressed to a bound module becomes an ICommsEvent on the
// module's topic, delivered through the event dispatcher on one of its
// workers: the requests of one connection one after another in arrival
// order, those of different connections in parallel. send() writes the reply
// to the connection the request came from; replies of a connection leave in
// request order.
//
// When a connection ends, the transfers that replies on it opened and that
// were not closed are closed by delivering CloseFileTransfer requests to the
// file-access module, as the peer would have.
//
// Threading: every operation is thread-safe. Life cycle: create, listen,
// start; at shut-down stopAccepting, stop the dispatcher's workers, then
// closeAll.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "zevo/IComms.h"
#include "zevo/ILogger.h"
#include "zevo/PExport.h"
#include "zevo/PPtr.h"
#include "zevo/PStdMutex.h"
#include "zevo/core/PEventDispatcher.h"
#include "zevo/core/PFrame.h"

struct PCommsSettings {
  uint32_t fFrameMax = kDefaultFrameMax;  // largest frame length accepted
  int fConnectionMax = 64;                // connections served at once
  size_t fReadAhead = 256 * 1024;         // unsent reply bytes before a connection's reading pauses
};

class PConnection;
class PCommsListener;

class ZEVO_EXPORT PComms : public IComms {
 public:
  static int create(PEventDispatcher* iDispatcher, const PCommsSettings& iSettings, PBaseptr<PComms>& oComms);

  void incRef() override;
  void decRef() override;
  int unbind(const PLiteral& iModuleID) override;
  int bind(const PLiteral& iModuleID, PString& iTopic) override;
  int send(int iResponseID, PCommsMessage& iResponse) override;

  // Where to log (optional); set before start.
  void setLogger(const PBaseptr<ILogger>& iLogger);

  // Opens a listening socket: "unix:/path/to.sock" or "tcp:host:port" (port
  // 0 picks a free one). oWhere tells where it listens ("unix:/run/x.sock",
  // "tcp:127.0.0.1:40123"); oError why it cannot.
  int listen(const std::string& iEndpoint, std::string& oWhere, std::string& oError);
  // Starts accepting on every listening socket (the dispatcher's workers
  // must run for anything to happen).
  int start();
  // Closes the listening sockets; connections stay.
  void stopAccepting();
  // Ends every connection, closing the transfers each left open. Only when
  // the dispatcher's workers have stopped.
  void closeAll();

  size_t connectionCount();

  // Destroyed by its last decRef; ends every connection.
  virtual ~PComms();

  // A module bound to a topic.
  struct Binding {
    PString fModuleID;
    PString fTopic;
    std::string fModuleUtf8;
    bool fTracksTransfers;  // the file-access module: its transfers are closed for vanished peers
  };

 private:
  friend class PConnection;
  friend class PCommsListener;


  PComms(PEventDispatcher* iDispatcher, const PCommsSettings& iSettings);

  // A bound module by its UTF-8 ID; null when none.
  std::shared_ptr<const Binding> findBinding(const char* iModule, size_t iLength);
  void accepted(int iFd, const std::string& iPeer);
  void forget(PConnection* iConnection);

  template <class... Args>
  void logError(const wchar_t* iFormat, const char* iFunction, const Args&... iArgs);
  template <class... Args>
  void logInfo(const wchar_t* iFormat, const char* iFunction, const Args&... iArgs);
  template <class... Args>
  void logDebug(const wchar_t* iFormat, const char* iFunction, const Args&... iArgs);

  std::atomic<int> fRefs;
  PBaseptr<PEventDispatcher> fDispatcher;
  const PCommsSettings fSettings;
  std::atomic<int> fNextResponseID;
  std::atomic<int> fNextConnection;

  PBaseptr<ILogger> fLogger;  // set before start, read-only afterwards

  PStdMutex fLock;
  // By UTF-8 module ID.
  std::map<std::string, std::shared_ptr<const Binding>, std::less<>> fBindings ZEVO_GUARDED_BY(fLock);
  std::atomic<unsigned int> fBindingsVersion;  // changes under fLock with every bind and unbind; read without it
  std::vector<std::unique_ptr<PCommsListener>> fListeners ZEVO_GUARDED_BY(fLock);
  std::set<PConnection*> fConnections ZEVO_GUARDED_BY(fLock);
};
