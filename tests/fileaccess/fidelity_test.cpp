// What a host built only to the service's documented framework calls can
// observe: the logger operations called, and events delivered on other
// threads from the moment the listener is added; what a peer's close sees
// of the flush and of close(2); and what the porting layer's files promise
// the service: a blocking descriptor. (A flush that fails is a case of
// tests/hardening/faults_test.cpp.)

#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>

#include "PServiceTest.h"
#include "portinglayer/PlTestSupport.h"
#include "zevo/PFile.h"
#include "zevo/portinglayer/PSysCalls.h"
#include "zevo/zevoGetInstance.h"

namespace {

int fcntlFails(int, int, int) {
  errno = EINVAL;
  return -1;
}

int gFlushErrno = 0;     // errno of the failing flushes
int gFlushFailures = 0;  // flushes still to fail
int gFlushes = 0;        // flushes asked for
int gCloseErrno = 0;     // errno of the next close, 0: none

int flushFake(int iFd) {
  ++gFlushes;
  if (gFlushFailures == 0) return PSysCalls::defaults().fFdatasync(iFd);
  --gFlushFailures;
  errno = gFlushErrno;
  return -1;
}

int closeFake(int iFd) {
  PSysCalls::defaults().fClose(iFd);  // released all the same, as Linux does
  if (gCloseErrno == 0) return 0;
  errno = std::exchange(gCloseErrno, 0);
  return -1;
}

class FidelityClose : public PServiceTest<> {};

// A logger that offers only getLogger, logError and logDebug: a host may
// hold anything in the other slots, so any call of them counts as a fault.
class PStrictLogger : public PCounted<ILogger> {
 public:
  int getLogger(const PLiteral&, PBaseptr<ILogger>& oTarget) override {
    oTarget = this;
    return 0;
  }
  int setLevel(int) override { return ++fOther; }
  int getLevel() override { return ++fOther; }
  void logInfo(int, const wchar_t*, const char*, ...) override { ++fOther; }
  void logWarning(int, const wchar_t*, const char*, ...) override { ++fOther; }
  void logError(int, const wchar_t*, const char*, ...) override { ++fLines; }
  void logDebug(int, const wchar_t*, const char*, ...) override { ++fLines; }

  std::atomic<int> fOther{0};
  std::atomic<int> fLines{0};
};

// Delivers events on its own thread from the moment a listener is added, and
// lets addListener return only once the first has been handled, so that
// startComms binds the comms interface while events keep arriving. Its
// counters are relaxed: they order nothing between the two threads, so a
// race detector still sees every unsynchronised access of the service.
class PEagerDispatcher : public PCounted<IEventDispatcher> {
 public:
  int addListener(const PLiteral&, IEventListener* iListener) override {
    fHeld = iListener;
    fThread = std::thread([this, iListener] {
      for (int id = 1; !fStop.load(std::memory_order_relaxed); ++id) {
        PFakeEvent event;
        event.fMessage.fUint32 = 9999;  // no handler: an empty reply
        event.fResponseID = id;
        iListener->notify(PLiteral(L"com.quorbex.zevo.fileaccess.topic"), &event, 0);
        EXPECT_EQ(0, event.refs());
        fDelivered.fetch_add(1, std::memory_order_relaxed);
      }
    });
    while (fDelivered.load(std::memory_order_relaxed) == 0) std::this_thread::yield();
    return 0;
  }
  int removeListener(const PLiteral&, IEventListener*) override { return 0; }
  // Lets iMore further events through, then stops delivering.
  void stopAfter(int iMore) {
    if (!fThread.joinable()) return;
    const int until = fDelivered.load(std::memory_order_relaxed) + iMore;
    while (fDelivered.load(std::memory_order_relaxed) < until) std::this_thread::yield();
    fStop.store(true, std::memory_order_relaxed);
    fThread.join();
    fHeld = static_cast<IEventListener*>(nullptr);
  }

  std::atomic<int> fDelivered{0};

 private:
  std::atomic<bool> fStop{false};
  std::thread fThread;
  PBaseptr<IEventListener> fHeld;
};

}  // namespace

TEST(Fidelity, EventsDeliveredWhileTheCommsInterfaceIsBoundSeeNoneOrTheBoundOne) {
  PEagerDispatcher dispatcher;
  {
    PPluginHarness harness;  // no logger: nothing orders the two threads
    harness.registerConfigManager();
    harness.registerComms();
    ASSERT_EQ(0, zevoRegisterInstance(PLiteral(ZEVO_ID_EVENT_DISPATCHER), &dispatcher));
    harness.setPolicy(L"", L"", L"", L"");
    EXPECT_EQ(0, harness.start());
    dispatcher.stopAfter(20);
    const size_t replies = harness.fComms.replyCount();
    EXPECT_GE(replies, 20u) << "the events after the binding are answered";
    EXPECT_LE(replies, static_cast<size_t>(dispatcher.fDelivered.load())) << "at most one reply per event";
  }
  EXPECT_EQ(0, dispatcher.refs());
}

