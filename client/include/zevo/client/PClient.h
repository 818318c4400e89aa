// Client of the file-access service: one connection to a zevohost over a
// Unix-domain socket, TCP, TCP with TLS 1.3 (docs/protocol.md), or through
// an MQTT 5 broker (docs/mqtt.md), a call
// per action, and whole file transfers that keep several requests in flight.
// Where the host also serves the file-operations module (docs/fileops.md),
// the calls below "file operations" use it: ranged, sparse, verified and
// resumable transfers, atomic uploads, many files in flight at once; on a
// host without it they fall back to the file-access actions or answer
// ERR_CLIENT_NO_FILEOPS.
//
// Every call answers 0 or a negative code and never throws; lastError() then
// says what failed. A lost connection, a time-out, a transport error from the
// host or a reply that breaks the protocol closes the client. One PClient is
// used by one thread at a time. docs/client.md describes it all.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zevo/PExport.h"
#include "zevo/client/PClientTypes.h"
#include "zevo/protocol/PFileAccessProtocol.h"

// Codes of the client, beside those of zevo/PErrors.h, as X(name, value,
// meaning) rows: the constants below, clientCodeName and clientCodeMeaning
// come from them, and docs/status-codes.md lists the same rows.
#define ZEVO_CLIENT_CODES(X) \
  X(ERR_CLIENT_CONNECT, -4101, "cannot connect to the host") \
  X(ERR_CLIENT_CANCELLED, -4102, "the caller cancelled the transfer") \
  X(ERR_CLIENT_SIZE_MISMATCH, -4103, "the bytes moved differ from the remote file's size") \
  X(ERR_CLIENT_PROTOCOL, -4104, "the host's answer breaks the protocol") \
  X(ERR_CLIENT_TLS, -4105, "the TLS handshake failed") \
  X(ERR_CLIENT_CHECKSUM, -4106, "the SHA-256 of the copy differs from the remote file's") \
  X(ERR_CLIENT_NO_FILEOPS, -4107, "the host has no file-operations module")

#define ZEVO_CLIENT_CODE_CONSTANT_(iName, iValue, iMeaning) constexpr int iName = iValue;
ZEVO_CLIENT_CODES(ZEVO_CLIENT_CODE_CONSTANT_)
#undef ZEVO_CLIENT_CODE_CONSTANT_

// Where a failure comes from; a command-line tool maps it to its exit code.
enum class PErrorOrigin {
  kNone,
  kRemote,      // the service answered a negative status
  kHost,        // the host sent a transport error and closed the connection
  kConnection,  // cannot connect, connection lost, time-out, protocol broken
  kLocal,       // a local file or descriptor of a transfer
  kArgument,    // a bad argument (endpoint, option, path that is not UTF-8)
  kTransfer,    // a transfer's check failed, or it was cancelled
};

struct ZEVO_EXPORT PClientError {
  int fCode = 0;
  PErrorOrigin fOrigin = PErrorOrigin::kNone;
  std::string fText;  // what went wrong, for people ("permission denied by policy")
  std::string fWhat;  // the path, endpoint or request concerned (may be empty)

  // "remote: permission denied by policy (-511): /data/secret.txt"
  std::string message() const;
  // "ERR_ACCESS_DENIED"; "" for a code without a name.
  std::string name() const;
};

// The name and one-line meaning of a code of PErrors.h or of the client;
// null when the code is unknown. The meaning of ERR_ACCESS_DENIED reads
// "permission denied by policy" here.
ZEVO_EXPORT const char* clientCodeName(int iCode);
ZEVO_EXPORT const char* clientCodeMeaning(int iCode);

// The SHA-256 of a local file, as PClient::checksum gives a remote one's;
// 0, or a code with oError (origin kLocal).
ZEVO_EXPORT int localChecksum(const std::string& iPath, PDigest& oDigest, PClientError& oError);

