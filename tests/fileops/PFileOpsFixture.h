// The file-operations plug-in on a temporary tree T, granted both ways
// (read and write trees) unless a test says otherwise; requests as a peer
// sends them, through the plug-in harness.
#pragma once

#include <openssl/sha.h>

#include <string>

#include "PPluginHarness.h"
#include "zevo/protocol/PFileOpsProtocol.h"

using Reply = std::tuple<int, std::wstring, Bytes>;  // status, module ID, payload
inline Reply whole(const PCommsMessage& iReply) { return {statusOf(iReply), moduleOf(iReply), iReply.fData}; }

inline Bytes sha256(const Bytes& iBytes) {
  Bytes digest(SHA256_DIGEST_LENGTH);
  SHA256(iBytes.data(), iBytes.size(), digest.data());
  return digest;
}

class Ops : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, start()); }
  // The policy's lists; "T/" in an entry stands for the temporary directory.
  int start(std::wstring iRead = L"", std::wstring iWrite = L"", std::wstring iReadTree = L"T/",
            std::wstring iWriteTree = L"T/", PPluginHarness* iHarness = nullptr) {
    PPluginHarness& harness = iHarness ? *iHarness : ops;
    for (std::wstring* list : {&iRead, &iWrite, &iReadTree, &iWriteTree}) {
      for (size_t at = 0; (at = list->find(L"T/", at)) != std::wstring::npos; at += dir.path().size() + 1) {
        list->replace(at, 2, dir.wide());
      }
    }
    return harness.start(iRead, iWrite, iReadTree, iWriteTree);
  }
  std::wstring path(const std::string& iName) const { return iName[0] == '=' ? widen(iName.substr(1)) : dir.wide(iName); }
  PCommsMessage call(uint32_t iAction, const std::vector<unsigned char>& iPayload) { return ops.call(iAction, iPayload); }
  // A handle's number from an opening reply (element 0), asserting success.
  int opened(const PCommsMessage& iReply) {
    EXPECT_EQ(0, statusOf(iReply));
    return PReplyReader(iReply).i32();
  }
  int upload(const std::string& iName, bool iResumable = false) {
    return opened(call(kOpsBeginUpload, PPayload().str(path(iName)).flag(iResumable)));
  }
  int write(int iHandle, long long iOffset, const Bytes& iData) {
    return statusOf(call(kOpsWriteAt, PPayload().i32(iHandle).i64(iOffset).bytes(iData)));
  }
  int commit(int iHandle, long long iSize = -1, int iMode = -1, long long iMtimeNs = -1) {
    return statusOf(call(kOpsCommitUpload, PPayload().i32(iHandle).i64(iSize).i32(iMode).i64(iMtimeNs)));
  }
  // The digest of a checksum handle, stepped to its end; the steps taken.
  Bytes digest(const PCommsMessage& iOpened, int* oSteps = nullptr) {
    const int handle = opened(iOpened);
    for (int steps = 1; steps < 100; ++steps) {
      PReplyReader step(call(kOpsChecksumStep, PPayload().i32(handle)));
      const bool done = step.flag();
      step.i64();
      const Bytes digest = step.bytes();
      if (done) {
        if (oSteps) *oSteps = steps;
        EXPECT_EQ(0, statusOf(call(kOpsCloseHandle, PPayload().i32(handle))));
        return digest;
      }
    }
    ADD_FAILURE() << "the checksum never ended";
    return {};
  }

  PTempDir dir;
  PPluginHarness ops{ZEVO_FILEOPS_PLUGIN, kFileOpsTopic};
};