TEST(Fidelity, TheServiceCallsNoLoggerOperationButGetLoggerLogErrorAndLogDebug) {
  PTempDir dir;
  writeFile(dir / "f", patternBytes(10000));
  PStrictLogger logger;
  {
    PPluginHarness harness;
    harness.registerConfigManager();
    harness.registerDispatcher();
    harness.registerComms();
    ASSERT_EQ(0, zevoRegisterInstance(PLiteral(ZEVO_ID_LOGGER), &logger));
    harness.setPolicy(L"", L"", dir.wide() + L"/", dir.wide() + L"/");
    ASSERT_EQ(0, harness.start());
    const std::wstring file = dir.wide(L"f"), copy = dir.wide(L"copy");
    const int down = replyInt32(harness.call(1001, PPayload().str(file).i32(1).data()));
    const int up = replyInt32(harness.call(1001, PPayload().str(copy).i32(2).data()));
    struct Request {
      uint32_t fAction;
      std::vector<unsigned char> fPayload;
    };
    const Request all[] = {
        {1002, PPayload().i32(down).i32(8192).data()},  // a chunk, then the last one
        {1002, PPayload().i32(down).i32(8192).data()},
        {1002, PPayload().i32(up).i32(10).data()},  // refused: not a read transfer
        {1003, PPayload().i32(up).bytes({1, 2, 3}).data()},
        {1003, PPayload().i32(down).bytes({1}).data()},  // refused: not a write transfer
        {1004, PPayload().i32(down).data()},
        {1004, PPayload().i32(up).data()},
        {2001, PPayload().str(file).data()},
        {2002, PPayload().str(file).data()},
        {2003, PPayload().str(file).data()},
        {2004, PPayload().str(dir.wide() + L"/").data()},
        {2006, PPayload().str(copy).data()},
        {1002, PPayload().data()},  // unreadable: an error line
        {9999, PPayload().data()},
    };
    for (const Request& request : all) harness.call(request.fAction, request.fPayload);
    EXPECT_GT(logger.fLines.load(), 0) << "the service logs";
  }
  EXPECT_EQ(0, logger.fOther.load()) << "a logger operation outside the service's documented calls";
  EXPECT_EQ(0, logger.refs());
}

TEST(Fidelity, ARegularFileIsOpenedBlockingOrNotAtAll) {
  PTempDir dir;
  writeText(dir / "f", "data");
  const int before = openDescriptorCount();
  const struct {
    unsigned int fMode;
    int fStatusFlags;  // besides the access mode
  } cases[] = {
      {PFile::MODE_READ_ONLY, 0},
      {PFile::MODE_WRITE_NEW, 0},
      {PFile::MODE_WRITE | PFile::MODE_APPEND, O_APPEND},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.fMode);
    PFile file;
    ASSERT_EQ(0, file.popen(widePath(dir, "f"), test.fMode, 1));
    const int flags = ::fcntl(descriptorOf(dir / "f"), F_GETFL);
    EXPECT_EQ(test.fStatusFlags, flags & (O_NONBLOCK | O_APPEND));
    EXPECT_EQ(0, file.pclose());

    PSysCallsScope restore;
    PSysCalls::table().fFcntl = fcntlFails;
    EXPECT_EQ(PERR_INVALID_ARG, file.popen(widePath(dir, "f"), test.fMode, 1));
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(before, openDescriptorCount()) << "the descriptor is closed again";
  }
}

TEST_F(FidelityClose, WhatAPeersCloseSeesOfTheFlushAndOfClose) {
  writeFile(dir / "data/f", patternBytes(100));
  const int before = openDescriptorCount();
  const struct {
    const char* fName;
    int fMode;
    int fFlushErrno;
    int fFlushFailures;
    int fCloseErrno;
    int fStatus;   // of the first close
    int fFlushes;  // it asked for
  } cases[] = {
      {"upload, flush interrupted once", 2, EINTR, 1, 0, 0, 2},
      {"upload, a file system that cannot flush", 2, EINVAL, 1, 0, 0, 1},
      {"upload, a read-only file system", 2, EROFS, 1, 0, 0, 1},
      {"upload, close(2) fails after the flush", 2, 0, 0, EIO, ERR_FAILED, 1},
      {"download, close(2) fails", 1, 0, 0, EIO, ERR_FAILED, 0},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.fName);
    const std::wstring path = t + (test.fMode == 1 ? L"/data/f" : L"/data/up");
    const int id = replyInt32(harness.call(1001, PPayload().str(path).i32(test.fMode).data()));
    gFlushErrno = test.fFlushErrno;
    gFlushFailures = test.fFlushFailures;
    gFlushes = 0;
    gCloseErrno = test.fCloseErrno;
    {
      PSysCallsScope restore;
      PSysCalls::table().fFdatasync = flushFake;
      PSysCalls::table().fClose = closeFake;
      EXPECT_EQ(test.fStatus, close(id));
    }
    EXPECT_EQ(test.fFlushes, gFlushes);
    EXPECT_EQ(before, openDescriptorCount()) << "the descriptor is released";
    EXPECT_EQ(0, close(id)) << "nothing left at risk, nothing left to close";
    EXPECT_EQ(ERR_FAILED, statusOf(next(id, 10))) << "the transfer is gone";
  }
}
