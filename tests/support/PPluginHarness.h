// A plug-in loaded from its library as a host loads it (the file-access
// plug-in unless another library and its topic are given), with the fakes
// registered under the framework's component IDs.
#pragma once

#include "PFakes.h"
#include "PPayload.h"
#include "zevo/IPlugin.h"
#include "zevo/protocol/PFileAccessProtocol.h"

class PPluginHarness {
 public:
  explicit PPluginHarness(const char* iLibrary = ZEVO_FILEACCESS_PLUGIN, const wchar_t* iTopic = kFileAccessTopic);
  ~PPluginHarness();  // checks that every reference count came back to 0

  enum : unsigned { kLogger = 1, kConfig = 2, kDispatcher = 4, kComms = 8, kSessions = 16, kAll = 31 };
  void registerFakes(unsigned iWhich = kAll);  // with an empty policy unless one is set
  IPlugin* createPlugin();  // a new plug-in object holding the host's reference
  int start();              // createPlugin + init
  int start(const std::wstring& iRead, const std::wstring& iWrite, const std::wstring& iReadTree,
            const std::wstring& iWriteTree);  // registerFakes with this policy, start
  void stop();                                // gives back the host's reference
  IEventListener* listener();                 // the service's listener, null if none

  // Delivers one request event on iTopic (empty: the service's): the replies sent for it.
  std::vector<PSentReply> deliver(uint32_t iAction, const std::vector<unsigned char>& iPayload,
                                  const std::wstring& iTopic = L"");
  PCommsMessage call(uint32_t iAction, const std::vector<unsigned char>& iPayload);  // exactly one reply

  PFakeLogger fLogger;
  PFakeConfigManager fConfigManager;
  PFakeDispatcher fDispatcher;
  PFakeComms fComms;
  PFakeSessions fSessions;
  IPlugin* fPlugin = nullptr;

 private:
  const std::string fLibrary;
  const std::wstring fTopic;
  std::atomic<int> fNextResponseID{1};  // requests may be delivered from several threads
};
