// zevocompare: zevofa and libzevoclient against the tools their users know,
// measured in the same run on the same machine: a download against read()
// and against sftp (its own server run directly, no ssh), an atomic upload
// against a plain one, a tree put against sftp's put -r and rsync -a, and a
// sync of a tree where few files changed against rsync -a.
//
//   zevocompare [--size MIB] [--repeat N]
//
// It starts its own zevohost with both plug-ins on a temporary directory.

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PBenchHost.h"
#include "zevo/client/PClient.h"

extern char** environ;

namespace {

const char* const kSftpServer = "/usr/lib/openssh/sftp-server";

void check(int iResult, PClient& iClient, const char* iWhat) {
  if (iResult != 0) die(std::string(iWhat) + ": " + iClient.lastError().message());
}

// Runs iArgs (standard output and error to /dev/null): seconds, or -1 when
// the program cannot run or fails.
double timed(std::vector<std::string> iArgs) {
  std::vector<char*> argv;
  for (std::string& arg : iArgs) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = BenchClock::now();
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (spawned != 0 || waitpid(pid, &status, 0) != pid) return -1;
  const double seconds = secondsSince(start);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

// sftp running its server directly (no ssh), with the commands of iBatch.
double sftp(const std::string& iRoot, const std::string& iBatch) {
  if (::access(kSftpServer, X_OK) != 0) return -1;
  const std::string batch = iRoot + "/sftp.batch";
  std::ofstream(batch) << iBatch << "\n";
  return timed({"/usr/bin/sftp", "-q", "-D", kSftpServer, "-b", batch});
}

void writeBytes(const std::string& iPath, size_t iSize, unsigned iSeed) {
  std::vector<char> bytes(iSize);
  for (size_t i = 0; i < iSize; ++i) bytes[i] = static_cast<char>((i + iSeed) * 2654435761u >> 13);
  std::ofstream(iPath, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(iSize));
}

// iDirs directories of iFiles files of iSize bytes each under iRoot.
void makeTree(const std::string& iRoot, int iDirs, int iFiles, size_t iSize) {
  for (int d = 0; d < iDirs; ++d) {
    const std::string dir = iRoot + "/d" + std::to_string(d);
    std::filesystem::create_directories(dir);
    for (int f = 0; f < iFiles; ++f) writeBytes(dir + "/f" + std::to_string(f), iSize, static_cast<unsigned>(d * iFiles + f));
  }
}

double readRate(const std::string& iPath) {
  const int fd = ::open(iPath.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<char> buffer(1 << 20);
  long long total = 0;
  const auto start = BenchClock::now();
  for (ssize_t got; (got = ::read(fd, buffer.data(), buffer.size())) > 0;) total += got;
  const double seconds = secondsSince(start);
  ::close(fd);
  return total / 1048576.0 / seconds;
}

double downloadRate(const std::string& iEndpoint, const std::string& iPath) {
  PClient client;
  check(client.connect(iEndpoint), client, "connect");
  PTransferResult result;
  const auto start = BenchClock::now();
  check(client.download(iPath, PSink::callback([](const unsigned char*, size_t) { return 0; }), {}, {}, &result), client,
        "download");
  return result.fBytes / 1048576.0 / secondsSince(start);
}

// An upload of the local file: atomic (file operations) or plain (the
// file-access transfer, its default chunk): seconds.
double uploadTime(const std::string& iEndpoint, const std::string& iLocal, const std::string& iRemote, bool iAtomic) {
  PClient client;
  check(client.connect(iEndpoint), client, "connect");
  const auto start = BenchClock::now();
  check(iAtomic ? client.upload(PSource::file(iLocal), iRemote, {}) : client.put(PSource::file(iLocal), iRemote), client, "upload");
  const double seconds = secondsSince(start);
  std::filesystem::remove(iRemote);
  return seconds;
}

// Changes iCount files of the tree (round iRound picks which): new bytes
// of the same size.
void touchTree(const std::string& iRoot, int iDirs, int iFiles, int iCount, int iRound) {
  for (int i = 0; i < iCount; ++i) {
    const int n = (iRound * iCount + i) * 97 % (iDirs * iFiles);
    const std::string path = iRoot + "/d" + std::to_string(n / iFiles) + "/f" + std::to_string(n % iFiles);
    writeBytes(path, static_cast<size_t>(std::filesystem::file_size(path)), static_cast<unsigned>(iRound + 7));
  }
}

struct PRow {
  const char* fName;
  const char* fUnit;
  std::vector<double> fValues, fBaselines;
  const char* fBaselineName;
  const char* fGoal;
  bool fRatioOfBaseline = false;  // ratio printed as baseline / value (times)
};

void print(const std::vector<PRow>& iRows) {
  std::printf("%-34s %10s %6s   %-22s %10s %8s   %s\n", "measure", "median", "unit", "baseline", "median", "ratio", "goal");
  for (const PRow& row : iRows) {
    if (row.fValues.empty()) continue;
    const double value = median(row.fValues), baseline = median(row.fBaselines);
    char ratio[32] = "-";
    if (baseline > 0) std::snprintf(ratio, sizeof ratio, "%.2f", row.fRatioOfBaseline ? baseline / value : value / baseline);
    std::printf("%-34s %10.3f %6s   %-22s %10.3f %8s   %s\n", row.fName, value, row.fUnit, row.fBaselineName, baseline, ratio, row.fGoal);
  }
}

}  // namespace

int main(int argc, char** argv) {
  long long sizeMiB = 256;
  int repeat = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--size" && i + 1 < argc) {
      sizeMiB = std::atoll(argv[++i]);
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "Usage: zevocompare [--size MIB] [--repeat N]\n");
      return arg == "-h" || arg == "--help" ? 0 : 2;
    }
  }
  if (sizeMiB < 1 || repeat < 1) die("bad arguments (see --help)");
  char pattern[] = "/tmp/zevocompare-XXXXXX";
  if (mkdtemp(pattern) == nullptr) die("cannot make a temporary directory");
  const std::string root = pattern, data = root + "/data", local = root + "/local";
  std::filesystem::create_directories(data);
  std::filesystem::create_directories(local);
  PBenchHost host;
  host.start(root, false, true);
  const std::string endpoint = host.fEndpoint;
  std::fprintf(stderr, "zevocompare: preparing %lld MiB, a tree of 2,000 files and one of 10,000 in %s\n", sizeMiB, root.c_str());
  const std::string big = data + "/big.bin", bigLocal = local + "/big.bin";
  writeBytes(big, static_cast<size_t>(sizeMiB << 20), 1);
  std::filesystem::copy_file(big, bigLocal);
  makeTree(local + "/tree", 20, 100, 4096);
  makeTree(local + "/sync", 100, 100, 1024);
  const std::string zevofa = ZEVOFA;
  if (timed({zevofa, "-q", "-e", endpoint, "sync", local + "/sync", ":" + data + "/sync"}) < 0 ||
      timed({"/usr/bin/rsync", "-a", local + "/sync/", root + "/rsync-sync/"}) < 0) {
    die("the first sync failed (is rsync installed?)");
  }
  readRate(big);  // warm the page cache

  PRow down{"download, default chunk", "MiB/s", {}, {}, "read() 1 MiB", ">= 0.7"};
  PRow downSftp{"download, default chunk", "MiB/s", {}, {}, "sftp get to /dev/null", ">= 3"};
  PRow atomic{"upload, atomic", "s", {}, {}, "upload, plain", "<= 1.10"};
  PRow tree{"put -r, 2,000 x 4 KiB in 20 dirs", "s", {}, {}, "sftp put -r", "< 1", };
  PRow treeRsync{"put -r, 2,000 x 4 KiB in 20 dirs", "s", {}, {}, "rsync -a (local)", "<= 1.5"};
  PRow sync{"sync, 100 of 10,000 changed", "s", {}, {}, "rsync -a (local)", "<= 1.5"};
  for (int round = 0; round < repeat; ++round) {
    std::fprintf(stderr, "zevocompare: round %d of %d\n", round + 1, repeat);
    down.fBaselines.push_back(readRate(big));
    down.fValues.push_back(downloadRate(endpoint, big));
    downSftp.fValues.push_back(down.fValues.back());
    const double seconds = sftp(root, "get " + big + " /dev/null");
    if (seconds > 0) downSftp.fBaselines.push_back((sizeMiB << 20) / 1048576.0 / seconds);
    atomic.fValues.push_back(uploadTime(endpoint, bigLocal, data + "/up.bin", true));
    atomic.fBaselines.push_back(uploadTime(endpoint, bigLocal, data + "/up.bin", false));
    std::filesystem::remove_all(data + "/tree");
    tree.fValues.push_back(timed({zevofa, "-q", "-e", endpoint, "put", "-r", local + "/tree", data + "/tree"}));
    treeRsync.fValues.push_back(tree.fValues.back());
    std::filesystem::remove_all(root + "/sftp-tree");
    std::filesystem::create_directories(root + "/sftp-tree");
    const double sftpTree = sftp(root, "put -r " + local + "/tree " + root + "/sftp-tree/tree");
    if (sftpTree > 0) tree.fBaselines.push_back(sftpTree);
    std::filesystem::remove_all(root + "/rsync-tree");
    treeRsync.fBaselines.push_back(timed({"/usr/bin/rsync", "-a", local + "/tree/", root + "/rsync-tree/"}));
    touchTree(local + "/sync", 100, 100, 100, round);
    sync.fValues.push_back(timed({zevofa, "-q", "-e", endpoint, "sync", local + "/sync", ":" + data + "/sync"}));
    sync.fBaselines.push_back(timed({"/usr/bin/rsync", "-a", local + "/sync/", root + "/rsync-sync/"}));
  }
  for (PRow* row : {&atomic, &tree, &treeRsync, &sync}) row->fRatioOfBaseline = false;
  std::printf("zevocompare: %lld MiB, %d rounds, medians; ratio = median / baseline\n\n", sizeMiB, repeat);
  print({down, downSftp, atomic, tree, treeRsync, sync});
  host.stop();
  std::filesystem::remove_all(root);
  return 0;
}
