// The stress run (scripts/stress): many clients against one zevohost for a
// bounded time, mixed actions, transfers opened and closed at random, some
// connections dropped mid-transfer or cut by a malformed frame. At the end
// every moved file is compared byte for byte with its source, the host still
// answers and it exits 0 on SIGTERM.
//
// ZEVO_STRESS_SECONDS (default 20), ZEVO_STRESS_CLIENTS (default 8) and
// ZEVO_STRESS_SEED (default 1) set the run. Not run by ctest.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "PHostProcess.h"
#include "PPayload.h"
#include "zevo/PErrors.h"
#include "zevo/PStdMutex.h"

namespace {

int setting(const char* iName, int iDefault) {
  const char* value = std::getenv(iName);
  return value != nullptr && *value != '\0' ? std::atoi(value) : iDefault;
}

struct PCounts {
  std::atomic<long> fRequests{0}, fDownloads{0}, fUploads{0}, fDropped{0}, fCut{0}, fLeftOpen{0}, fQueries{0};
};

// What an uploaded file must hold at the end.
struct PExpected {
  int fSource = -1;
  size_t fAtLeast = 0;  // a dropped upload: a prefix of the source, at least this long
  bool fWhole = false;  // a closed upload: exactly the source
};

class PStress {
 public:
  PStress() : fSeconds(setting("ZEVO_STRESS_SECONDS", 20)), fClients(setting("ZEVO_STRESS_CLIENTS", 8)) {}

  void prepare() {
    std::mt19937 random(static_cast<unsigned int>(setting("ZEVO_STRESS_SEED", 1)));
    std::filesystem::create_directories(fHost.data() + "/src");
    std::filesystem::create_directories(fHost.data() + "/up");
    const size_t sizes[] = {0, 1, 8191, 8192, 8193, 1 << 20};
    for (int i = 0; i < 24; ++i) {
      const size_t size = i < 6 ? sizes[i] : random() % 200000;
      fSources.push_back(patternBytes(size, 1000 + static_cast<unsigned int>(i)));
      writeFile(source(i), fSources.back());
    }
    fHost.useDefaultConfig();
    fHost.setConfig("zevohost", "plugins = " ZEVO_FILEACCESS_PLUGIN "\nlisten = unix:" + (fHost.fDir / "host.sock") +
                                    "\nlog.level = warning\nconnection.max = 64\n");
  }

  std::string source(int iIndex) const { return fHost.data() + "/src/s" + std::to_string(iIndex); }
  std::map<std::string, PExpected> uploaded() {
    PStdMutexLock lock(fLock);
    return fUploaded;
  }

  void client(int iIndex);
  void verify();

  const int fSeconds;
  const int fClients;
  PHostProcess fHost;
  std::vector<std::vector<unsigned char>> fSources;
  PCounts fCounts;
  PStdMutex fLock;
  std::map<std::string, PExpected> fUploaded ZEVO_GUARDED_BY(fLock);
  std::chrono::steady_clock::time_point fEnd;
};

// One client's connection, remade when it is dropped.
class PPeer {
 public:
  PPeer(PStress& iStress, std::mt19937& iRandom) : fStress(iStress), fRandom(iRandom) { reconnect(); }

  void reconnect() {
    fOpen.clear();
    fWire = std::make_unique<PWireClient>();
    ASSERT_TRUE(fWire->connect(fStress.fHost.endpoint()));
  }
  PWireFrame call(uint32_t iAction, const std::vector<unsigned char>& iPayload) {
    ++fStress.fCounts.fRequests;
    return fWire->call(iAction, iPayload);
  }
  int open(const std::string& iPath, int iMode) {
    const PWireFrame reply = call(1001, PPayload().str(iPath).i32(iMode).data());
    EXPECT_EQ(0, reply.fWord) << iPath;
    return reply.fWord == 0 ? payloadInt32(reply.fPayload) : 0;
  }
  size_t pick(size_t iCount) { return fRandom() % iCount; }

