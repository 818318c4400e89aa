// The virtual slots of the framework interfaces. A plug-in built here calls
// a host built elsewhere to the same contract by slot, so each operation
// must sit in the slot the contract gives it.
#include <gtest/gtest.h>

#include <cstring>

#include "zevo/IComms.h"
#include "zevo/ICommsEvent.h"
#include "zevo/IConfigManager.h"
#include "zevo/IEventDispatcher.h"
#include "zevo/ILogger.h"
#include "zevo/IPlugin.h"

namespace {

// The slot a pointer to a virtual member function names. In the Itanium
// C++ ABI the pointer holds 1 + the slot's offset in the table; the ARM ABI
// keeps the offset and marks virtual in the adjustment instead.
template <class Member>
size_t slotOf(Member iMember) {
  struct {
    uintptr_t fPointer;
    ptrdiff_t fAdjustment;
  } raw;
  static_assert(sizeof raw == sizeof iMember, "a member function pointer of the Itanium or ARM ABI");
  std::memcpy(&raw, &iMember, sizeof raw);
#if defined(__arm__)
  EXPECT_EQ(1, raw.fAdjustment & 1) << "not a virtual function";
  return raw.fPointer / sizeof(void*);
#else
  EXPECT_EQ(1u, raw.fPointer & 1) << "not a virtual function";
  return (raw.fPointer - 1) / sizeof(void*);
#endif
}

}  // namespace

TEST(InterfaceLayout, EveryOperationSitsInItsSlot) {
  const std::vector<std::pair<size_t, size_t>> slots = {
      {0, slotOf(&IBase::incRef)},          {1, slotOf(&IBase::decRef)},
      {2, slotOf(&IPlugin::init)},          {3, slotOf(&IPlugin::getInterfaces)},
      {4, slotOf(&IPlugin::getInstance)},   {2, slotOf(&IEventListener::notify)},
      {2, slotOf(&IEventDispatcher::addListener)}, {3, slotOf(&IEventDispatcher::removeListener)},
      {2, slotOf(&IComms::unbind)},         {3, slotOf(&IComms::bind)},
      {4, slotOf(&IComms::send)},           {5, slotOf(&IComms::sendFile)},
      {2, slotOf(&ICommsEvent::getTargetID)},
      {3, slotOf(&ICommsEvent::getMessage)}, {4, slotOf(&ICommsEvent::getResponseID)},
      {2, slotOf(&IConfigManager::listIDs)}, {3, slotOf(&IConfigManager::loadByID)},
      {2, slotOf(&IConfig::getInt)},        {3, slotOf(&IConfig::getBool)},
      {4, slotOf(&IConfig::getString)},     {2, slotOf(&ILogger::getLogger)},
      {3, slotOf(&ILogger::setLevel)},      {4, slotOf(&ILogger::getLevel)},
      {5, slotOf(&ILogger::logInfo)},       {6, slotOf(&ILogger::logWarning)},
      {7, slotOf(&ILogger::logError)},      {8, slotOf(&ILogger::logDebug)},
  };
  for (size_t i = 0; i < slots.size(); ++i) EXPECT_EQ(slots[i].first, slots[i].second) << "operation " << i << " of the list";
}