struct PClientOptions {
  int fConnectTimeoutMs = 5000;
  int fReplyTimeoutMs = 30000;  // longest wait for any one reply
  int fWindow = 16;             // requests of a transfer in flight, 1 to kMaxWindow
  int fReadChunk = 8192;        // bytes asked per download request, 1 to kMaxReadChunk
  int fWriteChunk = 65536;      // bytes per upload request, 1 to kMaxWriteChunk
  // Bytes per ranged read or write of the file-operations module: 0 the
  // module's chunk (PSessionInfo::fChunk), else at most that.
  int fRangeChunk = 0;
  // Handles a batch keeps open at once, 1 to 1024: no more than the host's
  // transfer.max (16 by default) allows one connection.
  int fHandles = 16;
};

// What a tls: connection proves and checks, as PEM files: the CA
// certificates the host's certificate must be signed by (required), and
// this client's certificate and its key (both or neither; a host demands
// them). Read at every connect().
struct PClientTls {
  std::string fCaFile;
  std::string fCertFile;
  std::string fKeyFile;
};

// Who asks through a message broker (mqtt://BROKER[:PORT]/DEVICE and
// mqtts://..., docs/mqtt.md): the requester's name, which the host knows it
// by ("mqtt:NAME"; empty: the login, else this user's name), the login at
// the broker and its password (empty: none), and the topics' root (empty:
// "zevo"). An mqtts: broker's certificate is checked with the CA of
// setTls(), whose certificate and key this client shows the broker.
struct PClientMqtt {
  std::string fName;
  std::string fUsername;
  std::string fPassword;
  std::string fRoot;
};

// A host's presence at a broker (docs/mqtt.md): its device ID and the
// presence message, JSON ({"device":...,"state":"online",...}).
struct PDevicePresence {
  std::string fDevice;
  std::string fPresence;
};

// The presences a broker keeps ("mqtt://BROKER[:PORT]" or "mqtts://...",
// reached with iTls and iMqtt as a connection is), online and offline
// alike, once the broker has sent them all, within iTimeoutMs. 0, or a code
// with oError (as connect() fails).
ZEVO_EXPORT int listPresences(const std::string& iBroker, const PClientTls& iTls, const PClientMqtt& iMqtt, int iTimeoutMs,
                              std::vector<PDevicePresence>& oPresences, PClientError& oError);

class PMqttConnections;

// Connections to brokers that the mqtt: and mqtts: sessions of many clients
// share (setBrokerShare): the sessions with one broker and one login go
// over one connection, iSessionsEach at most, where each would otherwise
// dial, log in and (mqtts:) shake hands on its own. A shared connection has
// no will: a requester that vanishes leaves its sessions to the hosts'
// idle time-out (docs/mqtt.md). Thread-safe; the connections close when
// the share and the clients using them have gone.
class ZEVO_EXPORT PBrokerShare {
 public:
  explicit PBrokerShare(size_t iSessionsEach = 16);
  ~PBrokerShare();
  PBrokerShare(const PBrokerShare&) = delete;
  PBrokerShare& operator=(const PBrokerShare&) = delete;
  // The library's own (opaque); null when out of memory.
  PMqttConnections* connections() { return fConnections.get(); }

 private:
  std::unique_ptr<PMqttConnections> fConnections;
};

constexpr int kMaxWindow = 1024;
// The largest chunk the service reads for one request.
constexpr int kMaxReadChunk = static_cast<int>(kMaxChunkSize);
// Largest upload block whose request fits the host's default frame limit
// (1 MiB).
constexpr int kMaxWriteChunk = 1048528;

// Where a download's bytes go.
class ZEVO_EXPORT PSink {
 public:
  // Called with each block in order; a negative return ends the transfer
  // with that code (origin kLocal), and so does an exception.
  using Write = std::function<int(const unsigned char* iBytes, size_t iCount)>;

  // A local file, written beside it under a temporary name and renamed over
  // it once the download is complete and checked, so that a failure leaves
  // the old file as it was. An existing device or FIFO is written directly.
  static PSink file(const std::string& iPath);
  // An open descriptor (standard output, a pipe...), written as the bytes
  // arrive and left open.
  static PSink descriptor(int iFd);
  static PSink callback(Write iWrite);

