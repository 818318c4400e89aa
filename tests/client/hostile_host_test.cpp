// libzevoclient against a peer that answers the file-operations module's
// actions with replies of the wrong shape: each is a protocol error that
// closes the connection and leaves no local file, never a crash, a hang or
// bytes taken on trust.
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <thread>

#include "PPayload.h"
#include "PProcess.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/client/PClient.h"
#include "zevo/protocol/PFileOpsProtocol.h"
#include "zevo/protocol/PFrame.h"

namespace fs = std::filesystem;

namespace {

constexpr long long kSize = 20000;  // the one remote file, read by its ranges: larger than the chunk
constexpr int kChunk = 4096;
using Answer = std::function<Bytes(const Bytes& iRequest)>;
// The status of a request, by its module and action (0 when not given).
using Status = std::function<int(const std::string& iModule, uint32_t iAction)>;

// What a well-behaved host answers, with the elements after the status.
std::map<uint32_t, Answer> goodAnswers() {
  return {
      {kOpsSessionInfo, [](const Bytes&) -> Bytes {
         Bytes lists;
         for (int i = 0; i < 4; ++i) PDataWriter(lists).writeStrings({});
         Bytes payload = PPayload().i32(1).i32(kChunk + 64).i32(kChunk).str("uid:0").i32(2);
         payload.insert(payload.end(), lists.begin(), lists.end());
         return PPayload(payload).i32(60);
       }},
      {kOpsStat, [](const Bytes&) -> Bytes { return PPayload().i32(1).i64(kSize).i32(0644).i64(0).str(""); }},
      {kOpsOpenRead, [](const Bytes&) -> Bytes { return PPayload().i32(7).i64(kSize).i32(0644).i64(0); }},
      {kOpsDataRanges, [](const Bytes&) -> Bytes { return PPayload().flag(false).i32(1).i64(0).i64(kSize); }},
      {kOpsReadAt, [](const Bytes& iRequest) -> Bytes {
         PDataReader reader(iRequest);
         int handle = 0, length = 0;
         long long offset = 0;
         reader.readInt32(handle), reader.readInt64(offset), reader.readInt32(length);
         return PPayload().bytes(Bytes(static_cast<size_t>(length), 'x'));
       }},
      {kOpsOpenChecksum, [](const Bytes&) -> Bytes { return PPayload().i32(8).i64(kSize); }},
      {kOpsChecksumStep, [](const Bytes&) -> Bytes { return PPayload().flag(true).i64(kSize).bytes(Bytes(32, 1)); }},
      {kOpsOpenListing, [](const Bytes&) -> Bytes { return PPayload().i32(9); }},
      {kOpsReadListing, [](const Bytes&) -> Bytes { return PPayload().flag(false).i32(0); }},
  };
}

// A peer on a Unix socket serving one connection with iAnswers (status 0;
// an action it has no answer for gets no elements).
class PScriptedHost {
 public:
  PScriptedHost(const std::string& iPath, std::map<uint32_t, Answer> iAnswers, Status iStatus = nullptr)
      : fListen(streamSocket(iPath, true)),
        fStatus(std::move(iStatus)),
        fThread([this, answers = std::move(iAnswers)] { serve(answers); }) {}
  ~PScriptedHost() {
    ::shutdown(fListen.get(), SHUT_RDWR);
    fThread.join();
  }

 private:
  void serve(const std::map<uint32_t, Answer>& iAnswers) {
    const PFd peer(::accept4(fListen.get(), nullptr, nullptr, SOCK_CLOEXEC));
    Bytes in;
    unsigned char buffer[65536];
    for (ssize_t got; peer.valid() && (got = ::read(peer.get(), buffer, sizeof buffer)) > 0;) {
      in.insert(in.end(), buffer, buffer + got);
      PFrameView frame;
      size_t needed = 0;
      while (PFrame::parse(in.data(), in.size(), kDefaultFrameMax, frame, needed) == 0) {
        const auto answer = iAnswers.find(frame.fWord);
        const Bytes payload = answer == iAnswers.end() ? Bytes() : answer->second(Bytes(frame.fPayload, frame.fPayload + frame.fPayloadLength));
        const std::string module(frame.fModule, frame.fModuleLength);
        const int status = fStatus ? fStatus(module, frame.fWord) : 0;
        Bytes out;
        PFrame::append(out, FRAME_REPLY, frame.fExchange, static_cast<uint32_t>(status), module, payload.data(), payload.size());
        // The client may have closed already: no SIGPIPE.
        if (::send(peer.get(), out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) return;
        in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(frame.fSize));
      }
    }
  }

  PFd fListen;
  Status fStatus;
  std::thread fThread;
};

}  // namespace

