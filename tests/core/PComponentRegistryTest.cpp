#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "zevo/ILogger.h"
#include "zevo/PErrors.h"
#include "zevo/zevoGetInstance.h"

namespace {

// Counts references and records the order of decRef calls; never frees itself.
struct PCounted : IBase {
  void incRef() override { ++fInc; }
  void decRef() override {
    ++fDec;
    if (fOrder) *fOrder += fName;
  }
  std::atomic<int> fInc{0}, fDec{0};
  std::string* fOrder = nullptr;
  char fName = '?';
};

// A logger component that frees itself on its last decRef.
class PFakeLogger final : public ILogger {
 public:
  PFakeLogger(ILogger* iNamed, bool* oGone) : fNamed(iNamed), fGone(oGone) {}
  void incRef() override { ++fRefs; }
  void decRef() override {
    if (--fRefs == 0) delete this;
  }
  int getLogger(const PLiteral&, PBaseptr<ILogger>& oTarget) override {
    PBaseptr<ILogger> local(fNamed);
    oTarget = local;  // gives back the target's hold on this object
    return fLevel;    // reads this object afterwards: ASan reports a premature free
  }
  int setLevel(int iLevel) override { return fLevel = iLevel; }
  int getLevel() override { return fLevel; }
  void logInfo(int, const wchar_t*, const char*, ...) override {}
  void logWarning(int, const wchar_t*, const char*, ...) override {}
  void logError(int, const wchar_t*, const char*, ...) override {}
  void logDebug(int, const wchar_t*, const char*, ...) override {}
  int fRefs = 0;

 private:
  ~PFakeLogger() { *fGone = true; }
  ILogger* fNamed;
  bool* fGone;
  int fLevel = 0;
};

}  // namespace

TEST(ComponentRegistry, ReferenceCounting) {
  PCounted a, b, c;
  std::string order;
  a.fName = 'a', b.fName = 'b', c.fName = 'c';
  a.fOrder = b.fOrder = c.fOrder = &order;
  IBase* found = &a;
  EXPECT_EQ(zevoGetInstance(L"test.1", found), ERR_NO_INSTANCE);
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(zevoRegisterInstance(L"test.1", nullptr), ERR_INVALID_ARG);
  EXPECT_EQ(zevoRegisterInstance(L"", &a), ERR_INVALID_ARG);

  ASSERT_EQ(zevoRegisterInstance(L"test.1", &a), 0);
  ASSERT_EQ(zevoRegisterInstance(L"test.1", &a), 0);  // the same again: still one held
  ASSERT_EQ(zevoGetInstance(L"test.1", found), 0);
  EXPECT_EQ(found, &a);
  EXPECT_EQ(a.fInc - a.fDec, 1);  // the lookup added none
  EXPECT_EQ(zevoGetInstance(L"test.", found), ERR_NO_INSTANCE);

  ASSERT_EQ(zevoRegisterInstance(L"test.2", &b), 0);
  ASSERT_EQ(zevoRegisterInstance(L"test.1", &c), 0);  // replaces a; registered after b
  EXPECT_EQ(a.fInc, a.fDec);
  ASSERT_EQ(zevoGetInstance(L"test.1", found), 0);
  EXPECT_EQ(found, &c);
  EXPECT_EQ(zevoUnregisterInstance(L"test.3"), ERR_NO_INSTANCE);
  zevoClearInstances();
  EXPECT_EQ(order, "aacb");  // cleared in reverse order of registration
  EXPECT_EQ(zevoUnregisterInstance(L"test.1"), ERR_NO_INSTANCE);
  EXPECT_EQ(b.fInc + c.fInc, 2);
  EXPECT_EQ(b.fDec + c.fDec, 2);
}

// A component whose release uses the registry must not deadlock it.
TEST(ComponentRegistry, ReleasedComponentMayCallBack) {
  struct PCallingBack : IBase {
    void incRef() override {}
    void decRef() override {
      IBase* found = nullptr;
      fResult = zevoGetInstance(L"test.other", found) + zevoUnregisterInstance(L"test.other");
    }
    int fResult = 1;
  } first, second;
  PCounted other;
  ASSERT_EQ(zevoRegisterInstance(L"test.other", &other), 0);
  ASSERT_EQ(zevoRegisterInstance(L"test.cb", &first), 0);
  ASSERT_EQ(zevoUnregisterInstance(L"test.cb"), 0);
  EXPECT_EQ(first.fResult, 0);
  EXPECT_EQ(other.fDec, 1);
  ASSERT_EQ(zevoRegisterInstance(L"test.cb", &second), 0);
  zevoClearInstances();
  EXPECT_EQ(second.fResult, ERR_NO_INSTANCE * 2);
}

// The plug-in pattern: the handle that holds the component is getLogger's target.
TEST(ComponentRegistry, SelfReplacingGetLoggerKeepsComponentAlive) {
  bool namedGone = false, componentGone = false;
  auto* named = new PFakeLogger(nullptr, &namedGone);
  auto* component = new PFakeLogger(named, &componentGone);
  ASSERT_EQ(zevoRegisterInstance(ZEVO_ID_LOGGER, component), 0);
  {
    IBase* found = nullptr;
    ASSERT_EQ(zevoGetInstance(ZEVO_ID_LOGGER, found), 0);
    PBaseptr<ILogger> logger(static_cast<ILogger*>(found));
    EXPECT_EQ(logger->setLevel(3), 3);
    EXPECT_EQ(logger->getLogger(L"test.log", logger), 3);
    EXPECT_EQ(logger.get(), named);
    EXPECT_EQ(component->fRefs, 1);  // the registry's
  }
  EXPECT_TRUE(namedGone);
  EXPECT_FALSE(componentGone);
  zevoClearInstances();
  EXPECT_TRUE(componentGone);
}

TEST(ComponentRegistry, ConcurrentUseBalancesReferences) {
  PCounted shared, own[4];
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &shared, &own] {
      const std::wstring id = L"test.thread." + std::to_wstring(t);
      for (int i = 0; i < 500; ++i) {
        IBase* found = nullptr;
        EXPECT_EQ(zevoRegisterInstance(id.c_str(), &own[t]) + zevoRegisterInstance(L"test.shared", &shared), 0);
        EXPECT_EQ(zevoGetInstance(id.c_str(), found), 0);
        EXPECT_EQ(found, &own[t]);
        EXPECT_EQ(zevoUnregisterInstance(id.c_str()), 0);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  zevoClearInstances();
  EXPECT_EQ(shared.fInc + shared.fDec, 4000);
  for (auto& counted : own) EXPECT_EQ(counted.fInc + counted.fDec, 1000);
}
