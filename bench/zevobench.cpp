// zevobench: measures a real zevohost against the machine's own figures for
// the same work, measured in the same run, and prints medians and ratios.
//
//   zevobench [--size MIB] [--repeat N] [--endpoint ENDPOINT --data DIR]
//
// Without --endpoint it starts its own zevohost on a temporary directory,
// and a second one that serves plain TCP and TLS on 127.0.0.1, to compare
// the two (apart, so that the first one's memory is what it was).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "PBenchHost.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/client/PClient.h"
#include "zevo/protocol/PFileAccessProtocol.h"
#include "zevo/protocol/PFrame.h"

extern char** environ;

namespace {

using Clock = BenchClock;
using PHost = PBenchHost;

// What the benchmark's TLS client shows and checks (the tests' certificates).
const PClientTls kTls{ZEVO_TEST_CERTS "/ca.pem", ZEVO_TEST_CERTS "/client.pem", ZEVO_TEST_CERTS "/client.key"};

// --------------------------------------------------------- raw requests

// A blocking raw-frame connection, for pipelined small requests.
class PRaw {
 public:
  explicit PRaw(const std::string& iEndpoint) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, iEndpoint.substr(5).c_str(), sizeof address.sun_path - 1);
    fFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) die("raw connect failed");
  }
  ~PRaw() { ::close(fFd); }

  void send(const std::vector<unsigned char>& iBytes) {
    size_t done = 0;
    while (done < iBytes.size()) {
      const ssize_t sent = ::send(fFd, iBytes.data() + done, iBytes.size() - done, MSG_NOSIGNAL);
      if (sent <= 0) die("raw send failed");
      done += static_cast<size_t>(sent);
    }
  }
  // Reads whole replies; the statuses of the replies read.
  int receive(int iCount, int& oFailures) {
    int got = 0;
    while (got < iCount) {
      PFrameView frame;
      size_t needed = 0;
      while (fStart < fEnd && PFrame::parse(fBuffer.data() + fStart, fEnd - fStart, 1 << 24, frame, needed) == 0) {
        if (static_cast<int32_t>(frame.fWord) != 0) ++oFailures;
        fStart += frame.fSize;
        if (++got == iCount) break;
      }
      if (got == iCount) break;
      if (fStart > 0) {
        std::memmove(fBuffer.data(), fBuffer.data() + fStart, fEnd - fStart);
        fEnd -= fStart;
        fStart = 0;
      }
      const ssize_t read = ::recv(fFd, fBuffer.data() + fEnd, fBuffer.size() - fEnd, 0);
      if (read <= 0) die("raw receive failed");
      fEnd += static_cast<size_t>(read);
    }
    return got;
  }

 private:
  int fFd = -1;
  std::vector<unsigned char> fBuffer = std::vector<unsigned char>(1 << 20);
  size_t fStart = 0, fEnd = 0;
};

std::vector<unsigned char> isExistsFrame(uint32_t iExchange, const std::string& iPath) {
  std::vector<unsigned char> payload;
  std::wstring wide(iPath.begin(), iPath.end());
  PDataWriter(payload).writeString(PLiteral(wide.c_str()));
  std::vector<unsigned char> frame;
  PFrame::append(frame, FRAME_REQUEST, iExchange, kIsExists, kFileAccessModule, payload.data(), payload.size());
  return frame;
}

// ------------------------------------------------------------- baselines

// Reading the file with plain 8 KiB read() calls: MiB/s.
double baselineRead(const std::string& iPath) {
  const int fd = ::open(iPath.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<char> buffer(8192);
  const auto start = Clock::now();
  long long total = 0;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got <= 0) break;
    total += got;
  }
  const double seconds = secondsSince(start);
  ::close(fd);
  return total / 1048576.0 / seconds;
}

