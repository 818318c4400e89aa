// Frame parsing and the event dispatcher's listeners.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "zevo/PErrors.h"
#include "zevo/core/PEventDispatcher.h"
#include "zevo/core/PFrame.h"

TEST(PFrame, ParsesWholeFramesAndAsksForTheRest) {
  std::vector<unsigned char> bytes;
  const unsigned char payload[] = {0x86, 1, 0, 0, 0, 'x'};
  PFrame::append(bytes, FRAME_REQUEST, 0x01020304, 2002, "mod", payload, sizeof payload);
  ASSERT_EQ(std::vector<unsigned char>({20, 0, 0, 0, 1, 4, 3, 2, 1, 0xD2, 0x07, 0, 0, 3, 0, 'm', 'o', 'd', 0x86, 1, 0,
                                        0, 0, 'x'}),
            bytes);

  // Every prefix asks for more; the whole frame parses.
  for (size_t size = 0; size < bytes.size(); ++size) {
    PFrameView frame;
    size_t needed = 0;
    ASSERT_EQ(1, PFrame::parse(bytes.data(), size, kDefaultFrameMax, frame, needed)) << size;
    EXPECT_GT(needed, size);
  }
  PFrameView frame;
  size_t needed = 0;
  bytes.push_back(0xEE);  // the start of the next frame stays
  ASSERT_EQ(0, PFrame::parse(bytes.data(), bytes.size(), kDefaultFrameMax, frame, needed));
  EXPECT_EQ(FRAME_REQUEST, frame.fKind);
  EXPECT_EQ(0x01020304u, frame.fExchange);
  EXPECT_EQ(2002u, frame.fWord);
  EXPECT_EQ("mod", std::string(frame.fModule, frame.fModuleLength));
  EXPECT_EQ(std::vector<unsigned char>(payload, payload + sizeof payload),
            std::vector<unsigned char>(frame.fPayload, frame.fPayload + frame.fPayloadLength));
  EXPECT_EQ(bytes.size() - 1, frame.fSize);
}

TEST(PFrame, RefusesBadLengths) {
  PFrameView frame;
  size_t needed = 0;
  const std::vector<unsigned char> shortLength = {10, 0, 0, 0, 1, 9, 0, 0, 0};
  EXPECT_EQ(ERR_COMMS_FRAME, PFrame::parse(shortLength.data(), shortLength.size(), 1000, frame, needed));
  EXPECT_EQ(9u, frame.fExchange) << "the exchange is known for the error frame";
  const std::vector<unsigned char> huge = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(ERR_COMMS_FRAME_SIZE, PFrame::parse(huge.data(), huge.size(), 1000, frame, needed));
  const std::vector<unsigned char> atLimit = {0xE9, 0x03, 0, 0};  // 1001
  EXPECT_EQ(ERR_COMMS_FRAME_SIZE, PFrame::parse(atLimit.data(), atLimit.size(), 1000, frame, needed));
  const std::vector<unsigned char> moduleTooLong = {11, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0};
  EXPECT_EQ(ERR_COMMS_FRAME, PFrame::parse(moduleTooLong.data(), moduleTooLong.size(), 1000, frame, needed));
}

namespace {

class Listener : public IEventListener {
 public:
  void incRef() override { ++fRefs; }
  void decRef() override { --fRefs; }
  void notify(const PLiteral& iTopic, IBase* iEvent, int) override {
    fTopics.emplace_back(iTopic.ptr(), iTopic.len());
    fEvents.push_back(iEvent);
  }
  std::atomic<int> fRefs{0};
  std::vector<std::wstring> fTopics;
  std::vector<IBase*> fEvents;
};

}  // namespace

TEST(PEventDispatcher, HoldsListenersAndDeliversByTopic) {
  Listener first, second, other;
  {
    PBaseptr<PEventDispatcher> dispatcher;
    ASSERT_EQ(0, PEventDispatcher::create(2, dispatcher));
    EXPECT_EQ(ERR_INVALID_ARG, dispatcher->addListener(PLiteral(L"t"), nullptr));
    ASSERT_EQ(0, dispatcher->addListener(PLiteral(L"t"), &first));
    ASSERT_EQ(0, dispatcher->addListener(PLiteral(L"t"), &second));
    ASSERT_EQ(0, dispatcher->addListener(PLiteral(L"u"), &other));
    EXPECT_EQ(ERR_ALREADY, dispatcher->addListener(PLiteral(L"t"), &first));
    EXPECT_EQ(1, first.fRefs.load());

    int event = 0;
    IBase* marker = reinterpret_cast<IBase*>(&event);
    EXPECT_EQ(2, dispatcher->deliver(PLiteral(L"t"), marker));
    EXPECT_EQ(0, dispatcher->deliver(PLiteral(L"none"), marker));
    EXPECT_EQ(std::vector<std::wstring>{L"t"}, first.fTopics);
    EXPECT_EQ(std::vector<IBase*>{marker}, second.fEvents);
    EXPECT_TRUE(other.fTopics.empty());
    EXPECT_EQ(1, first.fRefs.load()) << "delivery gives back what it takes";

    EXPECT_EQ(0, dispatcher->removeListener(PLiteral(L"t"), &first));
    EXPECT_EQ(ERR_NO_INSTANCE, dispatcher->removeListener(PLiteral(L"t"), &first));
    EXPECT_EQ(0, first.fRefs.load());
    EXPECT_EQ(1, dispatcher->deliver(PLiteral(L"t"), marker));
    EXPECT_EQ(1u, first.fTopics.size());
  }
  // The dispatcher's end gives back the listeners it still held.
  EXPECT_EQ(0, second.fRefs.load());
  EXPECT_EQ(0, other.fRefs.load());
}
