// A started service, driven through its entry function, that grants reading
// and writing below <temporary directory>/data/; t is the temporary
// directory's path, for building request paths.

#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "PFakeFramework.h"
#include "PTestSupport.h"

template <class Base = ::testing::Test>
class PServiceTest : public Base {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir / "data");
    t = dir.wide();
    harness.registerAll();
    harness.setPolicy(L"", L"", t + L"/data/", t + L"/data/");
    ASSERT_EQ(0, harness.start());
  }
  // A request whose payload is one path.
  PCommsMessage call(uint32_t iAction, const std::wstring& iPath) {
    return harness.call(iAction, PPayload().str(iPath).data());
  }

  PTempDir dir;
  std::wstring t;
  PPluginHarness harness;
};