  // A whole source, chunk after chunk or all chunks at once.
  void download(bool iDrop) {
    const int index = static_cast<int>(pick(fStress.fSources.size()));
    const std::vector<unsigned char>& content = fStress.fSources[index];
    const int id = open(fStress.source(index), 1);
    const int chunk = 1 + static_cast<int>(pick(8192));
    const size_t requests = (content.size() + chunk - 1) / chunk + 1;  // the last one finds the end
    const bool pipelined = requests < 256 && pick(2) == 0;
    const size_t stopAt = iDrop ? pick(requests) : requests;
    std::vector<unsigned char> got;
    uint32_t exchange = 100000;
    if (pipelined) {
      for (size_t i = 0; i < stopAt; ++i)
        ASSERT_TRUE(fWire->sendRequest(exchange + i, 1002, PPayload().i32(id).i32(chunk).data()));
    }
    for (size_t i = 0; i < stopAt; ++i) {
      PWireFrame reply;
      if (pipelined) {
        ASSERT_TRUE(fWire->receive(reply));
        EXPECT_EQ(exchange + i, reply.fExchange);
        ++fStress.fCounts.fRequests;
      } else {
        reply = call(1002, PPayload().i32(id).i32(chunk).data());
      }
      const std::vector<unsigned char> bytes = payloadBytes(reply.fPayload);
      if (i + 1 < requests) {
        ASSERT_EQ(0, reply.fWord);
        got.insert(got.end(), bytes.begin(), bytes.end());
      } else {
        EXPECT_EQ(ERR_END_OF_FILE, reply.fWord);
        EXPECT_TRUE(bytes.empty());
      }
    }
    EXPECT_EQ(std::vector<unsigned char>(content.begin(), content.begin() + static_cast<long>(got.size())), got);
    if (iDrop) {
      ++fStress.fCounts.fDropped;
      reconnect();  // the host closes the transfer
      return;
    }
    EXPECT_EQ(content.size(), got.size());
    EXPECT_EQ(0, call(1004, PPayload().i32(id).data()).fWord);
    ++fStress.fCounts.fDownloads;
  }

