// Micro-benchmarks of the hot paths: payload elements, frames, the access
// check, and one request through notify without the transport; and a whole
// upload through notify with and without the flush of its close.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "PBenchFramework.h"
#include "PFileAccess.h"
#include "PFileAccessNames.h"
#include "zevo/ICommsEvent.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/portinglayer/PSysCalls.h"
#include "zevo/protocol/PFrame.h"

// Reaches the service's access check.
struct PFileAccessProbe {
  static unsigned int checkMode(PFileAccess& iService, const PLiteral& iPath) { return iService.checkMode(iPath); }
};

namespace {

// A device-like policy: a few plain and many recursive entries.
const char kPolicy[] =
    "fileaccess.read = /etc/zevo, /var/run/zevo, /proc/self, /sys/class/net, /boot\n"
    "fileaccess.write = /var/run/zevo, /tmp/exchange, /var/spool/outbox\n"
    "fileaccess.read.recursive = /usr/share/zevo, /opt/app/config, /var/log/app, /var/log/system, /media/usb0, "
    "/media/usb1, /mnt/sdcard, /home/service, /srv/update, %DATA%\n"
    "fileaccess.write.recursive = /var/log/app, /media/usb0, /mnt/sdcard, /srv/update, %DATA%\n";

// A temporary configuration and data directory for the process.
struct PBenchDirs {
  PBenchDirs() {
    char pattern[] = "/tmp/zevo-bench-XXXXXX";
    fRoot = mkdtemp(pattern);
    std::filesystem::create_directories(fRoot + "/etc");
    std::filesystem::create_directories(fRoot + "/data/sub");
    std::string policy = kPolicy;
    policy.replace(policy.find("%DATA%"), 6, fRoot + "/data");
    policy.replace(policy.find("%DATA%"), 6, fRoot + "/data");
    std::ofstream(fRoot + "/etc/zevop.fileaccess.conf") << policy;
    std::ofstream file(fRoot + "/data/sub/file.bin", std::ios::binary);
    std::string block(1 << 20, 'x');
    file << block;
  }
  ~PBenchDirs() { std::filesystem::remove_all(fRoot); }
  std::string fRoot;
};

PBenchDirs& dirs() {
  static PBenchDirs instance;
  return instance;
}

class PBenchEvent : public ICommsEvent {
 public:
  void incRef() override {}
  void decRef() override {}
  const PCommsTarget* getTargetID() override { return &fTarget; }
  const PCommsMessage* getMessage() override { return &fMessage; }
  int getResponseID() override { return 1; }
  PCommsTarget fTarget;
  PCommsMessage fMessage;
};

std::wstring wide(const std::string& iText) { return std::wstring(iText.begin(), iText.end()); }

}  // namespace

static void BM_WriteElements(benchmark::State& iState) {
  const std::vector<unsigned char> chunk(8192, 0x5A);
  const PString path(L"/var/log/app/2026/12/06/service.log");
  std::vector<unsigned char> payload;
  for (auto _ : iState) {
    payload.clear();
    PDataWriter writer(payload);
    writer.writeString(path);
    writer.writeInt32(4242);
    writer.writeInt64(5000000000LL);
    writer.writeBool(true);
    writer.writeBytes(chunk.data(), chunk.size());
    benchmark::DoNotOptimize(payload.data());
  }
  iState.SetBytesProcessed(static_cast<int64_t>(iState.iterations()) * static_cast<int64_t>(payload.size()));
}
BENCHMARK(BM_WriteElements);

static void BM_ReadElements(benchmark::State& iState) {
  std::vector<unsigned char> payload;
  PDataWriter writer(payload);
  writer.writeString(PLiteral(L"/var/log/app/2026/12/06/service.log"));
  writer.writeInt32(4242);
  writer.writeInt64(5000000000LL);
  writer.writeBool(true);
  writer.writeBytes(std::vector<unsigned char>(8192, 0x5A));
  for (auto _ : iState) {
    PDataReader reader(payload);
    PString path;
    int mode = 0;
    long long size = 0;
    bool flag = false;
    const unsigned char* bytes = nullptr;
    size_t count = 0;
    reader.readString(path);
    reader.readInt32(mode);
    reader.readInt64(size);
    reader.readBool(flag);
    reader.readBytesView(bytes, count);
    benchmark::DoNotOptimize(bytes);
  }
  iState.SetBytesProcessed(static_cast<int64_t>(iState.iterations()) * static_cast<int64_t>(payload.size()));
}
BENCHMARK(BM_ReadElements);