// Writing a new file of iSize bytes with plain 64 KiB write() calls, then
// fdatasync() when iFlush (as the host's close of an upload does), then
// close(): seconds.
double writeFile(const std::string& iPath, long long iSize, bool iFlush) {
  static const std::vector<char> block(64 * 1024, 'w');
  const auto start = Clock::now();
  const int fd = ::open(iPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) die("baseline open failed");
  for (long long done = 0; done < iSize; done += static_cast<long long>(block.size())) {
    const size_t count = static_cast<size_t>(std::min<long long>(iSize - done, static_cast<long long>(block.size())));
    if (::write(fd, block.data(), count) != static_cast<ssize_t>(count)) die("baseline write failed");
  }
  if (iFlush && ::fdatasync(fd) != 0) die("baseline fdatasync failed");
  ::close(fd);
  return secondsSince(start);
}

// One file of iSize bytes written as above: MiB/s.
double baselineWrite(const std::string& iPath, long long iSize, bool iFlush) {
  const double rate = iSize / 1048576.0 / writeFile(iPath, iSize, iFlush);
  std::filesystem::remove(iPath);
  return rate;
}

// iCount new files of iSize bytes written as above, each removed once
// written (outside the time): files/s.
double baselineSmallFiles(const std::string& iDir, int iCount, long long iSize, bool iFlush) {
  double seconds = 0;
  for (int i = 0; i < iCount; ++i) {
    const std::string path = iDir + "/small-" + std::to_string(i);
    seconds += writeFile(path, iSize, iFlush);
    std::filesystem::remove(path);
  }
  return iCount / seconds;
}

// A bare 64-byte round trip over a Unix-domain socket to another process: µs.
double baselineRoundTrip(int iCount) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) die("socketpair failed");
  const pid_t child = fork();
  if (child == 0) {
    ::close(pair[0]);
    char buffer[64];
    for (;;) {
      size_t got = 0;
      while (got < sizeof buffer) {
        const ssize_t n = ::read(pair[1], buffer + got, sizeof buffer - got);
        if (n <= 0) _exit(0);
        got += static_cast<size_t>(n);
      }
      if (::write(pair[1], buffer, sizeof buffer) != sizeof buffer) _exit(0);
    }
  }
  ::close(pair[1]);
  char buffer[64] = {};
  const auto start = Clock::now();
  for (int i = 0; i < iCount; ++i) {
    if (::write(pair[0], buffer, sizeof buffer) != sizeof buffer) die("echo write failed");
    size_t got = 0;
    while (got < sizeof buffer) {
      const ssize_t n = ::read(pair[0], buffer + got, sizeof buffer - got);
      if (n <= 0) die("echo read failed");
      got += static_cast<size_t>(n);
    }
  }
  const double seconds = secondsSince(start);
  ::close(pair[0]);
  waitpid(child, nullptr, 0);
  return seconds * 1e6 / iCount;
}

// --------------------------------------------------------------- service

void check(int iResult, PClient& iClient, const char* iWhat) {
  if (iResult != 0) die(std::string(iWhat) + ": " + iClient.lastError().message());
}

void connectTo(PClient& ioClient, const std::string& iEndpoint) {
  if (iEndpoint.compare(0, 4, "tls:") == 0) ioClient.setTls(kTls);
  check(ioClient.connect(iEndpoint), ioClient, "connect");
}

double download(const std::string& iEndpoint, const std::string& iPath, int iChunk, int iWindow = 16) {
  PClientOptions options;
  options.fReadChunk = iChunk;
  options.fWindow = iWindow;
  PClient client(options);
  connectTo(client, iEndpoint);
  long long bytes = 0;
  const auto start = Clock::now();
  check(client.get(iPath, PSink::callback([](const unsigned char*, size_t) { return 0; }), {}, &bytes), client,
        "download");
  return bytes / 1048576.0 / secondsSince(start);
}

