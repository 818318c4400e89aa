// PPtr and PBaseptr: counting, freeing by delete kind, and the one
// incRef/decRef a PBaseptr group holds.

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
  int fIncRefs = 0;
  int fDecRefs = 0;
};

}  // namespace

TEST(PPtr, SharesOneCounterAndFreesWithTheLastCopy) {
  gDestroyed.clear();
  {
    PPtr<Tracked> empty(nullptr);
    EXPECT_TRUE(empty.isNull());
    EXPECT_EQ(0, empty.useCount());
    empty = static_cast<Tracked*>(nullptr);
  }
  EXPECT_TRUE(gDestroyed.empty());

  auto* first = new PPtr<Tracked>(new Tracked(1));
  auto* second = new PPtr<Tracked>(*first);
  EXPECT_EQ(2, second->useCount());
  delete first;
  EXPECT_TRUE(gDestroyed.empty());
  EXPECT_EQ(1, second->useCount());
  delete second;
  EXPECT_EQ(std::vector<int>({1}), gDestroyed);
}

TEST(PPtr, AssignmentReleasesTheOldObjectFirstAndKeepsTheKind) {
  gDestroyed.clear();
  Tracked* object = new Tracked(1);
  PPtr<Tracked> pointer(object, 0);
  pointer = object;  // the same object: nothing happens
  EXPECT_EQ(1, pointer.useCount());
  EXPECT_TRUE(gDestroyed.empty());

  pointer = new Tracked(2);
  EXPECT_EQ(std::vector<int>({1}), gDestroyed);
  EXPECT_EQ(1, pointer.useCount());
  EXPECT_EQ(0, pointer.deleteKind());

  PPtr<Tracked> copy(pointer);
  pointer = new Tracked(3);  // not the last holder of 2
  EXPECT_EQ(std::vector<int>({1}), gDestroyed);
  EXPECT_EQ(1, copy.useCount());
  copy = pointer;  // copy assignment: 2 goes, 3 is shared
  EXPECT_EQ(std::vector<int>({1, 2}), gDestroyed);
  EXPECT_EQ(2, pointer.useCount());
}

TEST(PPtr, ArraysAreDestroyedLastToFirstAndOtherKindsNeverFreed) {
  gDestroyed.clear();
  {
    Tracked* array = new Tracked[3];
    for (int i = 0; i < 3; ++i) array[i].fID = i + 1;
    PPtr<Tracked> pointer(array, 1);
  }
  EXPECT_EQ(std::vector<int>({3, 2, 1}), gDestroyed);

  gDestroyed.clear();
  Tracked kept(7);
  {
    PPtr<Tracked> pointer(&kept, 2);
    PPtr<Tracked> copy(pointer);
  }
  EXPECT_TRUE(gDestroyed.empty()) << "kind 2 leaves the object alive";

  PPtr<unsigned char> bytes(new unsigned char[16], 1);
  EXPECT_EQ(1, bytes.useCount());
}

TEST(PBaseptr, AGroupHoldsExactlyOneReference) {
  Counted object;
  {
    PBaseptr<Counted> first(&object);
    PBaseptr<Counted> second(first);
    PBaseptr<Counted> third(second);
    EXPECT_EQ(1, object.fIncRefs);
    EXPECT_EQ(3, third.useCount());
    first = &object;  // the same object: no extra incRef
    EXPECT_EQ(1, object.fIncRefs);
  }
  EXPECT_EQ(1, object.fDecRefs);

  Counted other;
  PBaseptr<Counted> holder(&object);
  PPtr<Counted>& asBase = holder;
  asBase = &other;  // through the base: still incRef/decRef, no delete
  EXPECT_EQ(2, object.fDecRefs);
  EXPECT_EQ(1, other.fIncRefs);
  holder = static_cast<Counted*>(nullptr);
  EXPECT_EQ(1, other.fDecRefs);

  PBaseptr<Counted> empty;
  EXPECT_TRUE(empty.isNull());
}