static void BM_ParseFrame(benchmark::State& iState) {
  std::vector<unsigned char> stream;
  std::vector<unsigned char> payload;
  PDataWriter(payload).writeInt32(12345);
  PDataWriter(payload).writeInt32(8192);
  for (int i = 0; i < 64; ++i) {
    PFrame::append(stream, FRAME_REQUEST, static_cast<uint32_t>(i), kGetNextFileData, kFileAccessModule,
                   payload.data(), payload.size());
  }
  for (auto _ : iState) {
    size_t at = 0;
    PFrameView frame;
    size_t needed = 0;
    while (at < stream.size() && PFrame::parse(stream.data() + at, stream.size() - at, kDefaultFrameMax, frame, needed) == 0) {
      at += frame.fSize;
    }
    benchmark::DoNotOptimize(at);
  }
  iState.SetItemsProcessed(static_cast<int64_t>(iState.iterations()) * 64);
}
BENCHMARK(BM_ParseFrame);

static void BM_CheckMode(benchmark::State& iState) {
  PBenchFramework framework(dirs().fRoot + "/etc");
  // Reference counted: the dispatcher holds a reference too once it runs.
  PFileAccess* service = new PFileAccess();
  service->incRef();
  if (service->init() != 0) {
    service->decRef();
    iState.SkipWithError("the service did not start");
    return;
  }
  const PString granted(wide(dirs().fRoot + "/data/sub/deeper/").c_str());
  const PString refused(L"/etc/ssh/");
  bool flip = false;
  for (auto _ : iState) {
    benchmark::DoNotOptimize(PFileAccessProbe::checkMode(*service, flip ? granted : refused));
    flip = !flip;
  }
  service->decRef();
  iState.SetItemsProcessed(static_cast<int64_t>(iState.iterations()));
}
BENCHMARK(BM_CheckMode);

// One request through notify: IsExists or GetFileSize of a file.
static void BM_Notify(benchmark::State& iState) {
  PBenchFramework framework(dirs().fRoot + "/etc");
  if (!framework.ok()) {
    iState.SkipWithError("the plug-in did not start");
    return;
  }
  const PString topic(kFileAccessTopic);
  PBenchEvent event;
  event.fMessage.fModuleID = kFileAccessModuleW;
  event.fMessage.fUint32 = static_cast<uint32_t>(iState.range(0));
  PDataWriter(event.fMessage.fData).writeString(PLiteral(wide(dirs().fRoot + "/data/sub/file.bin").c_str()));
  for (auto _ : iState) framework.dispatcher().deliver(topic, &event);
  if (framework.fComms.fLastStatus != 0) iState.SkipWithError("requests failed");
  iState.SetItemsProcessed(static_cast<int64_t>(iState.iterations()));
}
BENCHMARK(BM_Notify)->Arg(kIsExists)->Arg(kGetFileSize);

