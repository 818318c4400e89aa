// Doubles of the framework's services, as far as a plug-in uses them; the
// objects belong to the test, their references are counted.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "PTestSupport.h"
#include "zevo/PRefCounted.h"
#include "zevo/PCommsMessage.h"
#include "zevo/IComms.h"
#include "zevo/ICommsEvent.h"
#include "zevo/IConfigManager.h"
#include "zevo/IEventDispatcher.h"
#include "zevo/ILogger.h"
#include "zevo/ISessionDirectory.h"
#include "zevo/IPlugin.h"
#include "zevo/PStdMutex.h"

// Counts references; the last frees nothing (the test owns the object).
template <class I>
class PCounted : public PRefCounted<I> {
 public:
  int refs() const { return this->references(); }

 protected:
  void lastReference() override {}
};

struct PLogLine {
  int fLevel;
  std::wstring fText;
};

// The logger component; getLogger hands out fNamed, which records lines.
class PFakeLogger : public PCounted<ILogger> {
 public:
  class Named : public PCounted<ILogger> {
   public:
    explicit Named(PFakeLogger& iOwner) : fOwner(iOwner) {}
    int getLogger(const PLiteral& iName, PBaseptr<ILogger>& oTarget) override { return fOwner.getLogger(iName, oTarget); }
    // A service calls getLogger, logError and logDebug only (a host built to
    // the same contract may hold anything in the other slots): other calls
    // leave a line of their level, or of level -1, for the test to see.
    int setLevel(int) override;
    int getLevel() override;
    void logInfo(int, const wchar_t* iFormat, const char* iFunction, ...) override;
    void logWarning(int, const wchar_t* iFormat, const char* iFunction, ...) override;
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
  void logError(int, const wchar_t*, const char*, ...) override {}
  void logDebug(int, const wchar_t*, const char*, ...) override {}

  void add(int iLevel, const wchar_t* iFormat, const char* iFunction, va_list iArgs);
  std::vector<PLogLine> lines();

  Named fNamed;
  std::wstring fRequestedName;

 private:
  friend class Named;
  PStdMutex fLock;
  std::vector<PLogLine> fLines ZEVO_GUARDED_BY(fLock);
};

class PFakeConfig : public PCounted<IConfig> {
 public:
  int getInt(const PLiteral& iKey, int& oValue) override;  // a whole decimal value, as a host reads one
  int getBool(const PLiteral&, bool&) override { return ERR_CONFIG_VALUE; }
  int getString(const PLiteral& iKey, PString& oValue) override;

  std::map<std::wstring, std::wstring> fValues;
  std::map<std::wstring, int> fFailures;  // key -> code to return
  std::vector<std::wstring> fAsked;
};

class PFakeConfigManager : public PCounted<IConfigManager> {
 public:
  int listIDs(std::vector<PString>&) override { return 0; }
  int loadByID(const PLiteral& iID, PBaseptr<IConfig>& oConfig) override;

  PFakeConfig fConfig;
  int fLoadResult = 0;
  std::function<void()> fOnLoad;  // runs at the start of every loadByID
  std::vector<std::wstring> fLoaded;
};

class PFakeDispatcher : public PCounted<IEventDispatcher> {
 public:
  int addListener(const PLiteral& iTopic, IEventListener* iListener) override;
  int removeListener(const PLiteral&, IEventListener*) override { return 0; }

  int fAddResult = 0;
  bool fRetain = true;  // hold a reference to each listener, as a host does
  std::function<void(IEventListener*)> fOnAdd;
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
  // With fCarriesFiles, the span's bytes are read into the reply as it is
  // recorded (as a peer receives them); without, ERR_INVALID_ARG.
  int sendFile(int iResponseID, PCommsMessage& iResponse, const PFileSpan& iSpan) override;
  std::vector<PSentReply> replies();
  std::vector<PSentReply> take();  // the replies so far, which are forgotten

  int fBindResult = 0;
  int fSendResult = 0;
  bool fCarriesFiles = false;
  int fFileReplies = 0;  // replies sent with a span
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

// The host's session directory: every request comes from one peer, whose
// identity and role the test sets.
class PFakeSessions : public PCounted<ISessionDirectory> {
 public:
  int describe(int iResponseID, PString& oIdentity, int& oRole) override;
  unsigned int frameMax() override { return fFrameMax; }
  unsigned int frameMaxOf(int) override { return fFrameMax; }

  std::wstring fIdentity = L"uid:1000";
  std::atomic<int> fRole{SESSIONS_ROLE_WRITE};
  std::atomic<unsigned int> fFrameMax{1048576};
};
