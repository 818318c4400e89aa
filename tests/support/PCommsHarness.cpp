#include "PCommsHarness.h"

#include <fcntl.h>
#include <unistd.h>

#include "PMqttTransport.h"

#include "PPayload.h"
#include "PTcpTransport.h"
#include "PTlsTransport.h"
#include "PUnixTransport.h"
#include "zevo/ICommsEvent.h"
#include "zevo/PDataReader.h"
#include "zevo/protocol/PFileAccessProtocol.h"

namespace {

// A listing's reply may be large: it waits for the memory budget.
class PListingsAreLarge : public PSessionWatcher {
 public:
  bool answer(const PSessionInfo&, const PCommsMessage&, PCommsMessage&) override { return false; }
  void replied(const PSessionInfo&, const PCommsMessage&, const PCommsMessage&, size_t) override {}
  std::vector<PRelease> ended(const PSessionInfo&) override { return {}; }
  bool largeReply(uint32_t iAction) override { return iAction == kListDir; }
};

}  // namespace

void PEchoModule::notify(const PLiteral&, IBase* iEvent, int) {
  ICommsEvent* event = static_cast<ICommsEvent*>(iEvent);
  const PCommsMessage& request = *event->getMessage();
  PCommsMessage reply = request;
  reply.fModuleID = kFileAccessModuleW;
  if (request.fUint32 == kStartFileTransfer) {
    reply.fUint32 = 0;
    reply.fData.clear();
    PDataWriter(reply.fData).writeInt32(fNextID++);
  } else if (request.fUint32 == kListDir) {
    reply.fData.assign(kListing, 'n');  // a long listing
  } else if (request.fUint32 == kFileReply) {
    PDataReader reader(request.fData);
    long long offset = 0;
    int length = 0;
    bool shrink = false;
    reader.readInt64(offset), reader.readInt32(length), reader.readBool(shrink);
    auto file = std::make_shared<PFd>(::open(fFile.c_str(), O_RDONLY | O_CLOEXEC));
    reply.fData.clear();
    PDataWriter(reply.fData).writeBytesHeader(static_cast<uint32_t>(length));
    if (fComms->sendFile(event->getResponseID(), reply, PFileSpan{file, file->get(), offset, static_cast<uint32_t>(length)}) == 0) {
      if (shrink) {
        EXPECT_EQ(0, ::truncate(fFile.c_str(), 0));
      }
      return;
    }
    reply.fData.clear();
    Bytes bytes(static_cast<size_t>(length));
    EXPECT_EQ(length, ::pread(file->get(), bytes.data(), bytes.size(), offset));
    PDataWriter(reply.fData).writeBytes(bytes);
  } else if (request.fUint32 == kCloseFileTransfer) {
    reply.fUint32 = 0;  // closed
    std::lock_guard<std::mutex> lock(fLock);
    fClosed.insert(payloadOf<int>(request.fData));
  }
  fComms->send(event->getResponseID(), reply);
}

std::set<int> PEchoModule::closed() {
  std::lock_guard<std::mutex> lock(fLock);
  return fClosed;
}

PTlsSettings testTls(std::vector<std::string> iAllow) {
  return PTlsSettings{certificate("server.pem"), certificate("server.key"), certificate("ca.pem"), std::move(iAllow)};
}

Bytes frameOf(uint8_t iKind, uint32_t iExchange, uint32_t iWord, const std::string& iModule, const Bytes& iPayload) {
  Bytes bytes;
  PFrame::append(bytes, iKind, iExchange, iWord, iModule, iPayload.data(), iPayload.size());
  return bytes;
}

void PCommsTest::start(const PCommsSettings& iSettings, const std::function<void(PComms&)>& iSetUp, const PTlsSettings& iTls) {
  ASSERT_EQ(0, PEventDispatcher::create(2, fDispatcher));
  ASSERT_EQ(0, PComms::create(fDispatcher.get(), iSettings, fComms));
  if (iSetUp) iSetUp(*fComms);
  ASSERT_EQ(0, fComms->watch(PLiteral(kFileAccessModuleW), std::make_shared<PListingsAreLarge>()));
  fModule.fComms = fComms.get();
  PString topic(L"test.topic");
  ASSERT_EQ(0, fDispatcher->addListener(PLiteral(L"test.topic"), &fModule));
  ASSERT_EQ(0, fComms->bind(PLiteral(kFileAccessModuleW), topic));
  std::shared_ptr<PTlsTransport> tls;
  std::string error;
  ASSERT_EQ(0, PTlsTransport::create(iTls, tls, error)) << error;
  for (const std::shared_ptr<PTransport>& transport :
       std::initializer_list<std::shared_ptr<PTransport>>{std::make_shared<PUnixTransport>(), std::make_shared<PTcpTransport>(), tls}) {
    ASSERT_EQ(0, fComms->addTransport(transport));
  }
  for (const std::string& endpoint : {"unix:" + fDir / "s.sock", std::string("tcp:127.0.0.1:0"), std::string("tls:127.0.0.1:0")}) {
    std::string where;
    ASSERT_EQ(0, fComms->listen(endpoint, where, error)) << error;
    fWhere[endpoint.substr(0, endpoint.find(':'))] = where;
  }
  if (fBroker) {
    PMqttSettings broker;
    broker.fDevice = "dev";
    ASSERT_EQ(0, fComms->addTransport(std::make_shared<PMqttTransport>(false, broker)));
    std::string where;
    ASSERT_EQ(0, fComms->listen(fBroker->url(), where, error)) << error;
    fWhere["mqtt"] = fBroker->url("dev");
  }
  if (fBeforeStart) fBeforeStart(*fComms);
  ASSERT_EQ(0, fDispatcher->start() + fComms->start());
}

void PCommsTest::TearDown() {
  if (fComms.isNull()) return;
  fComms->stopAccepting();
  fDispatcher->stop();
  fComms->closeAll();
  fDispatcher->removeAllListeners();
  fComms = static_cast<PComms*>(nullptr);
  fDispatcher = static_cast<PEventDispatcher*>(nullptr);
  fBroker.reset();
  EXPECT_EQ(0, fModule.refs());
  EXPECT_EQ(fDescriptors, descriptorCount());
}
