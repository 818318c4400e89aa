// libzevop.hello.so: a small zevo plug-in to start a new one from. Its
// module, com.example.hello, answers one action, Greet (1): the request is
// one string element, a name; the reply is one string, "Hello, <name>!".
//
// What every plug-in does:
//  1. Its library exports one function, IPlugin* zevoGetPlugin(), which
//     zevohost calls once after loading it (see CMakeLists.txt for keeping
//     every other symbol hidden).
//  2. IPlugin::init starts its services: each looks up the framework's
//     components in the registry (zevoGetInstance), adds itself as the
//     listener of its topic to the event dispatcher, and binds its module ID
//     to that topic in the comms component.
//  3. Each request then arrives as an ICommsEvent on the topic, on one of
//     the host's worker threads (several at once), and gets exactly one
//     reply through IComms::send. Nothing may throw out of notify.
#include <new>
#include <string>
#include <vector>

#include "zevo/IComms.h"
#include "zevo/ICommsEvent.h"
#include "zevo/IEventDispatcher.h"
#include "zevo/IEventListener.h"
#include "zevo/IPlugin.h"
#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PErrors.h"
#include "zevo/PPtr.h"
#include "zevo/PRefCounted.h"
#include "zevo/PUtils.h"
#include "zevo/zevoGetInstance.h"

namespace {

// Peers address the module by its ID; the framework routes its requests to
// the topic.
constexpr const wchar_t* kModule = L"com.example.hello";
constexpr const wchar_t* kTopic = L"com.example.hello.topic";
constexpr uint32_t kGreet = 1;

class PHelloService final : public PRefCounted<IEventListener> {
 public:
  // 0 once requests reach notify; otherwise the first failing code.
  int start() {
    IBase* instance = nullptr;
    int result = zevoGetInstance(PLiteral(ZEVO_ID_COMMS), instance);
    if (result != 0) return result;
    fComms = static_cast<IComms*>(instance);  // the handle takes its own reference
    // Set before the listener is added: notify only reads it.
    result = zevoGetInstance(PLiteral(ZEVO_ID_EVENT_DISPATCHER), instance);
    if (result != 0) return result;
    PBaseptr<IEventDispatcher> dispatcher(static_cast<IEventDispatcher*>(instance));
    result = dispatcher->addListener(PLiteral(kTopic), this);
    if (result != 0) return result;
    PString topic(kTopic);
    result = fComms->bind(PLiteral(kModule), topic);
    // Nothing of a plug-in that failed may stay behind: its library is closed.
    if (result != 0) dispatcher->removeListener(PLiteral(kTopic), this);
    return result;
  }

  void notify(const PLiteral&, IBase* iEvent, int) override {
    auto* event = static_cast<ICommsEvent*>(iEvent);
    if (event == nullptr) return;  // no exchange to answer
    const PCommsMessage* request = event->getMessage();
    PCommsMessage reply;
    int status;
    try {
      reply.fModuleID = kModule;
      status = request != nullptr ? answer(*request, reply.fData) : ERR_INVALID_ARG;
    } catch (const std::bad_alloc&) {
      reply.fData.clear();
      status = ERR_NO_MEMORY;
    }
    reply.fUint32 = static_cast<uint32_t>(status);
    fComms->send(event->getResponseID(), reply);
  }

 private:
  // The status of the request; its reply elements into oData.
  static int answer(const PCommsMessage& iRequest, std::vector<unsigned char>& oData) {
    if (iRequest.fUint32 != kGreet) return ERR_INVALID_ARG;
    PString name;
    PDataReader reader(iRequest.fData);
    int result = reader.readString(name);  // a missing or mistagged element: its code
    if (result != 0) return result;
    std::string text;
    result = PUtils::toUtf8(name, text);
    if (result != 0) return result;
    std::string greeting = "Hello, ";
    greeting.append(text).append("!");
    PDataWriter writer(oData);
    return writer.writeString(PUtils::wide(greeting));
  }

  PBaseptr<IComms> fComms;
};

// What zevohost holds while the library is loaded. Its last reference goes
// before the library is closed, and the service with it.
class PHelloPlugin final : public PRefCounted<IPlugin> {
 public:
  int init() override {
    PHelloService* service = new (std::nothrow) PHelloService();
    if (service == nullptr) return ERR_NO_MEMORY;
    fService = service;
    const int result = service->start();
    if (result != 0) fService = static_cast<PHelloService*>(nullptr);
    return result;
  }
  // It publishes no interface: peers reach it through its module only.
  int getInterfaces(unsigned int& oCount) override {
    oCount = 0;
    return 0;
  }
  int getInstance(const PLiteral&, IBase*& oInstance) override {
    oInstance = nullptr;
    return ERR_NO_INSTANCE;
  }

 private:
  PBaseptr<PHelloService> fService;
};

}  // namespace

// The entry function (C++ name, exported): a new plug-in object per call.
__attribute__((visibility("default"))) IPlugin* zevoGetPlugin() { return new (std::nothrow) PHelloPlugin(); }
