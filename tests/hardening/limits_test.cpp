// Resource limits against a real zevohost: descriptors exhausted, a
// thousand transfers left open, connections without end, a peer that never
// reads its replies. After each the host serves again.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "PEmulation.h"
#include "PHostProcess.h"
#include "PPayload.h"
#include "zevo/PErrors.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZEVO_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZEVO_SANITIZED 1
#endif
#endif

namespace {

// Descriptors of a process; in oUsed their numbers.
int descriptorsOf(pid_t iPid, std::set<int>* oUsed = nullptr) {
  int count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(iPid) + "/fd", error)) {
    ++count;
    if (oUsed != nullptr) oUsed->insert(std::stoi(entry.path().filename().string()));
  }
  return count;
}

// The connection has ended: end of stream, or reset by the host.
bool ended(PWireClient& ioClient) {
  pollfd waiting{ioClient.fd(), POLLIN, 0};
  if (::poll(&waiting, 1, 10000) <= 0) return false;
  unsigned char byte;
  const ssize_t got = ::recv(ioClient.fd(), &byte, 1, MSG_DONTWAIT);
  return got == 0 || (got < 0 && errno == ECONNRESET);
}

class Limits : public ::testing::Test {
 protected:
  void SetUp() override { ZEVO_SKIP_UNDER_EMULATION("the limits and memory measured would be the emulator's"); }
  void TearDown() override {
    if (host.pid() > 0) {
      EXPECT_EQ(0, host.stop()) << host.output();
    }
  }
  void start(const std::string& iHostLines = "", const std::vector<std::string>& iArgs = {}) {
    host.useDefaultConfig(iHostLines);
    // Info level: a thousand transfers closed at debug level would flood the log.
    host.setConfig("zevohost", "plugins = " ZEVO_FILEACCESS_PLUGIN "\nlisten = unix:" + (host.fDir / "host.sock") +
                                   "\nlog.level = info\n" + iHostLines);
    ASSERT_TRUE(host.start(iArgs)) << host.output();
  }
  std::string data(const std::string& iName) const { return host.data() + "/" + iName; }
  // A transfer's status and ID.
  std::pair<int, int> open(PWireClient& ioClient, const std::string& iName, int iMode) {
    PWireFrame reply = ioClient.call(1001, PPayload().str(data(iName)).i32(iMode).data());
    return {reply.fWord, payloadInt32(reply.fPayload)};
  }
  // Whether a new peer is served (a reply, not a transport error).
  bool newPeerServed() {
    PWireClient peer;
    if (!peer.connect(host.endpoint()) || !peer.sendRequest(1, 2002, PPayload().str(data("")).data())) return false;
    PWireFrame reply;
    return peer.receive(reply) && reply.fKind == FRAME_REPLY && reply.fWord == 0;
  }
  void setDescriptorLimit(rlim_t iSoft) {
    struct rlimit limit;
    ASSERT_EQ(0, prlimit(host.pid(), RLIMIT_NOFILE, nullptr, &limit));
    limit.rlim_cur = std::min(iSoft, limit.rlim_max);
    ASSERT_EQ(0, prlimit(host.pid(), RLIMIT_NOFILE, &limit, nullptr));
  }
  // A limit that leaves six numbers free (inherited descriptors may sit far
  // above the others); the numbers in use before.
  std::set<int> leaveSixFree() {
    std::set<int> used;
    descriptorsOf(host.pid(), &used);
    int limit = 0;
    for (int free = 0; free < 6; ++limit) free += used.count(limit) == 0 ? 1 : 0;
    setDescriptorLimit(static_cast<rlim_t>(limit));
    return used;
  }

  long slowPeersGrowth(bool iListings);

  PHostProcess host;
};

}  // namespace

