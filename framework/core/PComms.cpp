#include "zevo/core/PComms.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <new>
#include <string_view>
#include <thread>

#include "PReactor.h"
#include "zevo/ICommsEvent.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PErrors.h"
#include "zevo/PLogArgs.h"
#include "zevo/PUtils.h"

namespace {

// The file-access module and the two actions whose transfers the transport
// follows, so that a vanished peer's open files can be closed.
constexpr const wchar_t* kTransferModule = L"com.quorbex.zevo.fileaccess";
constexpr uint32_t kStartFileTransfer = 1001;
constexpr uint32_t kCloseFileTransfer = 1004;

constexpr size_t kInputSize = 64 * 1024;    // receive buffer of a connection
constexpr size_t kFlushAt = 64 * 1024;      // unsent bytes that trigger a write while serving
constexpr int kReadsPerTurn = 16;           // reads before a busy connection lets others go
constexpr int kAcceptsPerTurn = 64;

std::string errnoText(int iError) { return std::strerror(iError); }

void setNoDelay(int iFd) {
  const int one = 1;
  setsockopt(iFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly on Unix sockets
}

// "tcp:HOST:PORT" of an IPv4 address, "tcp:[HOST]:PORT" of any other.
std::string tcpText(const sockaddr_storage& iAddress) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (iAddress.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&iAddress);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    return "tcp:" + std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
  }
  const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&iAddress);
  inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
  return "tcp:[" + std::string(host) + "]:" + std::to_string(ntohs(in6->sin6_port));
}

std::string peerName(int iFd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getpeername(iFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "unknown";
  if (address.ss_family == AF_UNIX) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(iFd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
      return "unix:" + std::to_string(credentials.pid) + ":" + std::to_string(credentials.uid);
    }
    return "unix";
  }
  if (address.ss_family == AF_INET || address.ss_family == AF_INET6) return tcpText(address);
  return "unknown";
}

void appendError(std::vector<unsigned char>& ioOut, int iCode, uint32_t iExchange, const std::string& iText) {
  PFrame::append(ioOut, FRAME_ERROR, iExchange, static_cast<uint32_t>(iCode), std::string(),
                 reinterpret_cast<const unsigned char*>(iText.data()), iText.size());
}

// Tells a peer that will not be served why, and closes its socket.
void refuse(int iFd, const std::string& iText) {
  std::vector<unsigned char> frame;
  appendError(frame, ERR_COMMS_BUSY, 0, iText);
  ssize_t ignored = ::send(iFd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)ignored;
  ::close(iFd);
}

// UTF-8 from the system or a peer, as wide text for the log.
PString wide(const std::string& iText) {
  PString text;
  if (PUtils::fromUtf8(iText.data(), iText.size(), text) != 0) return PString(L"?");
  return text;
}

bool validUtf8(const char* iText, size_t iLength) {
  PString ignored;
  return PUtils::fromUtf8(iText, iLength, ignored) == 0;
}

}  // namespace

// One request in the hands of a listener: where its reply goes, and what the
// transport learns from it about transfers.
struct PExchange {
  PComms* fComms;
  PConnection* fConnection;  // null: the reply goes nowhere
  int fResponseID;
  uint32_t fExchange;
  uint32_t fAction;
  bool fTracks;
  int fCloseID;      // the transfer a CloseFileTransfer request names
  bool fHasCloseID;
  bool fReplied;
  int fStatus;
  const PComms::Binding* fBinding;
};

namespace {
thread_local PExchange* tExchange = nullptr;
}  // namespace

