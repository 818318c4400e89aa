// libzevoclient's calls of the file-operations module against a real
// zevohost with both plug-ins, and what they fall back to on a host with
// the file-access plug-in alone.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "PProcess.h"
#include "zevo/client/PClient.h"

namespace fs = std::filesystem;

namespace {

long long mtimeNs(const std::string& iPath) {
  struct stat info;
  return ::stat(iPath.c_str(), &info) == 0 ? info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec : -1;
}

int modeOf(const std::string& iPath) {
  struct stat info;
  return ::stat(iPath.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

long long allocated(const std::string& iPath) {
  struct stat info;
  return ::stat(iPath.c_str(), &info) == 0 ? static_cast<long long>(info.st_blocks) * 512 : -1;
}

class FileOps : public ::testing::Test {
 protected:
  void SetUp() override {
    host.fFileOps = true;
    // Not the default frame limit: the session's own is what the module sizes its replies to.
    ASSERT_TRUE(host.start({"--frame-max", "300000"})) << host.output();
    ASSERT_EQ(0, client.connect(host.endpoint())) << client.lastError().message();
    ASSERT_TRUE(client.hasFileOps()) << client.lastError().message();
  }
  std::string remote(const std::string& iName) { return host.data(iName); }

  PHostProcess host;
  PClient client;
  PTempDir local;
};

}  // namespace

TEST_F(FileOps, SessionStatListingsAndChanges) {
  PSessionInfo info;
  ASSERT_EQ(0, client.sessionInfo(info));
  EXPECT_EQ("uid:" + std::to_string(::getuid()), info.fIdentity);
  EXPECT_EQ(kRoleWrite, info.fRole);
  EXPECT_EQ(300000, info.fFrameMax);
  EXPECT_EQ(info.fFrameMax - 64, info.fChunk);
  EXPECT_EQ((std::vector<std::string>{host.data(), host.fDir / "drop/"}), info.fWriteTree);
  fs::create_directories(remote("d/e/f"));
  writeFile(remote("d/e/x"), patternBytes(10));
  ASSERT_EQ(0, ::chmod(remote("d/e/x").c_str(), 0751));
  ASSERT_EQ(0, ::symlink("x", remote("d/link").c_str()));
  std::vector<PTreeEntry> tree;
  ASSERT_EQ(0, client.listTree(remote("d"), tree)) << client.lastError().message();
  std::map<std::string, std::pair<PRemoteKind, int>> seen;
  for (const PTreeEntry& entry : tree) seen[entry.fPath] = {entry.fStat.fKind, entry.fStat.fMode};
  const std::map<std::string, std::pair<PRemoteKind, int>> expected = {
      {"e", {PRemoteKind::kDir, 0755}}, {"e/f", {PRemoteKind::kDir, 0755}}, {"e/x", {PRemoteKind::kFile, 0751}}, {"link", {PRemoteKind::kLink, 0777}}};
  for (const auto& [path, kindMode] : expected) EXPECT_EQ(kindMode.first, seen[path].first) << path;
  EXPECT_EQ(0751, seen["e/x"].second);
  EXPECT_EQ(expected.size(), seen.size());
  PRemoteStat stat;
  ASSERT_EQ(0, client.stat(remote("d/e/x"), stat));
  EXPECT_TRUE(stat.fKind == PRemoteKind::kFile && stat.fSize == 10 && stat.fMode == 0751 && stat.fTimeNs == mtimeNs(remote("d/e/x")));
  EXPECT_EQ(PERR_NOT_FOUND, client.stat(remote("none"), stat));
  // Changes: rename, attributes, directories in flight together, tree removal.
  ASSERT_EQ(0, client.setAttributes(remote("d/e/x"), 0600, 1000000000123LL));
  EXPECT_TRUE(modeOf(remote("d/e/x")) == 0600 && mtimeNs(remote("d/e/x")) == 1000000000123LL);
  writeText(remote("d/z"), "z");
  EXPECT_EQ(PERR_EXISTS, client.rename(remote("d/e/x"), remote("d/z"), false));
  ASSERT_EQ(0, client.rename(remote("d/e/x"), remote("d/y"), false));
  std::vector<PClientError> errors;
  EXPECT_EQ(ERR_ACCESS_DENIED, client.makeDirs({remote("m/n"), "/etc/zevo-nowhere", remote("o")}, errors));
  EXPECT_TRUE(errors.size() == 3 && errors[0].fCode == 0 && errors[1].fCode == ERR_ACCESS_DENIED && errors[2].fCode == 0);
  EXPECT_TRUE(fs::is_directory(remote("m/n")) && fs::is_directory(remote("o")));
  ASSERT_EQ(0, client.removeTree(remote("d")));
  EXPECT_FALSE(fs::exists(remote("d")) || fs::exists(remote("x")));
  EXPECT_EQ(PERR_NOT_FOUND, client.removeTree(remote("d")));
}

TEST_F(FileOps, TransfersKeepBytesAttributesAndHoles) {
  const long long mib = 1 << 20;
  // size, chunk, window, sparse
  const std::tuple<long long, int, int, bool> cases[] = {
      {0, 0, 16, false}, {1, 0, 16, false}, {3 * mib + 17, 0, 16, false}, {3 * mib + 17, 4096, 3, false}, {40 * mib, 0, 16, true}};
  for (const auto& [size, chunk, window, sparse] : cases) {
    SCOPED_TRACE(std::to_string(size) + (sparse ? " sparse" : ""));
    PClientOptions options;
    options.fRangeChunk = chunk;
    options.fWindow = window;
    ASSERT_EQ(0, client.setOptions(options));
    const Bytes head = patternBytes(static_cast<size_t>(std::min(size, 100000LL)), static_cast<unsigned>(size));
    if (sparse) {
      ASSERT_TRUE(makeSparse(local / "up", size, head));
      std::fstream(local / "up", std::ios::in | std::ios::out | std::ios::binary).seekp(20 * mib) << "middle";
    } else {
      writeFile(local / "up", patternBytes(static_cast<size_t>(size), 3));
    }
    ASSERT_EQ(0, ::chmod((local / "up").c_str(), 0750));
    PTransferOptions keep;
    keep.fMode = kModeSource;
    keep.fTimeNs = kTimeSource;
    keep.fVerify = true;
    PTransferResult result;
    long long total = -2;
    PTransferControl control;
    control.fProgress = [&](long long, long long iTotal) { total = iTotal; };
    ASSERT_EQ(0, client.upload(PSource::file(local / "up"), remote("up"), keep, control, &result)) << client.lastError().message();
    EXPECT_EQ(size > 0 ? size : total, total) << "progress knows the whole from the source";
    EXPECT_TRUE(result.fVerified && result.fSize == size);
    EXPECT_EQ(readFile(local / "up"), readFile(remote("up")));
    EXPECT_TRUE(modeOf(remote("up")) == 0750 && mtimeNs(remote("up")) == mtimeNs(local / "up"));
    ASSERT_EQ(0, client.download(remote("up"), PSink::file(local / "down"), keep, {}, &result)) << client.lastError().message();
    EXPECT_EQ(readFile(local / "up"), readFile(local / "down"));
    EXPECT_TRUE(modeOf(local / "down") == 0750 && mtimeNs(local / "down") == mtimeNs(local / "up"));
    if (sparse) {
      EXPECT_LT(allocated(remote("up")), 4 * mib) << "the holes were not sent";
      EXPECT_LT(allocated(local / "down"), 4 * mib);
      EXPECT_LT(result.fBytes, 4 * mib);
    }
  }
  EXPECT_EQ(0, host.descriptorsOn(remote("up")));
  PTransferOptions given;
  given.fMode = 0604;
  ASSERT_EQ(0, client.download(remote("up"), PSink::file(local / "given"), given));
  EXPECT_EQ(0604, modeOf(local / "given")) << "a mode asked for wins over the source's";
  // A stream sink gets the holes as zeros; a new file the source's mode less the umask.
  std::string streamed;
  ASSERT_EQ(0, client.download(remote("up"), PSink::callback([&](const unsigned char* iBytes, size_t iCount) {
                                 streamed.append(reinterpret_cast<const char*>(iBytes), iCount);
                                 return 0;
                               }), {}));
  EXPECT_EQ(readText(local / "up"), streamed);
}

TEST_F(FileOps, AnUploadIsAtomicAndACutOneGoesOnWithTheRest) {
  const Bytes old = patternBytes(1000, 9), content = patternBytes(5 * 1024 * 1024, 8);
  writeFile(remote("big"), old);
  writeFile(local / "big", content);
  PClientOptions options;
  options.fRangeChunk = 256 * 1024;
  ASSERT_EQ(0, client.setOptions(options));
  std::string token;
  long long seen = 0;
  PTransferOptions resumable;
  resumable.fResumable = true;
  resumable.fOnToken = [&](const std::string& iToken) { token = iToken; };
  PTransferControl cut;
  Bytes before = old;
  cut.fProgress = [&](long long iDone, long long) {
    seen = iDone;
    EXPECT_TRUE(before == readFile(remote("big"))) << "nothing shows before the commit";
  };
  cut.fContinue = [&] { return seen < 2 * 1024 * 1024; };
  EXPECT_EQ(ERR_CLIENT_CANCELLED, client.upload(PSource::file(local / "big"), remote("big"), resumable, cut));
  ASSERT_EQ(32u, token.size());
  EXPECT_EQ(old, readFile(remote("big")));
  EXPECT_EQ(std::vector<std::string>{"big"}, [&] {
    std::vector<std::string> names;
    client.list(host.data(), names);
    return names;
  }()) << "no temporary name shows";
  PTransferOptions again;
  again.fToken = token;
  again.fContinue = true;
  again.fVerify = true;
  PTransferResult result;
  ASSERT_EQ(0, client.upload(PSource::file(local / "big"), remote("big"), again, {}, &result)) << client.lastError().message();
  EXPECT_GE(result.fStart, 2 * 1024 * 1024);
  EXPECT_EQ(static_cast<long long>(content.size()) - result.fStart, result.fBytes) << "only the rest was sent";
  EXPECT_EQ(content, readFile(remote("big")));
  // A spent token, and a source changed since the cut, start afresh.
  ASSERT_EQ(0, client.upload(PSource::file(local / "big"), remote("big"), again, {}, &result));
  EXPECT_EQ(0, result.fStart);
  seen = 0;
  before = content;
  EXPECT_EQ(ERR_CLIENT_CANCELLED, client.upload(PSource::file(local / "big"), remote("big"), resumable, cut));
  writeFile(local / "big", patternBytes(content.size(), 5));
  again.fToken = token;
  ASSERT_EQ(0, client.upload(PSource::file(local / "big"), remote("big"), again, {}, &result));
  EXPECT_TRUE(result.fStart == 0 && result.fVerified);
  EXPECT_EQ(readFile(local / "big"), readFile(remote("big")));
}

TEST_F(FileOps, ACutDownloadGoesOnAndVerifyCatchesAChangedByte) {
  const Bytes content = patternBytes(3 * 1024 * 1024 + 5, 4);
  writeFile(remote("f"), content);
  PClientOptions options;
  options.fRangeChunk = 128 * 1024;
  ASSERT_EQ(0, client.setOptions(options));
  PTransferOptions partial;
  partial.fKeepPartial = true;
  PTransferControl cut;
  long long seen = 0;
  cut.fProgress = [&](long long iDone, long long) { seen = iDone; };
  cut.fContinue = [&] { return seen < 1024 * 1024; };
  EXPECT_EQ(ERR_CLIENT_CANCELLED, client.download(remote("f"), PSink::file(local / "f"), partial, cut));
  EXPECT_FALSE(fs::exists(local / "f"));
  EXPECT_GE(fs::file_size(local / ".f.zevofa-part"), 1024u * 1024);
  partial.fContinue = true;
  partial.fVerify = true;
  PTransferResult result;
  ASSERT_EQ(0, client.download(remote("f"), PSink::file(local / "f"), partial, {}, &result)) << client.lastError().message();
  EXPECT_TRUE(result.fStart >= 1024 * 1024 && result.fBytes == static_cast<long long>(content.size()) - result.fStart);
  EXPECT_EQ(content, readFile(local / "f"));
  EXPECT_FALSE(fs::exists(local / ".f.zevofa-part"));
  // A byte changed on the host once everything arrived, before the check.
  PTransferControl change;
  change.fProgress = [&](long long iDone, long long iTotal) {
    if (iDone == iTotal) std::fstream(remote("f"), std::ios::in | std::ios::out | std::ios::binary).seekp(77) << 'X';
  };
  EXPECT_EQ(ERR_CLIENT_CHECKSUM, client.download(remote("f"), PSink::file(local / "g"), partial, change));
  EXPECT_EQ(PErrorOrigin::kTransfer, client.lastError().fOrigin);
  PDigest digest{};
  ASSERT_EQ(0, client.checksum(remote("f"), digest));
  EXPECT_NE(digest, result.fDigest);
}

TEST_F(FileOps, BatchesKeepManyFilesInFlightAndSayWhatFailed) {
  std::vector<PFileJob> up, down;
  for (int i = 0; i < 150; ++i) {
    const std::string name = "f" + std::to_string(i);
    writeFile(local / name, patternBytes(static_cast<size_t>(i * 97), static_cast<unsigned>(i)));
    up.push_back({local / name, remote(name), kModeSource, 1000000000LL * (1000 + i)});
    down.push_back({local / ("back" + std::to_string(i)), remote(name), kModeDefault, kTimeSource});
  }
  up[7].fLocal = local / "missing";
  up[9].fRemote = "/etc/zevo-refused";
  down.resize(100);
  std::vector<PClientError> errors;
  size_t reported = 0;
  PBatchControl control;
  control.fVerify = true;
  control.fDone = [&](size_t, const PClientError&, const PTransferResult&) { ++reported; };
  EXPECT_EQ(PERR_NOT_FOUND, client.uploadFiles(up, control, errors)) << "the first failure";
  EXPECT_EQ(up.size(), reported);
  for (size_t i = 0; i < up.size(); ++i) {
    EXPECT_EQ(i == 7 ? PERR_NOT_FOUND : i == 9 ? ERR_ACCESS_DENIED : 0, errors[i].fCode) << i << errors[i].message();
    if (i == 7 || i == 9) continue;
    EXPECT_EQ(readFile(up[i].fLocal), readFile(up[i].fRemote)) << i;
    EXPECT_EQ(up[i].fTimeNs, mtimeNs(up[i].fRemote)) << i;
  }
  EXPECT_EQ(PERR_NOT_FOUND, client.upload(PSource::file(local / "missing"), remote("m"), {}));
  EXPECT_TRUE(client.isConnected()) << "a local failure before any request keeps the connection";
  ASSERT_EQ(0, client.downloadFiles({down.begin() + 10, down.end()}, control, errors)) << client.lastError().message();
  for (size_t i = 10; i < down.size(); ++i) {
    EXPECT_EQ(readFile(down[i].fRemote), readFile(down[i].fLocal)) << i;
    EXPECT_EQ(mtimeNs(down[i].fRemote), mtimeNs(down[i].fLocal)) << i;
  }
  EXPECT_EQ(0, host.descriptorsOn(host.data())) << "every handle was closed";
}

TEST(FileOpsFallback, AHostWithoutTheModuleIsServedByTheFileAccessActions) {
  PHostProcess host;
  ASSERT_TRUE(host.start()) << host.output();
  PTempDir local;
  writeFile(local / "a", patternBytes(5000));
  PClient client;
  ASSERT_EQ(0, client.connect(host.endpoint()));
  EXPECT_FALSE(client.hasFileOps());
  EXPECT_TRUE(client.isConnected()) << "connected again after the host's refusal";
  PTransferOptions verify;
  verify.fVerify = true;
  EXPECT_EQ(ERR_CLIENT_NO_FILEOPS, client.upload(PSource::file(local / "a"), host.data("a"), verify));
  std::vector<PClientError> errors;
  EXPECT_EQ(ERR_CLIENT_NO_FILEOPS, client.uploadFiles({PFileJob{local / "a", host.data("a"), 0600}}, {}, errors)) << "modes need the module";
  ASSERT_EQ(0, client.uploadFiles({PFileJob{local / "a", host.data("b")}}, {}, errors)) << client.lastError().message();
  EXPECT_EQ(readFile(local / "a"), readFile(host.data("b")));
  fs::remove(host.data("b"));
  ASSERT_EQ(0, client.upload(PSource::file(local / "a"), host.data("a"), {})) << client.lastError().message();
  PRemoteStat stat;
  ASSERT_EQ(0, client.stat(host.data("a"), stat));
  EXPECT_TRUE(stat.fKind == PRemoteKind::kFile && stat.fSize == 5000 && stat.fMode == -1);
  std::vector<PTreeEntry> tree;
  ASSERT_EQ(0, client.listTree(host.data(), tree));
  ASSERT_EQ(1u, tree.size());
  EXPECT_TRUE(tree[0].fPath == "a" && tree[0].fStat.fSize == 5000);
  ASSERT_EQ(0, client.download(host.data("a"), PSink::file(local / "b"), {}));
  EXPECT_EQ(readFile(local / "a"), readFile(local / "b"));
  ASSERT_EQ(0, client.removeTree(host.data("a")));
  client.close();
  ASSERT_EQ(0, client.connect(host.endpoint()));
  EXPECT_FALSE(client.hasFileOps()) << "remembered for the endpoint";
  host.stop();
  EXPECT_EQ(1u, [&] {
    const std::string output = host.output();
    size_t count = 0;
    for (size_t at = output.find("no module is bound"); at != std::string::npos; at = output.find("no module is bound", at + 1)) ++count;
    return count;
  }()) << "asked once";
}