 private:
  friend class PSinkWriter;
  enum class Kind { kFile, kDescriptor, kCallback } fKind = Kind::kCallback;
  std::string fPath;
  int fFd = -1;
  Write fWrite;
};

// Where an upload's bytes come from.
class ZEVO_EXPORT PSource {
 public:
  // Fills up to iCapacity bytes: the count, 0 at the end, or a negative code
  // (origin kLocal); an exception counts as ERR_FAILED.
  using Read = std::function<long(unsigned char* oBytes, size_t iCapacity)>;

  // A local file (its size is the transfer's known total).
  static PSource file(const std::string& iPath);
  // An open descriptor read to its end and left open.
  static PSource descriptor(int iFd);
  // iTotal: the bytes the source will give, -1 when unknown (progress only).
  static PSource callback(Read iRead, long long iTotal = -1);

 private:
  friend class PSourceReader;
  enum class Kind { kFile, kDescriptor, kCallback } fKind = Kind::kCallback;
  std::string fPath;
  int fFd = -1;
  Read fRead;
  long long fTotal = -1;
};

struct PTransferControl {
  // After every block: bytes done and the total (-1 when unknown). An
  // exception from either function cancels the transfer.
  std::function<void(long long iDone, long long iTotal)> fProgress;
  // Asked before every request and after every reply; false cancels: no
  // more requests are sent, the replies in flight are drained, the remote
  // transfer is closed, and the call answers ERR_CLIENT_CANCELLED.
  std::function<bool()> fContinue;
};

class ZEVO_EXPORT PClient {
 public:
  PClient();
  // Options out of range leave the defaults (lastError() says why).
  explicit PClient(const PClientOptions& iOptions);
  ~PClient();
  PClient(const PClient&) = delete;
  PClient& operator=(const PClient&) = delete;

  // ERR_INVALID_ARG (nothing changed) for a value out of range.
  int setOptions(const PClientOptions& iOptions);
  const PClientOptions& options() const;
  // The files of the next tls: connection (checked when it connects).
  void setTls(const PClientTls& iTls);
  const PClientTls& tls() const;
  // Who the next mqtt: or mqtts: connection asks as.
  void setMqtt(const PClientMqtt& iMqtt);
  const PClientMqtt& mqtt() const;
  // The connections the next mqtt: and mqtts: sessions go over; null (the
  // default): a connection of their own each.
  void setBrokerShare(std::shared_ptr<PBrokerShare> iShare);

  // "unix:PATH", "tcp:HOST:PORT", "tcp:[IPv6]:PORT" or "tls:HOST:PORT"
  // (TLS 1.3 with the files of setTls; the host's certificate must be
  // signed by its CA and name HOST, a DNS name or an IP address), or a host
  // behind a broker: "mqtt://BROKER[:PORT]/DEVICE", "mqtts://..." (setMqtt;
  // connected once the device's presence says it is online). Closes any
  // previous connection first.
  int connect(const std::string& iEndpoint);
  void close();
  bool isConnected() const;
  // The endpoint of the last connect().
  const std::string& endpoint() const;

  // The last failure of this client (fCode 0 after a success).
  const PClientError& lastError() const;

  // Paths are UTF-8 and absolute on the host (its working directory is /).
  int size(const std::string& iPath, long long& oSize);
  int exists(const std::string& iPath, bool& oExists);
  // True for a regular file, false for a directory; -504 when nothing is
  // there, -508 for anything else.
  int isFile(const std::string& iPath, bool& oIsFile);
  // Entry names in the host's order (unsorted), "." and ".." left out.
  int list(const std::string& iPath, std::vector<std::string>& oNames);
  // Creates missing parents too; 0 also when anything exists there already.
  int makeDir(const std::string& iPath);
  int deleteFile(const std::string& iPath);
  int deleteDir(const std::string& iPath);

  // A whole remote file into iSink. The remote size is taken first and the
  // bytes received must match it (ERR_CLIENT_SIZE_MISMATCH otherwise).
  // oBytes (may be null): the bytes delivered to the sink.
  int get(const std::string& iRemote, const PSink& iSink, const PTransferControl& iControl = {},
          long long* oBytes = nullptr);
  // iSource into a remote file, created or emptied first. The remote size
  // afterwards must equal the bytes sent. A failed upload leaves the bytes
  // written so far in the remote file.
  int put(const PSource& iSource, const std::string& iRemote, const PTransferControl& iControl = {},
          long long* oBytes = nullptr);