TEST_F(Limits, WithoutDescriptorsNewPeersAndFilesAreRefusedAndServiceResumes) {
  start();
  writeFile(data("f"), patternBytes(50000));
  PWireClient client;
  ASSERT_TRUE(client.connect(host.endpoint()));
  EXPECT_EQ(0, client.call(2002, PPayload().str(data("f")).data()).fWord);
  struct rlimit original;
  ASSERT_EQ(0, prlimit(host.pid(), RLIMIT_NOFILE, nullptr, &original));
  leaveSixFree();

  std::vector<int> ids;
  std::pair<int, int> refused{0, -1};
  for (int i = 0; i < 50 && refused.first == 0; ++i) {
    const std::pair<int, int> opened = open(client, "f", 1);
    if (opened.first == 0) ids.push_back(opened.second);
    refused = opened;
  }
  EXPECT_EQ(PERR_TOO_MANY_FILES, refused.first);
  EXPECT_EQ(0, refused.second) << "no transfer without a descriptor";
  ASSERT_GE(ids.size(), 2u);

  // New peers, one at a time and silent, take what is left; the first that
  // finds nothing left is told so and closed, not left waiting.
  std::vector<std::unique_ptr<PWireClient>> late;
  bool refusedPeer = false;
  for (int i = 0; i < 8 && !refusedPeer; ++i) {
    late.push_back(std::make_unique<PWireClient>());
    ASSERT_TRUE(late.back()->connect(host.endpoint()));
    PWireFrame error;
    refusedPeer = late.back()->receive(error, std::chrono::milliseconds(300));  // a served peer hears nothing
    if (refusedPeer) {
      EXPECT_EQ(FRAME_ERROR, error.fKind);
      EXPECT_EQ(ERR_COMMS_BUSY, error.fWord);
      EXPECT_TRUE(ended(*late.back()));
    }
  }
  EXPECT_TRUE(refusedPeer);
  EXPECT_TRUE(host.waitForOutput("no descriptors left")) << host.output();
  // The peer already served still is, on what it holds.
  PWireFrame chunk = client.call(1002, PPayload().i32(ids[0]).i32(8192).data());
  EXPECT_EQ(0, chunk.fWord);
  const std::vector<unsigned char> content = patternBytes(50000);
  EXPECT_EQ(std::vector<unsigned char>(content.begin(), content.begin() + 8192), payloadBytes(chunk.fPayload));

  // Pressure ends: transfers closed, files and peers are served again.
  for (int id : ids) EXPECT_EQ(0, client.call(1004, PPayload().i32(id).data()).fWord);
  EXPECT_EQ(0, open(client, "f", 1).first);
  EXPECT_TRUE(newPeerServed());
  ASSERT_EQ(0, prlimit(host.pid(), RLIMIT_NOFILE, &original, nullptr));
}

TEST_F(Limits, PeersArrivingAsDescriptorsRunOutAreAlwaysServedOrRefused) {
  start();
  writeFile(data("f"), patternBytes(100));
  PWireClient client;
  ASSERT_TRUE(client.connect(host.endpoint()));
  const std::set<int> used = leaveSixFree();
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    std::vector<int> ids;
    for (std::pair<int, int> opened{0, 0}; opened.first == 0;) {
      opened = open(client, "f", 1);
      if (opened.first == 0) ids.push_back(opened.second);
    }
    std::vector<std::unique_ptr<PWireClient>> late;
    for (int i = 0; i < 4; ++i) {
      late.push_back(std::make_unique<PWireClient>());
      ASSERT_TRUE(late.back()->connect(host.endpoint()));
      late.back()->sendRequest(1, 2002, PPayload().str(data("f")).data());  // as real clients do
    }
    for (auto& peer : late) {
      PWireFrame answer;
      ASSERT_TRUE(peer->receive(answer, std::chrono::milliseconds(2000))) << "neither served nor refused";
    }
    late.clear();
    for (int id : ids) client.call(1004, PPayload().i32(id).data());
    ASSERT_TRUE(eventually([&] { return descriptorsOf(host.pid()) <= static_cast<int>(used.size()) + 1; }));
  }
}

