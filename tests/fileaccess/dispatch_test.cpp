// Event handling: the topic and event checks, the dispatch table, exactly
// one reply per request, and the byte order of reply values.

#include <gtest/gtest.h>

#include "PFakeFramework.h"
#include "PTestSupport.h"
#include "zevo/PEndian.h"

namespace {

const std::wstring kModule = L"com.quorbex.zevo.fileaccess";

class Dispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, harness.start(dir.wide() + L"/", L"", L"", L""));
    harness.fLogger.clear();
  }
  PTempDir dir;
  PPluginHarness harness;
};

}  // namespace

TEST_F(Dispatch, IgnoresOtherTopicsAndNullEvents) {
  EXPECT_TRUE(harness.deliver(2002, PPayload().str(dir.wide(L"x")).data(), L"com.quorbex.zevo.other").empty());
  EXPECT_TRUE(harness.deliver(2002, PPayload().str(dir.wide(L"x")).data(), L"com.quorbex.zevo.fileaccess.topi").empty());
  EXPECT_TRUE(harness.fLogger.lines().empty()) << "another topic is ignored silently";

  harness.listener()->notify(PLiteral(L"com.quorbex.zevo.fileaccess.topic"), nullptr, 0);
  EXPECT_EQ(0u, harness.fComms.replyCount());
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_ERROR,
                                  L"[notify] Expects nont empty iParam1 topic: com.quorbex.zevo.fileaccess.topic"));
}

TEST_F(Dispatch, UnknownActionsGetAnEmptySuccess) {
  for (uint32_t action : {0u, 1000u, 1005u, 2000u, 2008u, 0x80000000u | 1001u, 0xFFFFFFFFu, 3001u}) {
    SCOPED_TRACE(action);
    harness.fLogger.clear();
    PCommsMessage reply = harness.call(action, PPayload().str(dir.wide(L"x")).data());
    EXPECT_EQ(0, statusOf(reply));
    EXPECT_EQ(L"", moduleOf(reply));
    EXPECT_TRUE(reply.fData.empty());
    EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[notify] Response status [0]"));
    EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[notify] Response datasize[0]"));
  }
}

TEST_F(Dispatch, UnreadableRequestsReturnTheReaderCodeUntouched) {
  for (uint32_t action : {1001u, 1002u, 1003u, 1004u, 2001u, 2002u, 2003u, 2005u, 2006u, 2007u}) {
    SCOPED_TRACE(action);
    for (const std::vector<unsigned char>& payload :
         {std::vector<unsigned char>{}, PPayload().raw({0x03, 0xE8, 0x03, 0x00}).data()}) {
      PCommsMessage reply = harness.call(action, payload);
      EXPECT_EQ(ERR_DATA_SHORT, statusOf(reply));
      EXPECT_EQ(L"", moduleOf(reply));
      EXPECT_TRUE(reply.fData.empty());
    }
    // A payload long enough but of the wrong kind.
    PCommsMessage reply = harness.call(action, PPayload().raw({0x02, 0, 0, 0, 0, 0}).data());
    EXPECT_EQ(ERR_DATA_TYPE, statusOf(reply));
    EXPECT_EQ(L"", moduleOf(reply));
  }
  // String actions also refuse text that is not UTF-8.
  PCommsMessage reply = harness.call(2002, PPayload().raw({0x86, 2, 0, 0, 0, 0xC3, 0x28}).data());
  EXPECT_EQ(ERR_DATA_ENCODING, statusOf(reply));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_ERROR, L"[actionIsExists] Error reading fileName [-9003]"));
}

TEST_F(Dispatch, ListDirJudgesAnUnreadablePathAsEmpty) {
  // The empty path is judged as lying in "/", which this policy refuses.
  PCommsMessage reply = harness.call(2004, {});
  EXPECT_EQ(ERR_ACCESS_DENIED, statusOf(reply));
  EXPECT_EQ(kModule, moduleOf(reply));
  EXPECT_EQ(std::vector<unsigned char>({0x87, 0, 0, 0, 0}), reply.fData);

  PPluginHarness rooted;
  ASSERT_EQ(0, rooted.start(L"", L"", L"/", L""));
  reply = rooted.call(2004, {});
  EXPECT_EQ(ERR_FAILED, statusOf(reply)) << "the empty path is not a directory";
  EXPECT_TRUE(replyStrings(reply).empty());
  EXPECT_TRUE(rooted.fLogger.has(LOG_LEVEL_DEBUG, L"[actionListDir] The parent is file."));
}

TEST_F(Dispatch, LogsTheRequestAndTheReply) {
  writeFile(dir / "a.txt", patternBytes(3));
  const std::vector<unsigned char> payload = PPayload().str(dir.wide(L"a.txt")).data();
  std::vector<PSentReply> replies = harness.deliver(2002, payload);
  ASSERT_EQ(1u, replies.size());
  EXPECT_EQ(kModule, moduleOf(replies[0].fMessage));
  EXPECT_EQ(0, statusOf(replies[0].fMessage));
  const std::wstring id = std::to_wstring(replies[0].fResponseID);
  EXPECT_TRUE(harness.fLogger.has(
      LOG_LEVEL_DEBUG,
      L"[notify] Message fAction [2002], size [" + std::to_wstring(payload.size()) + L"], responseID [" + id + L"]"));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[notify] fTargetID: test/7"));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[notify] fUint32: 2002"));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[notify] Response status [0]"));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[notify] Response datasize[2]"));
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_DEBUG, L"[notify] Response sent"));
}

TEST_F(Dispatch, AFailedSendLeavesTheServiceServing) {
  harness.fComms.fSendResult = -4005;
  EXPECT_EQ(1u, harness.deliver(2002, PPayload().str(dir.wide(L"x")).data()).size());
  EXPECT_TRUE(harness.fLogger.has(LOG_LEVEL_ERROR, L"[notify] Error sending response"));
  harness.fComms.fSendResult = 0;
  PCommsMessage reply = harness.call(2002, PPayload().str(dir.wide(L"x")).data());
  EXPECT_EQ(0, statusOf(reply));
}

TEST_F(Dispatch, ReplyValuesFollowTheByteOrderRule) {
  writeFile(dir / "five", patternBytes(5000));
  const std::vector<unsigned char> little = {0x04, 0x88, 0x13, 0, 0, 0, 0, 0, 0};
  const std::vector<unsigned char> reversed = {0x04, 0, 0, 0, 0, 0, 0, 0x13, 0x88};
  EXPECT_EQ(little, harness.call(2001, PPayload().str(dir.wide(L"five")).data()).fData);

  // As on a host whose payload values are reversed: the request is written
  // and the reply read under the same rule.
  zevoSetEndiannessOverride(1);
  PCommsMessage reply = harness.call(2001, PPayload().str(dir.wide(L"five")).data());
  zevoSetEndiannessOverride(-1);
  EXPECT_EQ(0, statusOf(reply));
  EXPECT_EQ(reversed, reply.fData);
}