// GetNextFileData of 8 KiB through notify, the transfer reopened at the end
// of its 1 MiB file.
static void BM_NotifyChunk(benchmark::State& iState) {
  PBenchFramework framework(dirs().fRoot + "/etc");
  if (!framework.ok()) {
    iState.SkipWithError("the plug-in did not start");
    return;
  }
  const PString topic(kFileAccessTopic);
  PBenchEvent open;
  open.fMessage.fUint32 = kStartFileTransfer;
  PDataWriter(open.fMessage.fData).writeString(PLiteral(wide(dirs().fRoot + "/data/sub/file.bin").c_str()));
  PDataWriter(open.fMessage.fData).writeInt32(1);
  PBenchEvent next, close;
  next.fMessage.fUint32 = kGetNextFileData;
  close.fMessage.fUint32 = kCloseFileTransfer;
  auto reopen = [&] {
    framework.fComms.fKeep = true;
    framework.dispatcher().deliver(topic, &open);
    framework.fComms.fKeep = false;
    int id = 0;
    PDataReader(framework.fComms.fLastData).readInt32(id);
    next.fMessage.fData.clear();
    PDataWriter(next.fMessage.fData).writeInt32(id);
    PDataWriter(next.fMessage.fData).writeInt32(8192);
    close.fMessage.fData.clear();
    PDataWriter(close.fMessage.fData).writeInt32(id);
  };
  reopen();
  for (auto _ : iState) {
    framework.dispatcher().deliver(topic, &next);
    if (framework.fComms.fLastStatus != 0) {
      iState.PauseTiming();
      framework.dispatcher().deliver(topic, &close);
      reopen();
      iState.ResumeTiming();
    }
  }
  framework.dispatcher().deliver(topic, &close);
  iState.SetBytesProcessed(static_cast<int64_t>(iState.iterations()) * 8192);
}
BENCHMARK(BM_NotifyChunk);

// A whole upload of a new file through notify: StartFileTransfer (mode 2),
// SetNextFileData of 64 KiB blocks, CloseFileTransfer; the file is removed
// outside the timing (emptying an existing file instead would wait for the
// write-back of its old pages). With flush 0 the close's fdatasync is
// replaced by a no-op through the layer's system-call table: the same upload
// without the flush, for the ratio. Wall-clock time: the flush waits. Each
// case starts once the system has written back what earlier ones left.
static void BM_NotifyUpload(benchmark::State& iState) {
  PBenchFramework framework(dirs().fRoot + "/etc");
  if (!framework.ok()) {
    iState.SkipWithError("the plug-in did not start");
    return;
  }
  const long long size = iState.range(0) * 1024;
  PSysCallsScope restore;
  if (iState.range(1) == 0) PSysCalls::table().fFdatasync = [](int) { return 0; };
  const PString topic(kFileAccessTopic);
  const std::string path = dirs().fRoot + "/data/sub/upload.bin";
  PBenchEvent open, put, close;
  open.fMessage.fUint32 = kStartFileTransfer;
  PDataWriter(open.fMessage.fData).writeString(PLiteral(wide(path).c_str()));
  PDataWriter(open.fMessage.fData).writeInt32(2);
  put.fMessage.fUint32 = kSetNextFileData;
  close.fMessage.fUint32 = kCloseFileTransfer;
  const std::vector<unsigned char> block(64 * 1024, 0x5A);
  bool failed = false;
  ::sync();
  for (auto _ : iState) {
    framework.fComms.fKeep = true;
    framework.dispatcher().deliver(topic, &open);
    framework.fComms.fKeep = false;
    int id = 0;
    PDataReader(framework.fComms.fLastData).readInt32(id);
    put.fMessage.fData.clear();
    PDataWriter(put.fMessage.fData).writeInt32(id);
    PDataWriter(put.fMessage.fData).writeBytes(block);
    for (long long done = 0; done < size; done += static_cast<long long>(block.size())) {
      framework.dispatcher().deliver(topic, &put);
      failed = failed || framework.fComms.fLastStatus != 0;
    }
    close.fMessage.fData.clear();
    PDataWriter(close.fMessage.fData).writeInt32(id);
    framework.dispatcher().deliver(topic, &close);
    failed = failed || framework.fComms.fLastStatus != 0;
    iState.PauseTiming();
    ::unlink(path.c_str());
    iState.ResumeTiming();
  }
  if (failed) iState.SkipWithError("requests failed");
  iState.SetBytesProcessed(static_cast<int64_t>(iState.iterations()) * size);
}
BENCHMARK(BM_NotifyUpload)
    ->ArgNames({"KiB", "flush"})
    ->Args({64, 1})
    ->Args({64, 0})
    ->Args({1024, 1})
    ->Args({1024, 0})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

BENCHMARK_MAIN();
