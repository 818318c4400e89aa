// The host's watchers of the file-access module over a real session layer:
// transfers kept to the session that opened them, their limits (per session,
// the descriptor budget), transfers of an ended or idle session closed; and
// the roles by identity.
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>

#include "PCommsHarness.h"
#include "PDescriptorBudget.h"
#include "PPayload.h"
#include "PRoleMap.h"
#include "PHandleOwnership.h"
#include "zevo/protocol/PFileAccessProtocol.h"

namespace {

class Watchers : public PCommsTest {
 protected:
  // With PHandleOwnership (iTransfers per session, 0: no limit) counting
  // descriptors against fBudget.
  void startWatched(PCommsSettings iSettings = {}, bool iIsolate = true, int iTransfers = 0) {
    start(iSettings, [&](PComms& iComms) {
      PComms* comms = &iComms;
      fBudget = std::make_shared<PDescriptorBudget>(kReserve, 0, [comms] { return comms->connectionCount(); });
      iComms.watch(PLiteral(kFileAccessModuleW), std::make_shared<PHandleOwnership>(kFileAccessTraits, iIsolate, iTransfers, fBudget));
    });
    fBudget->measure();
  }

  static constexpr long kReserve = 32;
  std::shared_ptr<PDescriptorBudget> fBudget;
};

// The process's descriptor limit for one scope.
class PLimitScope {
 public:
  explicit PLimitScope(long iLimit) {
    ::getrlimit(RLIMIT_NOFILE, &fSaved);
    rlimit low = fSaved;
    low.rlim_cur = static_cast<rlim_t>(iLimit);
    EXPECT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &low));
  }
  ~PLimitScope() { ::setrlimit(RLIMIT_NOFILE, &fSaved); }

 private:
  rlimit fSaved{};
};

}  // namespace

TEST_F(Watchers, ATransferServesOnlyItsSessionAndIsClosedWhenTheSessionEnds) {
  startWatched();
  PWireClient other(at("unix"));
  {
    PWireClient peer(at("unix"));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, peer.call(kStartFileTransfer, {}).fWord);
    // Another session's requests for 100 reach the module with no transfer
    // (0, which it never hands out): it answers them as for any unknown ID.
    EXPECT_EQ(static_cast<const Bytes&>(PPayload().i32(0).i32(10)), other.call(kGetNextFileData, PPayload().i32(100).i32(10)).fPayload);
    EXPECT_EQ(static_cast<const Bytes&>(PPayload().i32(0).bytes({'x'})),
              other.call(kSetNextFileData, PPayload().i32(100).bytes({'x'})).fPayload);
    EXPECT_EQ(0, other.call(kCloseFileTransfer, PPayload().i32(100)).fWord);
    EXPECT_EQ(std::set<int>{0}, fModule.closed()) << "nothing for 100 reached the module";
    EXPECT_EQ(static_cast<const Bytes&>(PPayload().i32(100).i32(10)), peer.call(kGetNextFileData, PPayload().i32(100).i32(10)).fPayload);
    peer.call(kCloseFileTransfer, PPayload().i32(101));
  }
  EXPECT_TRUE(eventually([&] { return fModule.closed().size() == 4; }));
  EXPECT_EQ((std::set<int>{0, 100, 101, 102}), fModule.closed()) << "101 by the peer, 100 and 102 for it";
}

TEST_F(Watchers, WithoutIsolationEverySessionReachesEveryTransfer) {
  startWatched({}, false);
  PWireClient peer(at("unix")), other(at("unix"));
  EXPECT_EQ(0, peer.call(kStartFileTransfer, {}).fWord);
  EXPECT_EQ(static_cast<int>(kGetNextFileData), other.call(kGetNextFileData, PPayload().i32(100).i32(10)).fWord);
  EXPECT_EQ(0, other.call(kCloseFileTransfer, PPayload().i32(100)).fWord);
  EXPECT_EQ(std::set<int>{100}, fModule.closed());
}