  // ---- file operations
  // Whether the host serves the file-operations module: asked once per
  // connection (SessionInfo). A host without it answers with a transport
  // error and ends the connection: the client then connects again, and
  // remembers the answer for later connections to the same endpoint.
  // False also when that reconnection fails (lastError() says why).
  bool hasFileOps();
  // ERR_CLIENT_NO_FILEOPS on a host without the module.
  int sessionInfo(PSessionInfo& oInfo);
  // What iPath names, its last component not followed (a link is kLink).
  // Without the module: kind and size only (-601 when nothing is there).
  int stat(const std::string& iPath, PRemoteStat& oStat);
  // The entries of a directory with their attributes, unsorted, paged
  // through as the host gives them.
  int listEntries(const std::string& iPath, std::vector<PRemoteEntry>& oEntries);
  // Everything below the directory iRoot, many directories in flight at
  // once; links and special files are listed, not followed.
  int listTree(const std::string& iRoot, std::vector<PTreeEntry>& oEntries);
  // The SHA-256 of a remote file, hashed by the host in bounded steps.
  int checksum(const std::string& iPath, PDigest& oDigest, const PTransferControl& iControl = {});
  // The same for many files, in flight together: one digest and one error
  // per path (fCode 0: its digest is there); the first failure's code.
  int checksums(const std::vector<std::string>& iPaths, std::vector<PDigest>& oDigests, std::vector<PClientError>& oErrors,
                const PTransferControl& iControl = {});
  // A remote file into iSink with ranged reads: holes of a sparse file are
  // not sent (a file sink keeps them as holes). Fallback: get().
  int download(const std::string& iRemote, const PSink& iSink, const PTransferOptions& iOptions,
               const PTransferControl& iControl = {}, PTransferResult* oResult = nullptr);
  // iSource into a remote file atomically: nothing shows at iRemote until
  // the whole file is flushed and renamed over it; a failure or a cut
  // leaves what was there. Holes of a sparse source file are not sent.
  // Fallback: put() (not atomic; iOptions' attributes, verification and
  // resuming are refused with ERR_CLIENT_NO_FILEOPS).
  int upload(const PSource& iSource, const std::string& iRemote, const PTransferOptions& iOptions,
             const PTransferControl& iControl = {}, PTransferResult* oResult = nullptr);
  // Many files, many in flight on this connection at once; uploads are
  // committed together (one flush per file system for a group). Every job
  // is tried; oErrors gets one entry per job (fCode 0: done). Answers 0,
  // the first job's failure, or what ended the connection.
  int uploadFiles(const std::vector<PFileJob>& iJobs, const PBatchControl& iControl, std::vector<PClientError>& oErrors);
  int downloadFiles(const std::vector<PFileJob>& iJobs, const PBatchControl& iControl, std::vector<PClientError>& oErrors);
  // MakeDir of each path, in flight together; every path is tried. A path
  // answered -603 (another peer made it meanwhile) is asked once more, so a
  // directory that exists by then counts as made.
  int makeDirs(const std::vector<std::string>& iPaths, std::vector<PClientError>& oErrors);
  int rename(const std::string& iFrom, const std::string& iTo, bool iReplace);
  // iMode 0 to 0777 or -1 (kept); iTimeNs or -1 (kept).
  int setAttributes(const std::string& iPath, int iMode, long long iTimeNs);
  // The same for many paths, in flight together and done in their order
  // (a directory's time after what changes inside it); every one is tried.
  int setAttributes(const std::vector<PAttributes>& iChanges, std::vector<PClientError>& oErrors);
  // Removes a file, or a directory with everything below it.
  int removeTree(const std::string& iPath);

  // The library's own implementation (opaque).
  class PImpl;

 private:
  std::unique_ptr<PImpl> fImpl;
};