TEST(HostileHost, RepliesOfTheWrongShapeAreProtocolErrorsThatLeaveNothingBehind) {
  PTempDir dir, sockets;
  using Call = std::function<int(PClient&)>;
  const Call download = [&](PClient& ioClient) { return ioClient.download("/f", PSink::file(dir / "got"), {}); };
  // A range past the size it opened with reads as a file that grew: the
  // download's own check, on a connection still sound.
  const std::tuple<const char*, uint32_t, Answer, Call, int> cases[] = {
      {"a size of the wrong type", kOpsStat, [](const Bytes&) -> Bytes { return PPayload().i32(1).i32(5).i32(0644).i64(0).str(""); },
       [](PClient& ioClient) {
         PRemoteStat stat;
         return ioClient.stat("/f", stat);
       }, ERR_CLIENT_PROTOCOL},
      {"an open whose last element has the wrong type", kOpsOpenRead, [](const Bytes&) -> Bytes { return PPayload().i32(7).i64(kSize).i32(0644).i32(0); },
       download, ERR_CLIENT_PROTOCOL},
      {"a range past the end", kOpsDataRanges, [](const Bytes&) -> Bytes { return PPayload().flag(false).i32(1).i64(0).i64(kSize + 1); }, download, ERR_CLIENT_SIZE_MISMATCH},
      {"more bytes than asked for", kOpsReadAt, [](const Bytes&) -> Bytes { return PPayload().bytes(Bytes(kChunk + 1, 'x')); }, download, ERR_CLIENT_PROTOCOL},
      {"a digest one byte short", kOpsChecksumStep, [](const Bytes&) -> Bytes { return PPayload().flag(true).i64(kSize).bytes(Bytes(31, 1)); },
       [](PClient& ioClient) {
         PDigest digest;
         return ioClient.checksum("/f", digest);
       }, ERR_CLIENT_PROTOCOL},
      // Names that would put local files outside the directory a tree is copied into.
      {"a listing entry that climbs out of its directory", kOpsReadListing,
       [](const Bytes&) -> Bytes { return PPayload().flag(false).i32(1).str("../x").i32(1).i64(1).i32(0644).i64(0); },
       [](PClient& ioClient) {
         std::vector<PTreeEntry> entries;
         return ioClient.listTree("/", entries);
       }, ERR_CLIENT_PROTOCOL},
      {"a listed name with a slash", kListDir,
       [](const Bytes&) -> Bytes {
         Bytes names;
         PDataWriter(names).writeStrings({PString(L"ok"), PString(L"a/b")});
         return names;
       },
       [](PClient& ioClient) {
         std::vector<std::string> names;
         return ioClient.list("/", names);
       }, ERR_CLIENT_PROTOCOL},
      {"a listing that counts more than it holds", kOpsReadListing, [](const Bytes&) -> Bytes { return PPayload().flag(false).i32(2); },
       [](PClient& ioClient) {
         std::vector<PRemoteEntry> entries;
         return ioClient.listEntries("/", entries);
       }, ERR_CLIENT_PROTOCOL},
  };
  for (const auto& [what, action, bad, call, code] : cases) {
    std::map<uint32_t, Answer> answers = goodAnswers();
    answers[action] = bad;
    const std::string socket = sockets / "host.sock";
    fs::remove(socket);
    PScriptedHost host(socket, answers);
    PClient client;
    ASSERT_EQ(0, client.connect("unix:" + socket)) << what;
    EXPECT_EQ(code, call(client)) << what << ": " << client.lastError().message();
    EXPECT_EQ(code != ERR_CLIENT_PROTOCOL, client.isConnected()) << what;
    EXPECT_TRUE(fs::is_empty(dir.path())) << what << ": nothing local is left";
  }
}

// A directory another peer makes between the host's look and its mkdir is
// answered -603; asked again, an existing directory is made. A path that
// stays -603 (a file stands there) is the failure.
TEST(HostileHost, ADirectoryMadeMeanwhileCountsAsMade) {
  PTempDir sockets;
  const std::string socket = sockets / "host.sock";
  // The MakeDir answers in turn: /a, /a/b, then /a asked again.
  for (const std::vector<int>& turns : {std::vector<int>{PERR_EXISTS, 0, 0}, std::vector<int>{PERR_EXISTS, 0, PERR_EXISTS}}) {
    const int last = turns.back();
    fs::remove(socket);
    size_t asked = 0;
    PScriptedHost host(socket, {}, [&](const std::string& iModule, uint32_t iAction) {
      return iModule == kFileAccessModule && iAction == kMakeDir && asked < turns.size() ? turns[asked++] : 0;
    });
    PClient client;
    ASSERT_EQ(0, client.connect("unix:" + socket));
    std::vector<PClientError> errors;
    EXPECT_EQ(last, client.makeDirs({"/a", "/a/b"}, errors));
    EXPECT_EQ(3u, asked);
    ASSERT_EQ(2u, errors.size());
    EXPECT_EQ(last, errors[0].fCode);
    EXPECT_EQ(0, errors[1].fCode);
    EXPECT_EQ(last, client.lastError().fCode);
  }
}
