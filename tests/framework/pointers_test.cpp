// PPtr and PBaseptr: one counter per group, freeing by delete kind, and the
// one incRef/decRef a PBaseptr group holds.
#include <gtest/gtest.h>

#include "zevo/IBase.h"
#include "zevo/PPtr.h"

namespace {

std::vector<int> gDestroyed;

struct Tracked {
  explicit Tracked(int iID = 0) : fID(iID) {}
  virtual ~Tracked() { gDestroyed.push_back(fID); }
  int fID;
};

struct Counted : IBase {
  void incRef() override { ++fIncRefs; }
  void decRef() override { ++fDecRefs; }
  int fIncRefs = 0, fDecRefs = 0;
};

}  // namespace

TEST(PPtr, CopiesShareOneCounterAndTheLastFreesByTheDeleteKind) {
  gDestroyed.clear();
  auto* first = new PPtr<Tracked>(new Tracked(1));
  PPtr<Tracked> second(*first);
  EXPECT_EQ(2, second.useCount());
  delete first;
  EXPECT_TRUE(gDestroyed.empty());
  second = second.get();  // the object it holds: nothing happens
  second = new Tracked(2);  // the last holder of 1 frees it first
  PPtr<Tracked> copy(second);
  copy = new Tracked(3);  // not the last holder of 2
  copy = second;          // 3 goes, 2 is shared
  EXPECT_EQ((std::vector<int>{1, 3}), gDestroyed);
  EXPECT_EQ(2, second.useCount());
  gDestroyed.clear();
  {
    Tracked* array = new Tracked[3];
    for (int i = 0; i < 3; ++i) array[i].fID = i + 1;
    PPtr<Tracked> arrayHolder(array, 1);
    Tracked kept(7);
    PPtr<Tracked> never(&kept, 2);
    PPtr<Tracked> nothing(nullptr);
    EXPECT_EQ(0, nothing.useCount());
  }
  EXPECT_EQ((std::vector<int>{7, 3, 2, 1}), gDestroyed) << "kind 2 never frees; arrays go last to first";
}

TEST(PBaseptr, AGroupHoldsExactlyOneReference) {
  Counted object, other;
  {
    PBaseptr<Counted> first(&object);
    PBaseptr<Counted> second(first), third(second);
    first = &object;  // the same object: no extra incRef
    EXPECT_EQ(std::make_pair(1, 3), std::make_pair(object.fIncRefs, third.useCount()));
  }
  EXPECT_EQ(1, object.fDecRefs);
  PBaseptr<Counted> holder(&object);
  PPtr<Counted>& asBase = holder;
  asBase = &other;  // through the base: still incRef/decRef, no delete
  holder = static_cast<Counted*>(nullptr);
  EXPECT_EQ((std::vector<int>{2, 2, 1, 1}), (std::vector<int>{object.fIncRefs, object.fDecRefs, other.fIncRefs, other.fDecRefs}));
}
