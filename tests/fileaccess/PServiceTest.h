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
    ASSERT_EQ(0, harness.start(L"", L"", t + L"/data/", t + L"/data/"));
  }
  // A request whose payload is one path.
  PCommsMessage call(uint32_t iAction, const std::wstring& iPath) {
    return harness.call(iAction, PPayload().str(iPath).data());
  }
  // Transfer requests: the next chunk, a block, and a close's status.
  PCommsMessage next(int iID, int iSize) { return harness.call(1002, PPayload().i32(iID).i32(iSize).data()); }
  PCommsMessage put(int iID, const std::vector<unsigned char>& iBytes) {
    return harness.call(1003, PPayload().i32(iID).bytes(iBytes).data());
  }
  int close(int iID) { return statusOf(harness.call(1004, PPayload().i32(iID).data())); }

  PTempDir dir;
  std::wstring t;
  PPluginHarness harness;
};
