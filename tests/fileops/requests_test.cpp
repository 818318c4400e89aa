// The file-operations plug-in's requests on real trees, as a peer sees
// them: the reply conventions, the policy it shares with the file-access
// plug-in, the caller's session, what stat and listings show, checksums,
// ranged and sparse reads, rename, attributes and bounded tree removal.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <set>

#include "PFileOpsFixture.h"
#include "zevo/PUploadFile.h"
#include "zevo/portinglayer/PSysCalls.h"
#include "zevo/zevoGetInstance.h"

namespace {

const std::wstring kModule = kFileOpsModuleW;

long long mtimeNs(const std::string& iPath) {
  struct stat info;
  ::lstat(iPath.c_str(), &info);
  return info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
}

}  // namespace

TEST_F(Ops, EveryReplyFollowsTheConventions) {
  EXPECT_EQ(Reply(0, L"", {}), whole(call(2002, PPayload().str(L"/x")))) << "another module's action";
  const Bytes wrongTag = {0x02, 0, 0, 0, 0, 0};
  for (const PActionTraits& action : kFileOpsActions) {
    if (action.fAction == kOpsSessionInfo) continue;  // reads nothing
    for (const auto& [payload, code] : {std::pair{Bytes{}, ERR_DATA_SHORT}, {wrongTag, ERR_DATA_TYPE}}) {
      EXPECT_EQ(Reply(code, L"", {}), whole(call(action.fAction, payload))) << action.fName;
    }
  }
  // Past reading: the module ID, and the elements with neutral values.
  const std::wstring outside = L"/etc/passwd";
  const Bytes none32 = {0x03, 0, 0, 0, 0}, none64 = {0x04, 0, 0, 0, 0, 0, 0, 0, 0}, no = {0x01, 0}, empty = {0x86, 0, 0, 0, 0};
  const auto join = [](std::initializer_list<Bytes> iParts) {
    Bytes all;
    for (const Bytes& part : iParts) all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  const std::tuple<uint32_t, Bytes, int, Bytes> cases[] = {
      {kOpsStat, PPayload().str(outside), ERR_ACCESS_DENIED, join({none32, none64, none32, none64, empty})},
      {kOpsOpenRead, PPayload().str(outside), ERR_ACCESS_DENIED, join({none32, none64, none32, none64})},
      {kOpsOpenChecksum, PPayload().str(path("f")).i64(-5).i64(-1), FOPS_ERR_ARGUMENT, join({none32, none64})},
      {kOpsReadListing, PPayload().i32(12345), FOPS_ERR_NO_HANDLE, join({no, none32})},
      {kOpsReadAt, PPayload().i32(12345).i64(0).i32(10), FOPS_ERR_NO_HANDLE, {0x85, 0, 0, 0, 0}},
      {kOpsChecksumStep, PPayload().i32(12345), FOPS_ERR_NO_HANDLE, join({no, none64, {0x85, 0, 0, 0, 0}})},
      {kOpsBeginUpload, PPayload().str(outside).flag(true), ERR_ACCESS_DENIED, join({none32, empty})},
      {kOpsCommitGroup, PPayload().i32(0), FOPS_ERR_ARGUMENT, none32},
      {kOpsRemoveTree, PPayload().str(path("x")).i32(0), FOPS_ERR_ARGUMENT, join({no, none32})},
      {kOpsCloseHandle, PPayload().i32(12345), FOPS_ERR_NO_HANDLE, {}},
  };
  for (const auto& [action, payload, status, data] : cases) {
    EXPECT_EQ(Reply(status, kModule, data), whole(call(action, payload))) << fileOpsAction(action)->fName;
  }
}

TEST_F(Ops, BothModulesJudgeAPathAlike) {
  PPluginHarness access;
  for (const char* name : {"data/sub/deeper", "database"}) std::filesystem::create_directories(dir / name);
  // The lists (read, write, read tree, write tree), then paths.
  const std::pair<std::array<std::wstring, 4>, std::vector<std::string>> cases[] = {
      {{L"T/data", L"", L"", L""}, {"data//a", "data/sub", "data/sub/b", "data/sub/", "data", "database/d", "=bare"}},
      {{L"", L"T/data/", L"", L""}, {"data/new", "data/other/", "data/sub/x"}},
      {{L"", L"", L"T/data/", L"T/data/sub"}, {"data/sub/deeper/", "database/d", "data/sub/x", "data/sub/deeper/x"}},
      {{L"T/database,  T/data//sub/ ,, ", L"/", L"", L""}, {"data/sub/b", "database/d", "=bare", "=etc/passwd"}},
  };
  for (const auto& [lists, paths] : cases) {
    ASSERT_EQ(0, start(lists[0], lists[1], lists[2], lists[3]));
    ASSERT_EQ(0, start(lists[0], lists[1], lists[2], lists[3], &access));
    for (const std::string& name : paths) {
      const bool readable = statusOf(access.call(kIsExists, PPayload().str(path(name)))) != ERR_ACCESS_DENIED;
      const bool writable = statusOf(access.call(kDeleteFile, PPayload().str(path(name)))) != ERR_ACCESS_DENIED;
      EXPECT_EQ(readable, statusOf(call(kOpsStat, PPayload().str(path(name)))) != ERR_ACCESS_DENIED) << name;
      EXPECT_EQ(writable, statusOf(call(kOpsSetAttributes, PPayload().str(path(name)).i32(-1).i64(-1))) != ERR_ACCESS_DENIED)
          << name;
    }
  }
}

TEST_F(Ops, SessionInfoTellsTheCallerWhatItMayDo) {
  std::filesystem::create_directories(dir / "b");
  const auto grants = [&](const std::string& iName) { return std::vector<std::wstring>{dir.wide(iName + "/")}; };
  const std::vector<std::wstring> none;
  // role, registered: role reported, write lists shown, frame, a change allowed
  const std::tuple<int, bool, int, bool, unsigned, int> cases[] = {
      {SESSIONS_ROLE_WRITE, true, SESSIONS_ROLE_WRITE, true, 65536, 0},
      {SESSIONS_ROLE_READ, true, SESSIONS_ROLE_READ, false, 65536, ERR_ACCESS_DENIED},
      {SESSIONS_ROLE_WRITE, false, SESSIONS_ROLE_UNKNOWN, false, kFileOpsDefaultFrameMax, ERR_ACCESS_DENIED},
  };
  for (const auto& [role, registered, reported, writes, frame, change] : cases) {
    PPluginHarness harness{ZEVO_FILEOPS_PLUGIN, kFileOpsTopic};
    harness.fSessions.fRole = role;
    harness.fSessions.fFrameMax = 65536;
    ASSERT_EQ(0, start(L"T/a", L"T/b", L"T/c/", L"T/d/", &harness));
    if (!registered) {
      zevoUnregisterInstance(PLiteral(ZEVO_ID_SESSIONS));
      ASSERT_EQ(0, harness.start());
    }
    PReplyReader info(harness.call(kOpsSessionInfo, {}));
    EXPECT_EQ(kFileOpsVersion, info.i32());
    EXPECT_EQ(std::make_pair(static_cast<int>(frame), static_cast<int>(frame - kFileOpsFrameOverhead)), (std::pair{info.i32(), info.i32()}));
    EXPECT_EQ(registered ? L"uid:1000" : L"", info.str());
    EXPECT_EQ(reported, info.i32());
    for (const char* name : {"a", "b", "c", "d"}) {
      const bool write = name[0] == 'b' || name[0] == 'd';
      EXPECT_EQ(write && !writes ? none : grants(name), info.strings()) << name;
    }
    EXPECT_EQ(3600, info.i32()) << "the default time an upload is kept";
    EXPECT_TRUE(info.atEnd());
    EXPECT_EQ(change, statusOf(harness.call(kOpsSetAttributes, PPayload().str(dir.wide("b/")).i32(-1).i64(-1))));
  }
}

TEST_F(Ops, StatAndListingsShowWhatIsThere) {
  writeFile(dir / "f", patternBytes(1234));
  ::chmod((dir / "f").c_str(), 0640);
  std::filesystem::create_directories(dir / "d");
  ASSERT_TRUE(::mkfifo((dir / "fifo").c_str(), 0600) == 0 && ::symlink("f", (dir / "link").c_str()) == 0);
  writeFile(dir / (std::string(PUploadFile::kReservedPrefix) + "0123456789abcdef"), {1});
  for (int policy : {PPathPolicy::SYMLINKS_FOLLOW, PPathPolicy::SYMLINKS_REFUSE}) {
    PSymlinkPolicyScope scope(policy);
    const bool refuse = policy == PPathPolicy::SYMLINKS_REFUSE;
    // name: status, kind, size, mode, link target
    const std::tuple<std::string, int, int, long long, int, std::wstring> cases[] = {
        {"f", 0, PFileAttributes::KIND_FILE, 1234, 0640, L""}, {"d/", 0, PFileAttributes::KIND_DIR, -1, -1, L""},
        {"fifo", 0, PFileAttributes::KIND_OTHER, 0, 0600, L""}, {"missing", PERR_NOT_FOUND, 0, 0, 0, L""},
        {"link", refuse ? PERR_SYMLINK : 0, refuse ? 0 : PFileAttributes::KIND_LINK, refuse ? 0 : 1, -1, refuse ? L"" : L"f"},
        {"link/x", refuse ? PERR_SYMLINK : PERR_NOT_DIR, 0, 0, 0, L""}, {"f/", PERR_NOT_DIR, 0, 0, 0, L""},
    };
    for (const auto& [name, status, kind, size, mode, target] : cases) {
      const PCommsMessage reply = call(kOpsStat, PPayload().str(path(name)));
      EXPECT_EQ(status, statusOf(reply)) << name;
      PReplyReader stat(reply);
      EXPECT_EQ(kind, stat.i32()) << name;
      const long long gotSize = stat.i64();
      const int gotMode = stat.i32();
      const long long gotTime = stat.i64();
      EXPECT_TRUE(size < 0 || size == gotSize) << name << " " << gotSize;
      EXPECT_TRUE(mode < 0 || mode == gotMode) << name << " " << gotMode;
      EXPECT_EQ(status == 0 ? mtimeNs(dir / name) : 0, gotTime) << name;
      EXPECT_EQ(target, stat.str()) << name;
    }
  }
  // A listing pages through long names within a small frame, each name once.
  for (int i = 0; i < 300; ++i) writeFile(dir / ("d/" + std::string(200, 'a' + i % 26) + std::to_string(i)), Bytes(i));
  ops.fSessions.fFrameMax = 4096;
  const int listing = opened(call(kOpsOpenListing, PPayload().str(path("d"))));
  std::set<std::wstring> names;
  for (bool more = true; more;) {
    const PCommsMessage reply = call(kOpsReadListing, PPayload().i32(listing));
    EXPECT_LE(reply.fData.size(), 4096u - kFileOpsFrameOverhead);
    PReplyReader page(reply);
    more = page.flag();
    const int count = page.i32();
    EXPECT_TRUE(count > 0 || !more);
    for (int i = 0; i < count; ++i) {
      const std::wstring name = page.str();
      EXPECT_TRUE(names.insert(name).second) << "twice";
      const int index = std::stoi(name.substr(200));
      EXPECT_EQ(std::make_tuple(PFileAttributes::KIND_FILE, static_cast<long long>(index)), (std::tuple{page.i32(), page.i64()}));
      page.i32(), page.i64();
    }
  }
  EXPECT_EQ(300u, names.size());
  // The temporary file of an upload is in neither module's listings.
  PPluginHarness access;
  ASSERT_EQ(0, start(L"", L"", L"T/", L"", &access));
  EXPECT_EQ(4u, replyStrings(access.call(kListDir, PPayload().str(dir.wide("")))).size()) << "f, d, fifo, link";
  PReplyReader top(call(kOpsReadListing, PPayload().i32(opened(call(kOpsOpenListing, PPayload().str(dir.wide("")))))));
  EXPECT_EQ(std::make_pair(false, 4), (std::pair{top.flag(), top.i32()}));
}

TEST_F(Ops, ChecksumsComeInBoundedSteps) {
  writeText(dir / "abc", "abc");
  const Bytes big = patternBytes(2 * kFileOpsChecksumStep + 5);
  writeFile(dir / "big", big);
  const Bytes known = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
                       0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
  const auto open = [&](const char* iName, long long iOffset, long long iLength) {
    return call(kOpsOpenChecksum, PPayload().str(path(iName)).i64(iOffset).i64(iLength));
  };
  EXPECT_EQ(known, digest(open("abc", 0, -1)));
  int steps = 0;
  EXPECT_EQ(sha256(big), digest(open("big", 0, -1), &steps));
  EXPECT_EQ(3, steps) << "two full steps and the rest";
  EXPECT_EQ(sha256(Bytes(big.begin() + 1000, big.begin() + 6000)), digest(open("big", 1000, 5000)));
  EXPECT_EQ(sha256({}), digest(open("abc", 10, -1))) << "a range past the end covers nothing";
  PReplyReader cut(open("big", static_cast<long long>(big.size()) - 5, 100));
  EXPECT_EQ(5, (cut.i32(), cut.i64())) << "cut at the end";
  EXPECT_EQ(PERR_IS_DIR, statusOf(open("", 0, -1)));
}

TEST_F(Ops, RangedReadsAndTheDataOfSparseFiles) {
  const Bytes head = patternBytes(4096, 3), middle = patternBytes(4096, 4);
  ASSERT_TRUE(makeSparse(dir / "sparse", 8 << 20, head));
  {
    const int fd = ::open((dir / "sparse").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(4096, ::pwrite(fd, middle.data(), middle.size(), 4 << 20));
    ::close(fd);
  }
  ops.fSessions.fFrameMax = 8192;
  PReplyReader opening(call(kOpsOpenRead, PPayload().str(path("sparse"))));
  const int handle = opening.i32();
  EXPECT_EQ(8LL << 20, opening.i64());
  PReplyReader ranges(call(kOpsDataRanges, PPayload().i32(handle).i64(0)));
  EXPECT_EQ(std::make_pair(false, 2), (std::pair{ranges.flag(), ranges.i32()}));
  EXPECT_EQ((std::vector<long long>{0, 4096, 4 << 20, 4096}), (std::vector<long long>{ranges.i64(), ranges.i64(), ranges.i64(), ranges.i64()}));
  PReplyReader later(call(kOpsDataRanges, PPayload().i32(handle).i64(100)));
  EXPECT_EQ(std::make_tuple(false, 2, 100LL, 3996LL), (std::tuple{later.flag(), later.i32(), later.i64(), later.i64()}));
  const auto read = [&](long long iOffset, int iLength) { return call(kOpsReadAt, PPayload().i32(handle).i64(iOffset).i32(iLength)); };
  EXPECT_EQ(middle, replyBytes(read(4 << 20, 4096)));
  EXPECT_EQ(Bytes(100, 0), replyBytes(read(5000, 100))) << "a hole reads as zeros";
  EXPECT_EQ(Bytes(5, 0), replyBytes(read((8 << 20) - 5, 100))) << "short at the end";
  EXPECT_EQ(Bytes{}, replyBytes(read(9 << 20, 100))) << "nothing past it";
  EXPECT_EQ(FOPS_ERR_ARGUMENT, statusOf(read(0, 8192 - kFileOpsFrameOverhead + 1)));
  EXPECT_EQ(FOPS_ERR_ARGUMENT, statusOf(read(-1, 10)));
  const int listing = opened(call(kOpsOpenListing, PPayload().str(path(""))));
  EXPECT_EQ(FOPS_ERR_HANDLE_KIND, statusOf(call(kOpsReadAt, PPayload().i32(listing).i64(0).i32(10))));
  const int descriptors = descriptorCount();
  for (int number : {handle, listing}) EXPECT_EQ(0, statusOf(call(kOpsCloseHandle, PPayload().i32(number))));
  EXPECT_EQ(descriptors - 2, descriptorCount());
  EXPECT_EQ(FOPS_ERR_NO_HANDLE, statusOf(read(0, 10)));

  // Large blocks leave from the file where the session carries it, and are
  // read into the reply where it does not: the same bytes either way.
  const Bytes content = patternBytes(3 << 20, 9);
  const long long size = static_cast<long long>(content.size());
  writeFile(dir / "big", content);
  ops.fSessions.fFrameMax = 1 << 20;
  const int big = opened(call(kOpsOpenRead, PPayload().str(path("big"))));
  for (bool carries : {false, true}) {
    ops.fComms.fCarriesFiles = carries;
    const std::pair<long long, int> cases[] = {{0, (1 << 20) - 64}, {5, 70000}, {size - 70000, 100000}, {size - 1000, 100000}, {size, 100000}, {17, 100}};
    for (const auto& [offset, length] : cases) {
      const auto from = content.begin() + std::min(offset, size);
      const Bytes expected(from, from + std::min<long long>(length, std::max(0LL, size - offset)));
      EXPECT_TRUE(expected == replyBytes(call(kOpsReadAt, PPayload().i32(big).i64(offset).i32(length)))) << offset << " " << length;
    }
  }
  EXPECT_EQ(3, ops.fComms.fFileReplies) << "the blocks of 64 KiB or more, where the session carries files";
}

TEST_F(Ops, RenameAttributesAndTreeRemoval) {
  for (const char* name : {"a/x", "b", "ro"}) std::filesystem::create_directories(dir / name);
  writeFile(dir / "a/f", {1, 2});
  writeFile(dir / "b/g", {3});
  writeFile(dir / "outside", {7});
  ASSERT_EQ(0, ::symlink((dir / "outside").c_str(), (dir / "a/x/link").c_str()));
  ASSERT_EQ(0, start(L"", L"", L"T/", L"T/a/, T/b/"));
  PSymlinkPolicyScope refuse(PPathPolicy::SYMLINKS_REFUSE);
  static int sRenameErrno = 0;
  PSysCallsScope restore;
  PSysCalls::table().fRenameat2 = [](int iFromDir, const char* iFrom, int iToDir, const char* iTo, unsigned int iFlags) {
    return sRenameErrno != 0 ? (errno = sRenameErrno, -1) : PSysCalls::defaults().fRenameat2(iFromDir, iFrom, iToDir, iTo, iFlags);
  };
  const auto rename = [&](const char* iFrom, const char* iTo, bool iReplace, int iErrno = 0) {
    sRenameErrno = iErrno;
    return statusOf(call(kOpsRename, PPayload().str(path(iFrom)).str(path(iTo)).flag(iReplace)));
  };
  EXPECT_EQ(PERR_EXISTS, rename("a/f", "b/g", false));
  EXPECT_EQ(ERR_ACCESS_DENIED, rename("a/f", "ro/f", true)) << "the destination's directory must be writable too";
  EXPECT_EQ(FOPS_ERR_CROSS_FS, rename("a/f", "b/h", true, EXDEV));
  EXPECT_EQ(PERR_SYMLINK, rename("a/x/link", "b/h", true));
  EXPECT_EQ(0, rename("a/f", "b/g", true));
  EXPECT_EQ(Bytes({1, 2}), readFile(dir / "b/g"));
  EXPECT_FALSE(std::filesystem::exists(dir / "a/f"));

  const auto attributes = [&](const char* iName, int iMode, long long iMtime) {
    return statusOf(call(kOpsSetAttributes, PPayload().str(path(iName)).i32(iMode).i64(iMtime)));
  };
  ASSERT_EQ(0, ::link((dir / "b/g").c_str(), (dir / "b/second").c_str()));
  ASSERT_EQ(0, ::mkfifo((dir / "b/fifo").c_str(), 0600));
  EXPECT_EQ(FOPS_ERR_ARGUMENT, attributes("a/x", 04755, -1)) << "no set-user-ID";
  EXPECT_EQ(PERR_HARDLINK, attributes("b/g", 0600, -1)) << "would change its other name too";
  EXPECT_EQ(PERR_NOT_FILE, attributes("b/fifo", 0600, -1));
  EXPECT_EQ(0, attributes("a/x", 0700, 1234567891000000007LL));
  EXPECT_EQ(0700u, static_cast<unsigned>(std::filesystem::status(dir / "a/x").permissions()));
  EXPECT_EQ(1234567891000000007LL, mtimeNs(dir / "a/x"));

  // 40 files below a/x/t, removed seven at a time, the link itself with them.
  for (int i = 0; i < 40; ++i) {
    std::filesystem::create_directories(dir / ("a/x/t/" + std::to_string(i % 4)));
    writeFile(dir / ("a/x/t/" + std::to_string(i % 4) + "/" + std::to_string(i)), {1});
  }
  const int entries = 40 + 4 + 1 + 1 + 1;  // files, their directories, t, the link, x
  int removed = 0, requests = 0;
  for (bool more = true; more; ++requests) {
    PReplyReader step(call(kOpsRemoveTree, PPayload().str(path("a/x")).i32(7)));
    more = step.flag();
    const int count = step.i32();
    EXPECT_TRUE(count <= 7 && (count > 0 || !more)) << count;
    removed += count;
    ASSERT_LT(requests, 20);
  }
  EXPECT_EQ(entries, removed);
  EXPECT_FALSE(std::filesystem::exists(dir / "a/x"));
  EXPECT_EQ(Bytes{7}, readFile(dir / "outside"));
  EXPECT_EQ(PERR_NOT_FOUND, statusOf(call(kOpsRemoveTree, PPayload().str(path("a/x")).i32(7))));
}

// The host keeps handles, roles and refusals by each module's action table,
// never asking the module: the table must say how the module reads and how it
// fails. Each action gets a request made from its table row (a path outside
// the policy, handle 0, small numbers).
TEST_F(Ops, EachModulesTableSaysHowItReadsAndFails) {
  PPluginHarness access;
  ASSERT_EQ(0, start(L"", L"", L"T/", L"T/", &access));
  for (const auto& [harness, module] : {std::pair{&ops, &kFileOpsTraits}, {&access, &kFileAccessTraits}}) {
    for (size_t i = 0; i < module->fCount; ++i) {
      const PActionTraits& action = module->fActions[i];
      if (std::string(action.fRequest).find('*') != std::string::npos) continue;  // its rest is its own
      SCOPED_TRACE(action.fName);
      PPayload payload;
      std::vector<size_t> ends;  // where each element ends
      for (const char* kind = action.fRequest; *kind != '\0'; ++kind) {
        if (*kind == 's') payload.str(L"/etc/zevo-outside");
        if (*kind == 'i') payload.i32(action.fUses != ACTION_USES_NONE && kind == action.fRequest ? 0 : 1);
        if (*kind == 'l') payload.i64(1);
        if (*kind == 'b') payload.bytes({'x'});
        if (*kind == 'o') payload.flag(false);
        if (*kind == 'h') payload.i32(1).i32(0);
        ends.push_back(static_cast<const Bytes&>(payload).size());
      }
      const Bytes request = payload;
      const PCommsMessage reply = harness->call(action.fAction, request);
      const int status = statusOf(reply);
      EXPECT_TRUE(status > ERR_DATA_ENCODING || status < ERR_DATA_SHORT) << status << ": it read the request as its row says";
      if (status != 0) {
        EXPECT_EQ(Bytes(action.fNeutral.begin(), action.fNeutral.end()), reply.fData) << status;
      }
      if (action.fUses != ACTION_USES_NONE) {
        EXPECT_EQ(action.fNoHandle, status) << "handle 0 is no handle";
      } else if (action.fNamesPath) {
        EXPECT_EQ(module->fDenied, status) << "a path the policy refuses";
      }
      // ListDir answers a missing path as any other failure; an unknown
      // handle is answered before what follows it is read.
      if (!ends.empty() && action.fAction != kListDir && action.fUses == ACTION_USES_NONE) {
        const Bytes shorter(request.begin(), request.begin() + static_cast<long>(ends.size() > 1 ? ends[ends.size() - 2] : 0));
        const int cut = statusOf(harness->call(action.fAction, shorter));
        EXPECT_TRUE(cut == ERR_DATA_SHORT) << cut << ": its last element is read";
      }
    }
  }
}