// A request as an event. Connections reuse theirs while no listener keeps it.
class PCommsEvent final : public ICommsEvent {
 public:
  void incRef() override { fRefs.fetch_add(1, std::memory_order_relaxed); }
  void decRef() override {
    if (fRefs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  const PCommsTarget* getTargetID() override { return &fTarget; }
  const PCommsMessage* getMessage() override { return &fMessage; }
  int getResponseID() override { return fResponseID; }
  int refs() const { return fRefs.load(std::memory_order_acquire); }

  PCommsTarget fTarget;
  PCommsMessage fMessage;
  int fResponseID = 0;

 private:
  std::atomic<int> fRefs{0};
};

class PConnection final : public PReactorHandler {
 public:
  PConnection(PComms& iComms, int iFd, int iNumber, const std::string& iPeer)
      : fComms(iComms), fFd(iFd), fNumber(iNumber), fPeer(iPeer), fIn(kInputSize) {}

  void onReady(uint32_t iEvents) override;
  // Ends the connection from outside the workers (shut-down).
  void shutdownNow();
  // Queues the reply of one exchange; see PComms::send.
  void queueReply(const PExchange& iExchange, PCommsMessage& iResponse);
  void noteTransfer(int iID, bool iOpen) {
    if (iOpen) {
      fOpenTransfers.insert(iID);
    } else {
      fOpenTransfers.erase(iID);
    }
  }

  int fd() const { return fFd; }

 private:
  size_t unsent() const { return fOut.size() - fOutStart; }
  bool framesWaiting() const;  // a whole request is in the receive buffer
  uint32_t cutFrameExchange() const;  // of the partial frame held, 0 before it arrived
  bool serveInput();  // false once the connection is to end
  bool serveFrames();
  void serveRequest(const PFrameView& iFrame);
  void deliver(const std::shared_ptr<const PComms::Binding>& iBinding, uint32_t iAction, uint32_t iExchange,
               const unsigned char* iPayload, size_t iLength, PConnection* iReplyTo, PExchange& oExchange);
  void transportError(int iCode, uint32_t iExchange, const std::string& iText);
  bool flush();  // false on a write error
  void closeTransfers();
  void finish();  // ends the connection and deletes it

  PComms& fComms;
  const int fFd;
  const int fNumber;
  const std::string fPeer;

  std::vector<unsigned char> fIn;  // received bytes in [fInStart, fInEnd)
  size_t fInStart = 0;
  size_t fInEnd = 0;
  std::vector<unsigned char> fOut;  // unsent bytes from fOutStart
  size_t fOutStart = 0;
  bool fReadClosed = false;  // the peer sent its last byte, or an error ended reading
  bool fClosing = false;     // a transport error was queued: send it, then end

  std::set<int> fOpenTransfers;  // opened by replies on this connection, not closed yet
  PBaseptr<PCommsEvent> fEvent;  // reused while no listener keeps it

  std::string fCachedModule;  // the last module addressed, and its binding
  std::shared_ptr<const PComms::Binding> fCachedBinding;
  unsigned int fCachedVersion = 0;
};

// A listening socket.
class PCommsListener final : public PReactorHandler {
 public:
  PCommsListener(PComms& iComms, int iFd, const std::string& iWhere, const std::string& iUnixPath)
      : fComms(iComms), fFd(iFd), fWhere(iWhere), fUnixPath(iUnixPath) {
    fReserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  ~PCommsListener() {
    ::close(fFd);
    if (fReserve >= 0) ::close(fReserve);
    if (!fUnixPath.empty()) ::unlink(fUnixPath.c_str());
  }
  void onReady(uint32_t iEvents) override;
  void stop() { fStopped.store(true, std::memory_order_release); }

  PComms& fComms;
  const int fFd;
  const std::string fWhere;
  const std::string fUnixPath;  // removed when the listener goes

 private:
  int fReserve;  // a spare descriptor, given up to refuse a peer politely when none are left
  std::atomic<bool> fStopped{false};
};

// ---------------------------------------------------------------- PComms

int PComms::create(PEventDispatcher* iDispatcher, const PCommsSettings& iSettings, PBaseptr<PComms>& oComms) {
  if (iDispatcher == nullptr || iSettings.fFrameMax < kFrameMinLength || iSettings.fConnectionMax < 1) {
    return ERR_INVALID_ARG;
  }
  PComms* comms = new (std::nothrow) PComms(iDispatcher, iSettings);
  if (comms == nullptr) return ERR_NO_MEMORY;
  oComms = comms;
  return 0;
}

PComms::PComms(PEventDispatcher* iDispatcher, const PCommsSettings& iSettings)
    : fRefs(0),
      fDispatcher(iDispatcher),
      fSettings(iSettings),
      fNextResponseID(1),
      fNextConnection(1),
      fBindingsVersion(1) {}

PComms::~PComms() { closeAll(); }

void PComms::incRef() { fRefs.fetch_add(1, std::memory_order_relaxed); }

void PComms::decRef() {
  if (fRefs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void PComms::setLogger(const PBaseptr<ILogger>& iLogger) { fLogger = iLogger; }

template <class... Args>
void PComms::logError(const wchar_t* iFormat, const char* iFunction, const Args&... iArgs) {
  if (!fLogger.isNull()) fLogger->logError(0, iFormat, iFunction, zevoLogArg(iArgs)...);
}
template <class... Args>
void PComms::logInfo(const wchar_t* iFormat, const char* iFunction, const Args&... iArgs) {
  if (!fLogger.isNull()) fLogger->logInfo(0, iFormat, iFunction, zevoLogArg(iArgs)...);
}
template <class... Args>
void PComms::logDebug(const wchar_t* iFormat, const char* iFunction, const Args&... iArgs) {
  if (!fLogger.isNull()) fLogger->logDebug(0, iFormat, iFunction, zevoLogArg(iArgs)...);
}

int PComms::bind(const PLiteral& iModuleID, PString& iTopic) {
  if (iModuleID.len() == 0 || iTopic.len() == 0) return ERR_INVALID_ARG;
  std::string utf8;
  if (PUtils::toUtf8(iModuleID, utf8) != 0 || utf8.size() > 0xFFFF) return ERR_INVALID_ARG;
  try {
    auto binding = std::make_shared<Binding>();
    binding->fModuleID = PString(iModuleID);
    binding->fTopic = iTopic;
    binding->fModuleUtf8 = utf8;
    binding->fTracksTransfers = iModuleID.cmp(kTransferModule, PLiteral::kToNul) == 0;
    PStdMutexLock lock(fLock);
    auto found = fBindings.find(utf8);
    if (found != fBindings.end()) return found->second->fTopic.cmp(iTopic) == 0 ? 0 : ERR_ALREADY;
    fBindings.emplace(utf8, std::move(binding));
    fBindingsVersion.fetch_add(1, std::memory_order_release);
  } catch (const std::bad_alloc&) {
    return ERR_NO_MEMORY;
  }
  logDebug(L"[%s] module [%ls] bound to topic [%ls]", "bind", iModuleID, iTopic);
  return 0;
}

int PComms::unbind(const PLiteral& iModuleID) {
  std::string utf8;
  if (PUtils::toUtf8(iModuleID, utf8) != 0) return ERR_INVALID_ARG;
  PStdMutexLock lock(fLock);
  if (fBindings.erase(utf8) == 0) return ERR_COMMS_NO_MODULE;
  fBindingsVersion.fetch_add(1, std::memory_order_release);
  return 0;
}

std::shared_ptr<const PComms::Binding> PComms::findBinding(const char* iModule, size_t iLength) {
  PStdMutexLock lock(fLock);
  auto found = fBindings.find(std::string_view(iModule, iLength));
  return found == fBindings.end() ? nullptr : found->second;
}

int PComms::send(int iResponseID, PCommsMessage& iResponse) {
  PExchange* exchange = tExchange;
  // Replies are taken while the request is being delivered; any other
  // response ID has no request waiting for it.
  if (exchange == nullptr || exchange->fComms != this || exchange->fResponseID != iResponseID || exchange->fReplied) {
    return ERR_COMMS_NO_EXCHANGE;
  }
  exchange->fReplied = true;
  exchange->fStatus = static_cast<int>(iResponse.fUint32);
  if (exchange->fTracks && exchange->fStatus == 0) {
    if (exchange->fAction == kStartFileTransfer) {
      int id = 0;
      if (PDataReader(iResponse.fData).readInt32(id) == 0 && id != 0 && exchange->fConnection != nullptr) {
        exchange->fConnection->noteTransfer(id, true);
      }
    } else if (exchange->fAction == kCloseFileTransfer && exchange->fHasCloseID && exchange->fConnection != nullptr) {
      exchange->fConnection->noteTransfer(exchange->fCloseID, false);
    }
  }
  if (exchange->fConnection != nullptr) exchange->fConnection->queueReply(*exchange, iResponse);
  return 0;
}

void PComms::accepted(int iFd, const std::string& iPeer) {
  PConnection* connection = nullptr;
  const int number = fNextConnection.fetch_add(1, std::memory_order_relaxed);
  {
    PStdMutexLock lock(fLock);
    if (fConnections.size() < static_cast<size_t>(fSettings.fConnectionMax)) {
      connection = new (std::nothrow) PConnection(*this, iFd, number, iPeer);
      if (connection != nullptr) fConnections.insert(connection);
    }
  }
  if (connection == nullptr) {
    const std::string text = "too many connections (the limit is " + std::to_string(fSettings.fConnectionMax) + ")";
    refuse(iFd, text);
    logError(L"[%s] refused %ls: %ls", "accept", wide(iPeer), wide(text));
    return;
  }
  logDebug(L"[%s] connection %d from %ls", "accept", number, wide(iPeer));
  // From here a worker may serve (and even end) the connection at once.
  if (fDispatcher->reactor().add(iFd, connection, EPOLLIN | EPOLLRDHUP) != 0) {
    {
      PStdMutexLock lock(fLock);
      fConnections.erase(connection);
    }
    ::close(iFd);
    delete connection;
  }
}

void PComms::forget(PConnection* iConnection) {
  PStdMutexLock lock(fLock);
  fConnections.erase(iConnection);
}

size_t PComms::connectionCount() {
  PStdMutexLock lock(fLock);
  return fConnections.size();
}

int PComms::listen(const std::string& iEndpoint, std::string& oWhere, std::string& oError) {
  int fd = -1;
  std::string unixPath;
  if (iEndpoint.compare(0, 5, "unix:") == 0) {
    unixPath = iEndpoint.substr(5);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (unixPath.empty() || unixPath.size() >= sizeof address.sun_path || unixPath.find('\0') != std::string::npos) {
      oError = "invalid socket path \"" + unixPath + "\" (1 to " + std::to_string(sizeof address.sun_path - 1) +
               " bytes)";
      return ERR_INVALID_ARG;
    }
    std::memcpy(address.sun_path, unixPath.c_str(), unixPath.size() + 1);
    struct stat info;
    if (::lstat(unixPath.c_str(), &info) == 0) {
      if (!S_ISSOCK(info.st_mode)) {
        oError = unixPath + " exists and is not a socket";
        return PERR_EXISTS;
      }
      // A socket file left by a host that is gone is replaced; one that
      // answers belongs to a running host.
      const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const bool alive = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      if (probe >= 0) ::close(probe);
      if (alive) {
        oError = "another process is listening on " + unixPath;
        return ERR_ALREADY;
      }
      ::unlink(unixPath.c_str());
    }
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      const int error = errno;
      if (fd >= 0) ::close(fd);
      oError = "cannot bind " + unixPath + ": " + errnoText(error);
      return PErrors::fromErrno(error);
    }
    oWhere = "unix:" + unixPath;
  } else if (iEndpoint.compare(0, 4, "tcp:") == 0) {
    const std::string rest = iEndpoint.substr(4);
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon + 1 == rest.size()) {
      oError = "expected tcp:HOST:PORT, got \"" + iEndpoint + "\"";
      return ERR_INVALID_ARG;
    }
    std::string host = rest.substr(0, colon);
    const std::string port = rest.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(host.empty() || host == "*" ? nullptr : host.c_str(), port.c_str(), &hints, &found);
    if (lookup != 0) {
      oError = "cannot resolve \"" + rest + "\": " + gai_strerror(lookup);
      return ERR_INVALID_ARG;
    }
    int error = 0;
    for (addrinfo* candidate = found; candidate != nullptr && fd < 0; candidate = candidate->ai_next) {
      fd = ::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) {
        error = errno;
        continue;
      }
      const int one = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      if (::bind(fd, candidate->ai_addr, candidate->ai_addrlen) != 0) {
        error = errno;
        ::close(fd);
        fd = -1;
      }
    }
    freeaddrinfo(found);
    if (fd < 0) {
      oError = "cannot bind " + rest + ": " + errnoText(error);
      return PErrors::fromErrno(error);
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    oWhere = tcpText(bound);
  } else {
    oError = "unknown endpoint \"" + iEndpoint + "\" (expected unix:PATH or tcp:HOST:PORT)";
    return ERR_INVALID_ARG;
  }

  if (::listen(fd, 128) != 0) {
    const int error = errno;
    ::close(fd);
    oError = "cannot listen on " + oWhere + ": " + errnoText(error);
    return PErrors::fromErrno(error);
  }
  try {
    PStdMutexLock lock(fLock);
    fListeners.push_back(std::make_unique<PCommsListener>(*this, fd, oWhere, unixPath));
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return ERR_NO_MEMORY;
  }
  return 0;
}

int PComms::start() {
  PStdMutexLock lock(fLock);
  if (fListeners.empty()) return ERR_INVALID_ARG;
  for (auto& listener : fListeners) {
    // Accepting is light: the first worker does it and hands each new
    // connection to the worker holding the fewest.
    const int result = fDispatcher->reactor().add(listener->fFd, listener.get(), EPOLLIN, 0);
    if (result != 0) return result;
  }
  return 0;
}

void PComms::stopAccepting() {
  PStdMutexLock lock(fLock);
  for (auto& listener : fListeners) {
    listener->stop();
  }
}

void PComms::closeAll() {
  std::vector<std::unique_ptr<PCommsListener>> listeners;
  std::set<PConnection*> connections;
  {
    PStdMutexLock lock(fLock);
    listeners.swap(fListeners);
    connections = fConnections;
  }
  listeners.clear();  // closes the sockets and removes the socket files
  for (PConnection* connection : connections) connection->shutdownNow();
}

// ------------------------------------------------------- PCommsListener

void PCommsListener::onReady(uint32_t) {
  if (fReserve < 0) fReserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  bool backOff = false;
  for (int i = 0; i < kAcceptsPerTurn && !fStopped.load(std::memory_order_acquire); ++i) {
    const int fd = ::accept4(fFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      setNoDelay(fd);
      fComms.accepted(fd, peerName(fd));
      continue;
    }
    const int error = errno;
    if (error == EINTR || error == ECONNABORTED) continue;
    if (error == EMFILE || error == ENFILE) {
      // accept fails so even when nobody waits: look before giving up the
      // spare descriptor, which another thread could take meanwhile.
      pollfd waiting{fFd, POLLIN, 0};
      if (::poll(&waiting, 1, 0) <= 0) break;
      if (fReserve < 0) {
        backOff = true;  // cannot even refuse: try again shortly
        break;
      }
      // No descriptor left: free the spare one to take the peer and refuse
      // it, rather than leave it pending and the socket ready for ever.
      ::close(fReserve);
      fReserve = -1;
      const int refused = ::accept4(fFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (refused >= 0) {
        refuse(refused, "the host has no descriptors left");
        fComms.logError(L"[%s] refused a peer on %ls: no descriptors left", "accept", wide(fWhere));
      }
      fReserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fReserve < 0) {
        backOff = true;
        break;
      }
      continue;
    }
    break;  // EAGAIN, or an error that the next readiness will show again
  }
  if (fStopped.load(std::memory_order_acquire)) {
    fComms.fDispatcher->reactor().remove(fFd, this);  // its own worker: safe here
    return;
  }
  // A listener that can neither serve nor refuse waits a little instead of
  // spinning on a socket that stays ready.
  if (backOff) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// ---------------------------------------------------------- PConnection

void PConnection::onReady(uint32_t iEvents) {
  const size_t readAhead = fComms.fSettings.fReadAhead;
  if ((iEvents & EPOLLOUT) != 0 && !flush()) return finish();
  // Requests held back while the peer's replies piled up come first.
  if (!fClosing && unsent() < readAhead && fInStart < fInEnd) serveFrames();
  if (!fReadClosed && !fClosing && unsent() < readAhead) {
    if (!serveInput()) return finish();
  }
  if (!flush()) return finish();
  const bool heldBack = !fClosing && framesWaiting();
  if (fReadClosed || fClosing) {
    // Nothing more to read: end once every request is answered and every
    // reply is out.
    if (unsent() == 0 && !heldBack) return finish();
    fComms.fDispatcher->reactor().modify(fFd, this, EPOLLOUT);
    return;
  }
  uint32_t wanted = 0;
  if (unsent() < readAhead) wanted |= EPOLLIN | EPOLLRDHUP;  // else: slowed until it reads
  // Writable again, or (held-back requests and room) at once.
  if (unsent() > 0 || heldBack) wanted |= EPOLLOUT;
  fComms.fDispatcher->reactor().modify(fFd, this, wanted);
}

uint32_t PConnection::cutFrameExchange() const {
  // length (4), kind (1), then the exchange.
  return fInEnd - fInStart >= 9 ? PFrame::readU32(fIn.data() + fInStart + 5) : 0;
}

bool PConnection::framesWaiting() const {
  PFrameView frame;
  size_t needed = 0;
  return fInStart < fInEnd &&
         PFrame::parse(fIn.data() + fInStart, fInEnd - fInStart, fComms.fSettings.fFrameMax, frame, needed) == 0;
}

bool PConnection::serveInput() {
  for (int round = 0; round < kReadsPerTurn; ++round) {
    if (unsent() >= fComms.fSettings.fReadAhead) return true;
    if (fInEnd == fIn.size()) {
      if (fInStart > 0) {
        std::memmove(fIn.data(), fIn.data() + fInStart, fInEnd - fInStart);
        fInEnd -= fInStart;
        fInStart = 0;
      }
      if (fInEnd == fIn.size()) {
        // Only a frame larger than the buffer gets here; its size was
        // checked against the limit when its header arrived.
        PFrameView frame;
        size_t needed = 0;
        if (PFrame::parse(fIn.data(), fInEnd, fComms.fSettings.fFrameMax, frame, needed) != 1) {
          serveFrames();
          return true;
        }
        try {
          fIn.resize(needed);
        } catch (const std::bad_alloc&) {
          transportError(ERR_NO_MEMORY, frame.fExchange, "the host is out of memory");
          return true;
        }
      }
    }
    const size_t room = fIn.size() - fInEnd;
    const ssize_t got = ::read(fFd, fIn.data() + fInEnd, room);
    if (got > 0) {
      fInEnd += static_cast<size_t>(got);
      if (!serveFrames()) return true;
      if (static_cast<size_t>(got) < room) return true;  // drained for now
      continue;
    }
    if (got == 0) {
      fReadClosed = true;
      if (fInEnd > fInStart) {
        transportError(ERR_COMMS_FRAME, cutFrameExchange(),
                       "the connection ended in the middle of a frame (" + std::to_string(fInEnd - fInStart) +
                           " bytes)");
      }
      return true;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    return false;  // reset by the peer, or worse
  }
  return true;
}

bool PConnection::serveFrames() {
  while (fInStart < fInEnd && !fClosing) {
    // Past the read-ahead, the rest waits until the peer reads its replies:
    // what a connection holds stays bounded whatever it has sent.
    if (unsent() >= fComms.fSettings.fReadAhead) {
      if (!flush()) {
        fReadClosed = true;
        return false;
      }
      if (unsent() >= fComms.fSettings.fReadAhead) break;
    }
    PFrameView frame;
    size_t needed = 0;
    const int parsed = PFrame::parse(fIn.data() + fInStart, fInEnd - fInStart, fComms.fSettings.fFrameMax, frame, needed);
    if (parsed == 1) break;
    if (parsed == ERR_COMMS_FRAME_SIZE) {
      transportError(parsed, frame.fExchange,
                     "frame of " + std::to_string(PFrame::readU32(fIn.data() + fInStart)) +
                         " bytes exceeds the limit of " + std::to_string(fComms.fSettings.fFrameMax));
      return false;
    }
    if (parsed != 0) {
      transportError(parsed, frame.fExchange, "malformed frame header");
      return false;
    }
    if (frame.fKind != FRAME_REQUEST) {
      transportError(ERR_COMMS_FRAME, frame.fExchange,
                     "frame of kind " + std::to_string(frame.fKind) + " where a request (kind 1) was expected");
      return false;
    }
    serveRequest(frame);
    fInStart += frame.fSize;
    if (unsent() >= kFlushAt && !flush()) {
      fReadClosed = true;
      return false;
    }
  }
  if (fInStart == fInEnd) {
    fInStart = fInEnd = 0;
    if (fIn.size() > 4 * kInputSize) std::vector<unsigned char>(kInputSize).swap(fIn);  // after a huge frame
  }
  return !fClosing;
}

void PConnection::serveRequest(const PFrameView& iFrame) {
  const unsigned int version = fComms.fBindingsVersion.load(std::memory_order_acquire);
  if (fCachedBinding == nullptr || version != fCachedVersion ||
      fCachedModule.compare(0, std::string::npos, iFrame.fModule, iFrame.fModuleLength) != 0) {
    fCachedBinding = fComms.findBinding(iFrame.fModule, iFrame.fModuleLength);
    fCachedModule.assign(iFrame.fModule, iFrame.fModuleLength);
    fCachedVersion = version;
  }
  if (fCachedBinding == nullptr) {
    const std::string module(iFrame.fModule, iFrame.fModuleLength);
    if (!validUtf8(iFrame.fModule, iFrame.fModuleLength)) {
      transportError(ERR_COMMS_FRAME, iFrame.fExchange, "the module ID is not UTF-8");
    } else {
      transportError(ERR_COMMS_NO_MODULE, iFrame.fExchange, "no module is bound as \"" + module + "\"");
    }
    return;
  }
  PExchange exchange{};
  deliver(fCachedBinding, iFrame.fWord, iFrame.fExchange, iFrame.fPayload, iFrame.fPayloadLength, this, exchange);
  if (!exchange.fReplied) {
    // Nobody answered (no listener on the module's topic): the peer still
    // gets its one reply.
    PCommsMessage none;
    none.fUint32 = static_cast<uint32_t>(ERR_NO_INSTANCE);
    queueReply(exchange, none);
  }
}

void PConnection::deliver(const std::shared_ptr<const PComms::Binding>& iBinding, uint32_t iAction,
                          uint32_t iExchange, const unsigned char* iPayload, size_t iLength, PConnection* iReplyTo,
                          PExchange& oExchange) {
  // A listener that kept the last event has it for itself: make another.
  if (fEvent.isNull() || fEvent->refs() != 1) {
    fEvent = new PCommsEvent();
    fEvent->fTarget.fAddress = wide(fPeer);
    fEvent->fTarget.fConnection = fNumber;
  }
  PCommsEvent& event = *fEvent;
  if (event.fMessage.fModuleID.cmp(iBinding->fModuleID) != 0) event.fMessage.fModuleID = iBinding->fModuleID;
  event.fMessage.fUint32 = iAction;
  event.fMessage.fData.assign(iPayload, iPayload + iLength);
  event.fResponseID = fComms.fNextResponseID.fetch_add(1, std::memory_order_relaxed);

  oExchange.fComms = &fComms;
  oExchange.fConnection = iReplyTo;
  oExchange.fResponseID = event.fResponseID;
  oExchange.fExchange = iExchange;
  oExchange.fAction = iAction;
  oExchange.fTracks = iBinding->fTracksTransfers;
  oExchange.fBinding = iBinding.get();
  if (oExchange.fTracks && iAction == kCloseFileTransfer) {
    oExchange.fHasCloseID = PDataReader(event.fMessage.fData).readInt32(oExchange.fCloseID) == 0;
  }
  PExchange* outer = tExchange;
  tExchange = &oExchange;
  fComms.fDispatcher->deliver(iBinding->fTopic, &event);
  tExchange = outer;
}

void PConnection::queueReply(const PExchange& iExchange, PCommsMessage& iResponse) {
  static const std::string kNoModule;
  const std::string* module = &kNoModule;
  std::string converted;
  if (iResponse.fModuleID.len() != 0) {
    if (iExchange.fBinding != nullptr && iResponse.fModuleID.cmp(iExchange.fBinding->fModuleID) == 0) {
      module = &iExchange.fBinding->fModuleUtf8;
    } else if (PUtils::toUtf8(iResponse.fModuleID, converted) == 0) {
      module = &converted;
    }
  }
  if (fOutStart > 0 && fOutStart == fOut.size()) {
    fOut.clear();
    fOutStart = 0;
  }
  PFrame::append(fOut, FRAME_REPLY, iExchange.fExchange, iResponse.fUint32, *module, iResponse.fData.data(),
                 iResponse.fData.size());
}

void PConnection::transportError(int iCode, uint32_t iExchange, const std::string& iText) {
  appendError(fOut, iCode, iExchange, iText);
  fClosing = true;
  fReadClosed = true;
  fComms.logError(L"[%s] connection %d (%ls): %ls (%d); closing it", "transport", fNumber, wide(fPeer), wide(iText),
                  iCode);
}

bool PConnection::flush() {
  while (unsent() > 0) {
    const ssize_t sent = ::send(fFd, fOut.data() + fOutStart, unsent(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      fOutStart += static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;  // the peer is gone
  }
  fOut.clear();
  fOutStart = 0;
  if (fOut.capacity() > 4 * fComms.fSettings.fReadAhead) std::vector<unsigned char>().swap(fOut);
  return true;
}

void PConnection::closeTransfers() {
  if (fOpenTransfers.empty()) return;
  const std::set<int> open = fOpenTransfers;
  fOpenTransfers.clear();
  std::string module;
  PUtils::toUtf8(PLiteral(kTransferModule), module);
  std::shared_ptr<const PComms::Binding> binding = fComms.findBinding(module.data(), module.size());
  for (int id : open) {
    if (binding == nullptr) {
      fComms.logError(L"[%s] connection %d (%ls) left transfer [%d] open, and no module takes its close",
                      "closeTransfers", fNumber, wide(fPeer), id);
      continue;
    }
    std::vector<unsigned char> payload;
    PDataWriter(payload).writeInt32(id);
    PExchange exchange{};
    deliver(binding, kCloseFileTransfer, 0, payload.data(), payload.size(), nullptr, exchange);
    fComms.logInfo(L"[%s] connection %d (%ls) ended: closed transfer [%d] it left open, status %d", "closeTransfers",
                   fNumber, wide(fPeer), id, exchange.fReplied ? exchange.fStatus : ERR_NO_INSTANCE);
  }
}

void PConnection::finish() {
  closeTransfers();
  fComms.fDispatcher->reactor().remove(fFd, this);
  ::close(fFd);
  fComms.logDebug(L"[%s] connection %d (%ls) closed", "finish", fNumber, wide(fPeer));
  fComms.forget(this);
  delete this;
}

void PConnection::shutdownNow() {
  flush();
  finish();
}