TEST_F(Limits, AThousandTransfersLeftOpenAreClosedWithTheirConnection) {
  start();
  setDescriptorLimit(4096);
  writeFile(data("many"), patternBytes(1000));
  const int baseline = descriptorsOf(host.pid());
  {
    PWireClient client;
    ASSERT_TRUE(client.connect(host.endpoint()));
    for (uint32_t i = 0; i < 1000; ++i) {
      const std::string name = i % 2 == 0 ? "many" : "up" + std::to_string(i % 10);
      ASSERT_TRUE(client.sendRequest(i, 1001, PPayload().str(data(name)).i32(i % 2 == 0 ? 1 : 2).data()));
    }
    for (uint32_t i = 0; i < 1000; ++i) {
      PWireFrame reply;
      ASSERT_TRUE(client.receive(reply));
      ASSERT_EQ(0, reply.fWord) << "transfer " << i;
    }
    EXPECT_EQ(500, host.descriptorsOn(data("many")));
    EXPECT_EQ(baseline + 1001, descriptorsOf(host.pid())) << "one per transfer, one for the connection";
  }
  EXPECT_TRUE(eventually([&] { return descriptorsOf(host.pid()) == baseline; }))
      << descriptorsOf(host.pid()) << " descriptors, " << baseline << " before";
  EXPECT_EQ(0, host.descriptorsOn(data("many")));
  EXPECT_TRUE(newPeerServed());
}

TEST_F(Limits, ConnectionsWithoutEndAreRefusedWhileOthersAreServed) {
  start("connection.max = 8\n");
  const int baseline = descriptorsOf(host.pid());
  std::vector<std::unique_ptr<PWireClient>> held;
  for (int i = 0; i < 8; ++i) {
    held.push_back(std::make_unique<PWireClient>());
    ASSERT_TRUE(held.back()->connect(host.endpoint()));
    EXPECT_EQ(0, held.back()->call(2002, PPayload().str(data("")).data()).fWord);
  }
  int refusedCount = 0;
  for (int i = 0; i < 300; ++i) {
    PWireClient extra;
    ASSERT_TRUE(extra.connect(host.endpoint()));
    PWireFrame error;
    if (extra.receive(error) && error.fKind == FRAME_ERROR && error.fWord == ERR_COMMS_BUSY && extra.closedByPeer()) {
      ++refusedCount;
    }
    if (i % 50 == 0) {
      EXPECT_EQ(0, held[i % 8]->call(2002, PPayload().str(data("")).data()).fWord);
    }
  }
  EXPECT_EQ(300, refusedCount);
  // A flood that does not even wait for its refusals.
  std::vector<std::unique_ptr<PWireClient>> flood;
  for (int i = 0; i < 200; ++i) {
    flood.push_back(std::make_unique<PWireClient>());
    ASSERT_TRUE(flood.back()->connect(host.endpoint()));
  }
  EXPECT_EQ(0, held[3]->call(2002, PPayload().str(data("")).data()).fWord);
  for (auto& extra : flood) {
    PWireFrame error;
    EXPECT_TRUE(extra->receive(error));
    EXPECT_EQ(ERR_COMMS_BUSY, error.fWord);
    EXPECT_TRUE(extra->closedByPeer());
  }
  flood.clear();
  EXPECT_TRUE(eventually([&] { return descriptorsOf(host.pid()) == baseline + 8; }));
  held.clear();
  EXPECT_TRUE(eventually([&] { return descriptorsOf(host.pid()) == baseline; }));
  EXPECT_TRUE(newPeerServed());
}

