// Test doubles of the framework's services, registered in the real
// component registry, and a harness that loads the file-access plug-in
// through its entry function as a host does.
#pragma once

#include <atomic>
#include <cstdarg>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "zevo/IComms.h"
#include "zevo/ICommsEvent.h"
#include "zevo/IConfigManager.h"
#include "zevo/IEventDispatcher.h"
#include "zevo/ILogger.h"
#include "zevo/IPlugin.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PErrors.h"
#include "zevo/PStdMutex.h"
#include "PPayload.h"

// Counts references; the test owns the object, so the count reaching 0
// frees nothing and a negative count is a fault the tests look for.
template <class I>
class PCounted : public I {
 public:
  void incRef() override { ++fRefs; }
  void decRef() override { --fRefs; }
  int refs() const { return fRefs.load(); }

 private:
  std::atomic<int> fRefs{0};
};

struct PLogLine {
  int fLevel;  // LOG_LEVEL_ERROR or LOG_LEVEL_DEBUG
  std::wstring fText;
};

class PFakeLogger : public PCounted<ILogger> {
 public:
  // The named logger handed out by getLogger; shares the line list.
  class Named : public PCounted<ILogger> {
   public:
    explicit Named(PFakeLogger& iOwner) : fOwner(iOwner) {}
    int getLogger(const PLiteral& iName, PBaseptr<ILogger>& oTarget) override { return fOwner.getLogger(iName, oTarget); }
    int setLevel(int) override { return 0; }
    int getLevel() override { return LOG_LEVEL_DEBUG; }
    void logInfo(int, const wchar_t*, const char*, ...) override;
    void logWarning(int, const wchar_t*, const char*, ...) override;
    void logError(int, const wchar_t* iFormat, const char* iFunction, ...) override;
    void logDebug(int, const wchar_t* iFormat, const char* iFunction, ...) override;

   private:
    PFakeLogger& fOwner;
  };

  PFakeLogger() : fNamed(*this) {}
  int getLogger(const PLiteral& iName, PBaseptr<ILogger>& oTarget) override;
  int setLevel(int) override { return 0; }
  int getLevel() override { return LOG_LEVEL_DEBUG; }
  void logInfo(int, const wchar_t*, const char*, ...) override {}
  void logWarning(int, const wchar_t*, const char*, ...) override {}
  void logError(int, const wchar_t*, const char*, ...) override { fComponentLines++; }
  void logDebug(int, const wchar_t*, const char*, ...) override { fComponentLines++; }

  void add(int iLevel, const wchar_t* iFormat, const char* iFunction, va_list iArgs);
  std::vector<PLogLine> lines();
  bool has(int iLevel, const std::wstring& iText);
  size_t count(const std::wstring& iPrefix);
  void clear();

  Named fNamed;
  std::wstring fRequestedName;
  std::atomic<int> fComponentLines{0};  // lines logged on the component itself

 private:
  PStdMutex fLock;
  std::vector<PLogLine> fLines ZEVO_GUARDED_BY(fLock);
};

class PFakeConfig : public PCounted<IConfig> {
 public:
  int getInt(const PLiteral&, int&) override { return ERR_CONFIG_VALUE; }
  int getBool(const PLiteral&, bool&) override { return ERR_CONFIG_VALUE; }
  int getString(const PLiteral& iKey, PString& oValue) override;

  std::map<std::wstring, std::wstring> fValues;
  std::map<std::wstring, int> fFailures;  // key -> code to return
  std::vector<std::wstring> fAsked;
};

class PFakeConfigManager : public PCounted<IConfigManager> {
 public:
  int listIDs(std::vector<PString>& oIDs) override;
  int loadByID(const PLiteral& iID, PBaseptr<IConfig>& oConfig) override;

  PFakeConfig fConfig;
  int fLoadResult = 0;
  std::function<void()> fOnLoad;  // runs at the start of every loadByID
  std::vector<std::wstring> fLoaded;
};

class PFakeDispatcher : public PCounted<IEventDispatcher> {
 public:
  int addListener(const PLiteral& iTopic, IEventListener* iListener) override;
  int removeListener(const PLiteral& iTopic, IEventListener* iListener) override;

  int fAddResult = 0;
  bool fRetain = true;  // hold a reference to each listener, as a host does
  std::vector<std::wstring> fTopics;
  std::vector<IEventListener*> fListeners;
  std::vector<PBaseptr<IEventListener>> fHeld;
};

struct PSentReply {
  int fResponseID;
  PCommsMessage fMessage;
};

class PFakeComms : public PCounted<IComms> {
 public:
  int unbind(const PLiteral&) override { return 0; }
  int bind(const PLiteral& iModuleID, PString& iTopic) override;
  int send(int iResponseID, PCommsMessage& iResponse) override;
  std::vector<PSentReply> replies();
  size_t replyCount();

  int fBindResult = 0;
  int fSendResult = 0;
  std::vector<std::pair<std::wstring, std::wstring>> fBindings;

 private:
  PStdMutex fLock;
  std::vector<PSentReply> fReplies ZEVO_GUARDED_BY(fLock);
};

class PFakeEvent : public PCounted<ICommsEvent> {
 public:
  const PCommsTarget* getTargetID() override { return &fTarget; }
  const PCommsMessage* getMessage() override { return &fMessage; }
  int getResponseID() override { return fResponseID; }

  PCommsTarget fTarget;
  PCommsMessage fMessage;
  int fResponseID = 0;
};

// The plug-in loaded from its library, with the fakes registered under the
// framework's component IDs.
class PPluginHarness {
 public:
  PPluginHarness();
  ~PPluginHarness();

  // Registers the fakes; an unregistered one is simply missing.
  void registerLogger();
  void registerConfigManager();
  void registerDispatcher();
  void registerComms();
  void registerAll();

  // Sets the four access keys (empty string: key present but empty).
  void setPolicy(const std::wstring& iRead, const std::wstring& iWrite, const std::wstring& iReadRecursive,
                 const std::wstring& iWriteRecursive);

  IPlugin* createPlugin();  // a new plug-in object holding the host's reference
  int start();              // createPlugin + init
  // registerAll, setPolicy and start.
  int start(const std::wstring& iRead, const std::wstring& iWrite, const std::wstring& iReadRecursive,
            const std::wstring& iWriteRecursive);
  void stop();              // gives back the host's reference

  // The listener the service registered (null if none).
  IEventListener* listener();
  // Delivers one request event on the topic; the event's references must be
  // balanced afterwards. Returns the replies sent for it.
  std::vector<PSentReply> deliver(uint32_t iAction, const std::vector<unsigned char>& iPayload,
                                  const std::wstring& iTopic = L"com.quorbex.zevo.fileaccess.topic");
  // Delivers a request and expects exactly one reply, returned.
  PCommsMessage call(uint32_t iAction, const std::vector<unsigned char>& iPayload);

  PFakeLogger fLogger;
  PFakeConfigManager fConfigManager;
  PFakeDispatcher fDispatcher;
  PFakeComms fComms;
  IPlugin* fPlugin = nullptr;

 private:
  std::atomic<int> fNextResponseID{1};
};

// Reads one element of a reply, failing the test on a wrong layout.
int replyInt32(const PCommsMessage& iReply);
long long replyInt64(const PCommsMessage& iReply);
bool replyBool(const PCommsMessage& iReply);
std::vector<unsigned char> replyBytes(const PCommsMessage& iReply);
std::vector<std::wstring> replyStrings(const PCommsMessage& iReply);
std::wstring moduleOf(const PCommsMessage& iReply);
int statusOf(const PCommsMessage& iReply);