TEST_F(Watchers, TransfersStopAtTheirCapAndOutsideTheDescriptorReserveAndQueriesNeverAnswerWrong) {
  startWatched({}, true, 3);
  PWireClient hog(at("unix")), other(at("unix"));
  const Bytes open = PPayload().str("/f").i32(1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(0, hog.call(kStartFileTransfer, open).fWord);
  const PWireFrame refused = hog.call(kStartFileTransfer, open);
  EXPECT_EQ(std::make_tuple(PERR_TOO_MANY_FILES, std::string(kFileAccessModule), static_cast<const Bytes&>(PPayload().i32(0))),
            std::make_tuple(refused.fWord, refused.fModule, refused.fPayload));
  EXPECT_EQ(0, other.call(kStartFileTransfer, open).fWord) << "the cap is per session";
  {
    // Room for two more transfers above the reserve, whatever descriptor numbers are free.
    PLimitScope limit(fBudget->held() + 2 + kReserve);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(0, other.call(kStartFileTransfer, open).fWord) << i;
    EXPECT_EQ(PERR_TOO_MANY_FILES, other.call(kStartFileTransfer, open).fWord) << "the reserve is kept";
    EXPECT_EQ(static_cast<int>(kIsExists), other.call(kIsExists, PPayload().str("/f")).fWord) << "queries use the reserve";
    EXPECT_EQ(0, other.call(kCloseFileTransfer, PPayload().i32(104)).fWord);
    EXPECT_EQ(0, other.call(kStartFileTransfer, open).fWord) << "a closed transfer gave its descriptor back";
  }
  {
    PLimitScope limit(fBudget->held() + PDescriptorBudget::kPerRequest - 1);  // not even a query's
    const std::tuple<uint32_t, Bytes> queries[] = {{kIsExists, PPayload().raw({1, 0})}, {kIsFile, PPayload().raw({1, 0})},
                                                   {kGetFileSize, PPayload().raw({4, 0, 0, 0, 0, 0, 0, 0, 0})},
                                                   {kListDir, PPayload().raw({0x87, 0, 0, 0, 0})}, {kMakeDir, {}}};
    for (const auto& [action, neutral] : queries) {
      const PWireFrame reply = other.call(action, PPayload().str("/f"));
      EXPECT_EQ(std::make_tuple(PERR_TOO_MANY_FILES, neutral), std::make_tuple(reply.fWord, reply.fPayload)) << action;
    }
  }
  EXPECT_EQ(static_cast<int>(kIsExists), other.call(kIsExists, PPayload().str("/f")).fWord);
}

TEST_F(Watchers, AnIdleSessionHoldingATransferIsCutAndItsTransferClosed) {
  PCommsSettings settings;
  settings.fIdleTimeoutMs = 400;
  startWatched(settings);
  PWireClient holder(at("unix"));
  EXPECT_EQ(0, holder.call(kStartFileTransfer, {}).fWord);
  PWireFrame error;
  ASSERT_TRUE(holder.receive(error));
  EXPECT_EQ(std::make_pair(FRAME_ERROR, ERR_COMMS_TIMEOUT), std::make_pair(error.fKind, error.fWord));
  EXPECT_TRUE(eventually([&] { return fModule.closed() == std::set<int>{100}; }));
}

TEST(Roles, APeerWritesWhenAWritePatternNamesItElseReadsWhenAReadOneDoesElseHasNone) {
  const auto parse = [](const std::vector<std::string>& iTexts) {
    std::vector<PRolePattern> patterns(iTexts.size());
    std::string error;
    for (size_t i = 0; i < iTexts.size(); ++i) EXPECT_TRUE(parseRolePattern(iTexts[i], patterns[i], error)) << error;
    return patterns;
  };
  const passwd* me = ::getpwuid(::geteuid());
  const group* mine = ::getgrgid(::getegid());
  ASSERT_TRUE(me != nullptr && mine != nullptr);
  const std::string uid = std::to_string(me->pw_uid), hex(64, 'a');
  PRoleMap roles(parse({"uid:0", std::string("user:") + me->pw_name, "gid:4242", "cert:backup", "sha256:" + std::string(62, 'A') + ":AA", "tcp:[::1]",
                        "mqtt:ops"}),
                 parse({std::string("group:") + mine->gr_name, "cert:maintenance", "tcp:127.0.0.1", "mqtt:*"}));
  const std::tuple<std::string, std::vector<gid_t>, std::string, int> cases[] = {
      {"uid:0", {0}, "", SESSION_ROLE_WRITE},
      {"uid:" + uid, {4243}, "", SESSION_ROLE_WRITE},
      {"uid:70000", {4242, 7}, "", SESSION_ROLE_WRITE},  // its primary group
      {"uid:70000", {7, 4242}, "", SESSION_ROLE_WRITE},  // a supplementary one
      {"uid:70000", {7, mine->gr_gid}, "", mine->gr_gid == 4242 ? SESSION_ROLE_WRITE : SESSION_ROLE_READ},
      {"uid:70000", {7}, "", SESSION_ROLE_NONE},
      {"cert:backup", {}, "sha256:" + std::string(64, '0'), SESSION_ROLE_WRITE},
      {"cert:other", {}, "sha256:" + hex, SESSION_ROLE_WRITE},  // by its fingerprint
      {"cert:maintenance", {}, "sha256:" + std::string(64, '0'), SESSION_ROLE_READ},
      {"cert:backup2", {}, "", SESSION_ROLE_NONE},
      {"tcp:::1", {}, "", SESSION_ROLE_WRITE},
      {"tcp:::ffff:127.0.0.1", {}, "", SESSION_ROLE_READ},
      {"tcp:127.0.0.2", {4242}, "", SESSION_ROLE_NONE},  // groups are a Unix peer's only
      {"mqtt:ops", {}, "", SESSION_ROLE_WRITE},
      {"mqtt:ops2", {}, "", SESSION_ROLE_READ},  // any other requester through a broker
      {"cert:ops", {}, "", SESSION_ROLE_NONE},
      {"", {}, "", SESSION_ROLE_NONE},
  };
  for (const auto& [identity, groups, fingerprint, role] : cases) {
    PSessionInfo session;
    session.fIdentity = identity;
    session.fGroups = groups;
    session.fFingerprint = fingerprint;
    int given = -1;
    EXPECT_EQ(0, roles.admit(session, given));
    EXPECT_EQ(role, given) << identity << " " << ::testing::PrintToString(groups);
  }
  PRoleMap anyone({}, parse({"*"}));
  int given = -1;
  EXPECT_EQ(0, anyone.admit(PSessionInfo(), given));
  EXPECT_EQ(SESSION_ROLE_READ, given);
  PRolePattern pattern;
  std::string error;
  for (const char* bad : {"", "frob:1", "uid:", "uid:x", "gid:99999999999", "user:no-such-user", "group:no-such-group", "cert:",
                          "sha256:abc", "tcp:host.example", "uid", "mqtt:", "mqtt:a+b", "mqtt:a/b"}) {
    EXPECT_FALSE(parseRolePattern(bad, pattern, error)) << bad;
  }
}