double upload(const std::string& iEndpoint, const std::string& iPath, long long iSize, int iChunk) {
  PClientOptions options;
  if (iChunk > 0) options.fWriteChunk = iChunk;
  PClient client(options);
  connectTo(client, iEndpoint);
  static const std::vector<unsigned char> block = [] {
    std::vector<unsigned char> bytes(1 << 20);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7 + (i >> 11));
    return bytes;
  }();
  long long left = iSize;
  auto source = PSource::callback(
      [&](unsigned char* oBytes, size_t iCapacity) -> long {
        const size_t count = static_cast<size_t>(std::min<long long>(left, std::min(iCapacity, block.size())));
        std::memcpy(oBytes, block.data(), count);
        left -= static_cast<long long>(count);
        return static_cast<long>(count);
      },
      iSize);
  long long bytes = 0;
  const auto start = Clock::now();
  check(client.put(source, iPath, {}, &bytes), client, "upload");
  return bytes / 1048576.0 / secondsSince(start);
}

// iCount uploads of new iSize-byte files, one after the other on one
// connection (PClient::put: open, blocks, close, size check), each removed
// once uploaded (outside the time): files/s.
double smallUploads(const std::string& iEndpoint, const std::string& iDir, int iCount, long long iSize) {
  PClient client;
  check(client.connect(iEndpoint), client, "connect");
  const std::vector<unsigned char> bytes(static_cast<size_t>(iSize), 's');
  double seconds = 0;
  for (int i = 0; i < iCount; ++i) {
    const std::string path = iDir + "/small-" + std::to_string(i);
    size_t at = 0;
    auto source = PSource::callback(
        [&](unsigned char* oBytes, size_t iCapacity) -> long {
          const size_t count = std::min(iCapacity, bytes.size() - at);
          std::memcpy(oBytes, bytes.data() + at, count);
          at += count;
          return static_cast<long>(count);
        },
        iSize);
    const auto start = Clock::now();
    check(client.put(source, path), client, "small upload");
    seconds += secondsSince(start);
    std::filesystem::remove(path);
  }
  return iCount / seconds;
}

double isExistsOneAtATime(const std::string& iEndpoint, const std::string& iPath, int iCount) {
  PClient client;
  check(client.connect(iEndpoint), client, "connect");
  bool exists = false;
  const auto start = Clock::now();
  for (int i = 0; i < iCount; ++i) check(client.exists(iPath, exists), client, "IsExists");
  return secondsSince(start) * 1e6 / iCount;
}

double isExistsPipelined(const std::string& iEndpoint, const std::string& iPath, int iCount, int iWindow) {
  PRaw raw(iEndpoint);
  const std::vector<unsigned char> one = isExistsFrame(1, iPath);
  std::vector<unsigned char> batch;
  for (int i = 0; i < iWindow; ++i) batch.insert(batch.end(), one.begin(), one.end());
  int failures = 0;
  const auto start = Clock::now();
  int sent = 0, received = 0;
  // Keep up to two batches in flight.
  while (received < iCount) {
    while (sent < iCount && sent - received < 2 * iWindow) {
      raw.send(batch);
      sent += iWindow;
    }
    received += raw.receive(iWindow, failures);
  }
  if (failures != 0) die("pipelined IsExists failed");
  return received / secondsSince(start);
}

double listing(const std::string& iEndpoint, const std::string& iDir, size_t iExpected) {
  PClient client;
  check(client.connect(iEndpoint), client, "connect");
  std::vector<std::string> names;
  const auto start = Clock::now();
  check(client.list(iDir, names), client, "ListDir");
  const double ms = secondsSince(start) * 1000;
  if (names.size() != iExpected) die("the listing has " + std::to_string(names.size()) + " entries");
  return ms;
}

void writeBigFile(const std::string& iPath, long long iSize) {
  std::ofstream out(iPath, std::ios::binary);
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 2654435761u) >> 13);
  for (long long done = 0; done < iSize; done += static_cast<long long>(block.size())) {
    out.write(block.data(), static_cast<std::streamsize>(std::min<long long>(iSize - done, block.size())));
  }
}

struct PRow {
  const char* fName;
  const char* fUnit;
  std::vector<double> fValues;
  double fBaseline = 0;  // 0: none
  const char* fBaselineName = "";
  const char* fTarget = "";
};

}  // namespace

