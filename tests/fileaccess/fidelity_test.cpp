// What a host built only to the service's documented framework calls can
// observe: the logger operations called.

#include <gtest/gtest.h>

#include <atomic>

#include "PServiceTest.h"
#include "zevo/zevoGetInstance.h"

namespace {

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

}  // namespace

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