// Peers that never read their replies: one pipelines chunk requests (each
// a 52-byte request for an 8 KiB reply), one pipelines uploads. Answers the
// host's largest growth of resident memory meanwhile, in KiB.
long Limits::slowPeersGrowth(bool iListings) {
  const std::vector<unsigned char> content = patternBytes(16 << 20, 77);
  writeFile(data("big"), content);
  std::filesystem::create_directories(data("many"));
  for (int i = 0; i < 1000; ++i) writeFile(data("many/" + std::string(200, 'n') + std::to_string(i)), {});
  PWireClient other;
  EXPECT_TRUE(other.connect(host.endpoint()));
  // Warm up: every worker has served and the buffers exist.
  for (int round = 0; round < 4; ++round) {
    const int id = open(other, "big", 1).second;
    for (int i = 0; i < 64; ++i) other.call(1002, PPayload().i32(id).i32(8192).data());
    other.call(1004, PPayload().i32(id).data());
  }
  const long baseline = host.residentKiB();

  PWireClient slow;
  EXPECT_TRUE(slow.connect(host.endpoint()));
  const int id = open(slow, "big", 1).second;
  ::fcntl(slow.fd(), F_SETFL, O_NONBLOCK);
  std::vector<unsigned char> frames;
  const std::vector<unsigned char> request =
      iListings ? PPayload().str(data("many")).data() : PPayload().i32(id).i32(8192).data();
  for (uint32_t i = 0; i < 1000; ++i) {
    PFrame::append(frames, FRAME_REQUEST, i, iListings ? 2004 : 1002, "com.quorbex.zevo.fileaccess", request.data(),
                   request.size());
  }
  size_t sent = 0, offset = 0;
  long peak = baseline;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < until) {
    const ssize_t put = ::send(slow.fd(), frames.data() + offset, frames.size() - offset, MSG_NOSIGNAL);
    if (put > 0) {
      sent += static_cast<size_t>(put);
      offset = (offset + static_cast<size_t>(put)) % frames.size();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    peak = std::max(peak, host.residentKiB());
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(0, other.call(2002, PPayload().str(data("big")).data()).fWord);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2)) << "others are served meanwhile";
  }
  EXPECT_LT(sent, 2u << 20) << "the slow peer was slowed, not read without end";

  // Uploads never acknowledged: the receive side.
  PWireClient pusher;
  EXPECT_TRUE(pusher.connect(host.endpoint()));
  const int up = open(pusher, "pushed", 2).second;
  ::fcntl(pusher.fd(), F_SETFL, O_NONBLOCK);
  std::vector<unsigned char> block;
  const std::vector<unsigned char> payload = PPayload().i32(up).bytes(std::vector<unsigned char>(60000, 0x5A)).data();
  PFrame::append(block, FRAME_REQUEST, 1, 1003, "com.quorbex.zevo.fileaccess", payload.data(), payload.size());
  size_t pushed = 0;
  offset = 0;
  const auto pushUntil = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < pushUntil && pushed < (32u << 20)) {
    const ssize_t put = ::send(pusher.fd(), block.data() + offset, block.size() - offset, MSG_NOSIGNAL);
    if (put > 0) {
      pushed += static_cast<size_t>(put);
      offset = (offset + static_cast<size_t>(put)) % block.size();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    peak = std::max(peak, host.residentKiB());
  }
  // They go; their transfers are closed and the host serves on.
  slow.close();
  pusher.close();
  EXPECT_TRUE(
      eventually([&] { return host.descriptorsOn(data("big")) == 0 && host.descriptorsOn(data("pushed")) == 0; }));
  EXPECT_TRUE(newPeerServed());
  EXPECT_EQ(0, other.call(2002, PPayload().str(data("big")).data()).fWord);
  return peak - baseline;
}

TEST_F(Limits, APeerThatNeverReadsHoldsNoMoreThanTheReadAheadAndAFewMiB) {
  start();
  const long chunks = slowPeersGrowth(false);
  const long listings = slowPeersGrowth(true);
#ifndef ZEVO_SANITIZED
  EXPECT_LT(chunks, 4096) << "KiB above the baseline, chunk requests";
  EXPECT_LT(listings, 4096) << "KiB above the baseline, listings";
#else
  // A sanitizer's allocator holds freed blocks in quarantine (each listing
  // frees about a MiB), so resident memory measures it, not the host.
  (void)chunks;
  (void)listings;
#endif
}