  // A source into data/up/, whole or dropped part way.
  void upload(int iClient, bool iDrop) {
    const int index = static_cast<int>(pick(fStress.fSources.size()));
    const std::vector<unsigned char>& content = fStress.fSources[index];
    const std::string name = (iDrop ? "p" : "c") + std::to_string(iClient) + "-" + std::to_string(pick(iDrop ? 3 : 6));
    const std::string path = fStress.fHost.data() + "/up/" + name;
    // A dropped upload may still be closing in the host: its file is reused
    // only once nothing holds it.
    for (int wait = 0; wait < 1000 && fStress.fHost.descriptorsOn(path) > 0; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(0, fStress.fHost.descriptorsOn(path)) << path << " still held";
    const int id = open(path, 2);
    std::vector<size_t> cuts;
    for (size_t at = 0; at < content.size();) {
      cuts.push_back(at);
      at += 1 + pick(65536);
    }
    cuts.push_back(content.size());
    const size_t blocks = cuts.size() - 1;
    const size_t stopAt = iDrop ? pick(blocks + 1) : blocks;
    const bool pipelined = pick(2) == 0;
    auto block = [&](size_t i) {
      return std::vector<unsigned char>(content.begin() + static_cast<long>(cuts[i]),
                                        content.begin() + static_cast<long>(cuts[i + 1]));
    };
    if (pipelined) {
      for (size_t i = 0; i < stopAt; ++i)
        ASSERT_TRUE(fWire->sendRequest(static_cast<uint32_t>(i), 1003, PPayload().i32(id).bytes(block(i)).data()));
      for (size_t i = 0; i < stopAt; ++i) {
        PWireFrame reply;
        ASSERT_TRUE(fWire->receive(reply));
        ASSERT_EQ(0, reply.fWord);
        ++fStress.fCounts.fRequests;
      }
    } else {
      for (size_t i = 0; i < stopAt; ++i) ASSERT_EQ(0, call(1003, PPayload().i32(id).bytes(block(i)).data()).fWord);
    }
    PExpected expected;
    expected.fSource = index;
    if (iDrop) {
      // Unacknowledged blocks may follow the acknowledged ones.
      if (stopAt < blocks && pick(2) == 0) fWire->sendRequest(7, 1003, PPayload().i32(id).bytes(block(stopAt)).data());
      expected.fAtLeast = cuts[stopAt];
      ++fStress.fCounts.fDropped;
      reconnect();
    } else {
      ASSERT_EQ(0, call(1004, PPayload().i32(id).data()).fWord);
      expected.fWhole = true;
      ++fStress.fCounts.fUploads;
    }
    PStdMutexLock lock(fStress.fLock);
    fStress.fUploaded[path] = expected;
  }

  void queries(int iClient) {
    const int index = static_cast<int>(pick(fStress.fSources.size()));
    const std::string path = fStress.source(index);
    PWireFrame reply = call(2001, PPayload().str(path).data());
    EXPECT_EQ(0, reply.fWord);
    EXPECT_EQ(static_cast<long long>(fStress.fSources[index].size()), payloadInt64(reply.fPayload));
    EXPECT_TRUE(payloadBool(call(2002, PPayload().str(path).data()).fPayload));
    EXPECT_TRUE(payloadBool(call(2003, PPayload().str(path).data()).fPayload));
    EXPECT_FALSE(payloadBool(call(2002, PPayload().str(path + "-missing").data()).fPayload));
    EXPECT_EQ(fStress.fSources.size(),
              payloadStrings(call(2004, PPayload().str(fStress.fHost.data() + "/src").data()).fPayload).size());
    const std::string dir = fStress.fHost.data() + "/t" + std::to_string(iClient);
    EXPECT_EQ(0, call(2005, PPayload().str(dir + "/a/b").data()).fWord);
    EXPECT_EQ(PERR_NOT_EMPTY, call(2007, PPayload().str(dir + "/a").data()).fWord);
    EXPECT_EQ(0, call(2007, PPayload().str(dir + "/a/b").data()).fWord);
    EXPECT_EQ(0, call(2007, PPayload().str(dir + "/a").data()).fWord);
    ++fStress.fCounts.fQueries;
  }

  PStress& fStress;
  std::mt19937& fRandom;
  std::unique_ptr<PWireClient> fWire;
  std::vector<int> fOpen;  // transfers left open on this connection
};

void PStress::client(int iIndex) {
  std::mt19937 random(static_cast<unsigned int>(setting("ZEVO_STRESS_SEED", 1) * 1000 + iIndex));
  PPeer peer(*this, random);
  while (std::chrono::steady_clock::now() < fEnd && !::testing::Test::HasFatalFailure()) {
    const size_t choice = peer.pick(100);
    if (choice < 22) {
      peer.download(false);
    } else if (choice < 44) {
      peer.upload(iIndex, false);
    } else if (choice < 50) {
      peer.upload(iIndex, true);
    } else if (choice < 55) {
      peer.download(true);
    } else if (choice < 72) {
      peer.queries(iIndex);
    } else if (choice < 84) {
      // Left open, for a later close or for the host to close.
      const int index = static_cast<int>(peer.pick(fSources.size()));
      const int id = peer.open(source(index), peer.pick(2) == 0 ? 1 : 3);  // 3 reads too
      if (id != 0) peer.fOpen.push_back(id);
      ++fCounts.fLeftOpen;
    } else if (choice < 95) {
      if (!peer.fOpen.empty()) {
        const size_t at = peer.pick(peer.fOpen.size());
        EXPECT_EQ(0, peer.call(1004, PPayload().i32(peer.fOpen[at]).data()).fWord);
        peer.fOpen.erase(peer.fOpen.begin() + static_cast<long>(at));
      }
    } else if (choice < 98) {
      // A malformed frame: a transport error, then the host ends the connection.
      ASSERT_TRUE(peer.fWire->sendRaw({10, 0, 0, 0, 1, 3, 0, 0, 0, 0, 0, 0, 0, 0}));
      PWireFrame error;
      ASSERT_TRUE(peer.fWire->receive(error));
      EXPECT_EQ(FRAME_ERROR, error.fKind);
      EXPECT_EQ(ERR_COMMS_FRAME, error.fWord);
      EXPECT_TRUE(peer.fWire->closedByPeer());
      ++fCounts.fCut;
      peer.reconnect();
    } else {
      peer.reconnect();  // gone with whatever it left open
      ++fCounts.fDropped;
    }
  }
}

void PStress::verify() {
  for (const auto& [path, expected] : uploaded()) {
    SCOPED_TRACE(path);
    const std::vector<unsigned char> content = readFile(path);
    const std::vector<unsigned char>& source = fSources[expected.fSource];
    if (expected.fWhole) {
      EXPECT_TRUE(content == source) << content.size() << " bytes, the source has " << source.size();
    } else {
      EXPECT_GE(content.size(), expected.fAtLeast) << "acknowledged bytes lost";
      EXPECT_LE(content.size(), source.size());
      EXPECT_TRUE(std::equal(content.begin(), content.end(), source.begin())) << "not a prefix of its source";
    }
  }
}

}  // namespace

TEST(Stress, ManyClientsMixedActionsForABoundedTime) {
  PStress stress;
  stress.prepare();
  ASSERT_TRUE(stress.fHost.start({"--workers", "4"})) << stress.fHost.output();
  stress.fEnd = std::chrono::steady_clock::now() + std::chrono::seconds(stress.fSeconds);
  std::atomic<bool> running{true};
  // Throughout, a separate peer is answered within seconds.
  std::thread watcher([&] {
    PWireClient watch;
    ASSERT_TRUE(watch.connect(stress.fHost.endpoint()));
    while (running) {
      const auto asked = std::chrono::steady_clock::now();
      EXPECT_EQ(0, watch.call(2002, PPayload().str(stress.fHost.data() + "/src").data()).fWord);
      EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(10)) << "the host stalled";
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  std::vector<std::thread> clients;
  for (int i = 0; i < stress.fClients; ++i) clients.emplace_back([&stress, i] { stress.client(i); });
  for (std::thread& client : clients) client.join();
  running = false;
  watcher.join();
  const std::map<std::string, PExpected> uploaded = stress.uploaded();

  // Every transfer is closed once its connection is gone.
  bool released = false;
  for (int i = 0; i < 3000 && !released; ++i) {
    released = true;
    for (size_t s = 0; s < stress.fSources.size() && released; ++s) {
      released = stress.fHost.descriptorsOn(stress.source(static_cast<int>(s))) == 0;
    }
    for (const auto& entry : uploaded) released = released && stress.fHost.descriptorsOn(entry.first) == 0;
    if (!released) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(released) << "a transfer outlived its connection";
  stress.verify();
  PWireClient last;
  ASSERT_TRUE(last.connect(stress.fHost.endpoint()));
  EXPECT_EQ(0, last.call(2001, PPayload().str(stress.source(5)).data()).fWord) << "the host still answers";
  last.close();
  EXPECT_EQ(0, stress.fHost.stop()) << stress.fHost.output();
  const PCounts& counts = stress.fCounts;
  std::printf(
      "stress: %d s, %d clients: %ld requests, %ld downloads, %ld uploads, %ld dropped mid-way or with "
      "transfers open, %ld cut by a bad frame, %ld transfers left open, %ld query rounds, %zu files checked\n",
      stress.fSeconds, stress.fClients, counts.fRequests.load(), counts.fDownloads.load(), counts.fUploads.load(),
      counts.fDropped.load(), counts.fCut.load(), counts.fLeftOpen.load(), counts.fQueries.load(),
      uploaded.size());
}