int main(int argc, char** argv) {
  long long sizeMiB = 256;
  int repeat = 5;
  std::string endpoint, data;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--size" && i + 1 < argc) {
      sizeMiB = std::atoll(argv[++i]);
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else if (arg == "--endpoint" && i + 1 < argc) {
      endpoint = argv[++i];
    } else if (arg == "--data" && i + 1 < argc) {
      data = argv[++i];
    } else {
      std::fprintf(stderr,
                   "Usage: zevobench [--size MIB] [--repeat N] [--endpoint unix:PATH --data DIR]\n"
                   "Without --endpoint it starts its own zevohost; DIR must be writable by the host.\n");
      return arg == "-h" || arg == "--help" ? 0 : 2;
    }
  }
  if (sizeMiB < 1 || repeat < 1 || endpoint.empty() != data.empty()) die("bad arguments (see --help)");

  PHost host, network;
  std::string root;
  if (endpoint.empty()) {
    char pattern[] = "/tmp/zevobench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) die("cannot make a temporary directory");
    root = pattern;
    data = root + "/data";
    std::filesystem::create_directories(data);
    host.start(root);
    network.start(root, true);
    endpoint = host.fEndpoint;
  }
  const long long size = sizeMiB << 20;
  const std::string big = data + "/big.bin";
  std::fprintf(stderr, "zevobench: preparing %lld MiB and 10000 entries in %s\n", sizeMiB, data.c_str());
  writeBigFile(big, size);
  std::filesystem::create_directories(data + "/many");
  for (int i = 0; i < 10000; ++i) std::ofstream(data + "/many/entry-" + std::to_string(i));
  baselineRead(big);  // warm the page cache

  PRow readRate{"download, 8 KiB, window 16", "MiB/s", {}, 0, "read() 8 KiB", ">= 0.25"};
  PRow readRate64{"download, 8 KiB, window 64", "MiB/s", {}, 0, "read() 8 KiB", ">= 0.25"};
  PRow writeRate{"upload, default chunk", "MiB/s", {}, 0, "write()+fdatasync", ">= 1200 MiB/s"};
  PRow writeNoFlush{"write() 64 KiB, no flush", "MiB/s", {}, 0, "write()+fdatasync", ""};
  PRow smallRate{"upload, 64 KiB files", "files/s", {}, 0, "write()+fdatasync", ""};
  PRow smallNoFlush{"write() 64 KiB files, no flush", "files/s", {}, 0, "write()+fdatasync", ""};
  PRow oneAtATime{"IsExists one at a time", "us", {}, 0, "socket round trip", "<= 2"};
  PRow pipelined{"IsExists pipelined", "req/s", {}, 0, "", ">= 100000 req/s"};
  PRow list{"ListDir of 10000 entries", "ms", {}, 0, "", "< 20 ms"};
  PRow fourRss{"host RSS, four transfers", "KiB", {}, 0, "", "< 8192 KiB"};
  // TLS against plain TCP, both on 127.0.0.1 (own host only).
  PRow tcpDown{"download TCP, 8 KiB, w16", "MiB/s", {}, 0, "", ""};
  PRow tlsDown{"download TLS, 8 KiB, w16", "MiB/s", {}, 0, "TCP", ">= 0.7"};
  PRow tcpUp{"upload TCP, default chunk", "MiB/s", {}, 0, "", ""};
  PRow tlsUp{"upload TLS, default chunk", "MiB/s", {}, 0, "TCP", ""};
  std::vector<double> readBaselines, writeBaselines, smallBaselines, rttBaselines;
  constexpr int kSmallFiles = 200;
  constexpr long long kSmallSize = 64 * 1024;

  for (int round = 0; round < repeat; ++round) {
    std::fprintf(stderr, "zevobench: round %d of %d\n", round + 1, repeat);
    readBaselines.push_back(baselineRead(big));
    readRate.fValues.push_back(download(endpoint, big, 8192));
    readRate64.fValues.push_back(download(endpoint, big, 8192, 64));
    writeBaselines.push_back(baselineWrite(data + "/baseline.bin", size, true));
    writeNoFlush.fValues.push_back(baselineWrite(data + "/baseline.bin", size, false));
    writeRate.fValues.push_back(upload(endpoint, data + "/upload.bin", size, 0));
    std::filesystem::remove(data + "/upload.bin");
    smallBaselines.push_back(baselineSmallFiles(data, kSmallFiles, kSmallSize, true));
    smallNoFlush.fValues.push_back(baselineSmallFiles(data, kSmallFiles, kSmallSize, false));
    smallRate.fValues.push_back(smallUploads(endpoint, data, kSmallFiles, kSmallSize));
    rttBaselines.push_back(baselineRoundTrip(10000));
    oneAtATime.fValues.push_back(isExistsOneAtATime(endpoint, big, 10000));
    pipelined.fValues.push_back(isExistsPipelined(endpoint, big, 10000, 64));
    list.fValues.push_back(listing(endpoint, data + "/many", 10000));
    if (!network.fTls.empty()) {  // alternately, so that both see the same machine
      tcpDown.fValues.push_back(download(network.fTcp, big, 8192));
      tlsDown.fValues.push_back(download(network.fTls, big, 8192));
      tcpUp.fValues.push_back(upload(network.fTcp, data + "/upload.bin", size, 0));
      tlsUp.fValues.push_back(upload(network.fTls, data + "/upload.bin", size, 0));
      std::filesystem::remove(data + "/upload.bin");
    }

    // Four transfers at once (two down, two up) while the host's memory is sampled.
    std::atomic<bool> running{true};
    long peak = 0;
    std::thread sampler([&] {
      while (running) {
        peak = std::max(peak, host.memory("VmRSS:"));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    std::vector<std::thread> transfers;
    for (int k = 0; k < 2; ++k) {
      transfers.emplace_back([&] { download(endpoint, big, 8192); });
      transfers.emplace_back([&, k] { upload(endpoint, data + "/four-" + std::to_string(k), size / 4, 0); });
    }
    for (std::thread& transfer : transfers) transfer.join();
    running = false;
    sampler.join();
    if (peak > 0) fourRss.fValues.push_back(static_cast<double>(peak));
  }
  readRate.fBaseline = median(readBaselines);
  readRate64.fBaseline = readRate.fBaseline;
  writeRate.fBaseline = median(writeBaselines);
  writeNoFlush.fBaseline = writeRate.fBaseline;
  smallRate.fBaseline = median(smallBaselines);
  smallNoFlush.fBaseline = smallRate.fBaseline;
  oneAtATime.fBaseline = median(rttBaselines);
  tlsDown.fBaseline = median(tcpDown.fValues);
  tlsUp.fBaseline = median(tcpUp.fValues);

  std::printf("zevobench: %lld MiB file, %d rounds, medians\n\n", sizeMiB, repeat);
  std::printf("%-28s %12s %8s   %-26s %8s   %s\n", "measure", "median", "unit", "baseline (same run)", "ratio",
              "target");
  for (const PRow* row : {&readRate, &readRate64, &writeRate, &writeNoFlush, &smallRate, &smallNoFlush, &oneAtATime,
                          &pipelined, &list, &fourRss, &tcpDown, &tlsDown, &tcpUp, &tlsUp}) {
    if (row->fValues.empty()) continue;
    const double value = median(row->fValues);
    char baseline[64] = "";
    char ratio[32] = "";
    if (row->fBaseline > 0) {
      std::snprintf(baseline, sizeof baseline, "%s %.1f", row->fBaselineName, row->fBaseline);
      std::snprintf(ratio, sizeof ratio, "%.2f", value / row->fBaseline);
    }
    std::printf("%-28s %12.1f %8s   %-26s %8s   %s\n", row->fName, value, row->fUnit, baseline, ratio, row->fTarget);
  }
  if (host.fPid > 0) std::printf("\nhost peak resident memory over the run (VmHWM): %ld KiB\n", host.memory("VmHWM:"));

  host.stop();
  network.stop();
  if (!root.empty()) std::filesystem::remove_all(root);
  return 0;
}
