// The file-access plug-in, loaded through its entry function as a host
// does, served requests built from the input: every action, paths chosen
// among prefixes of a granted tree, a tree outside it, links from one to the
// other, ".." and relative names, followed by any bytes; transfer IDs among
// those the plug-in handed out; any payload at all.
//
// Links are refused (as the host does by default). After every input: each
// request got exactly one reply of the layout docs/protocol.md gives, no
// reply holds a byte of the outside tree, nothing outside the granted tree
// changed, and once every transfer is closed no descriptor is left open.

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include "PFakes.h"
#include "PFuzzCheck.h"
#include "zevo/IPlugin.h"
#include "zevo/PDataReader.h"
#include "zevo/protocol/PFileAccessProtocol.h"
#include "zevo/zevoGetInstance.h"

namespace {

const std::string kMarker = "OUTSIDE-7f3a";  // in every file outside; never in a reply

struct PWorld {
  PWorld() {
    // In memory where possible: a disk makes each input many times slower.
    std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/zevo-fuzz-XXXXXX" : "/tmp/zevo-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr, "no temporary directory");
    fRoot = std::filesystem::canonical(pattern).string() + "/";
    std::filesystem::create_directories(fRoot + "outside/dir");
    std::filesystem::create_directories(fRoot + "peek/dir");
    writeText(fRoot + "outside/secret", kMarker);
    writeText(fRoot + "outside/dir/inner", kMarker);
    writeText(fRoot + "peek/p", "readable here");  // read granted for exactly this directory
    resetGranted();
    fBefore = outsideTheGrantedTree();
    PPathPolicy::setSymlinks(PPathPolicy::SYMLINKS_REFUSE);
    auto& values = fConfigs.fConfig.fValues;
    values[L"fileaccess.read"] = widen(fRoot + "peek/");
    values[L"fileaccess.write"] = L"";
    values[L"fileaccess.read.recursive"] = values[L"fileaccess.write.recursive"] = widen(fRoot + "granted/");
    zevoRegisterInstance(PLiteral(ZEVO_ID_CONFIG_MANAGER), &fConfigs);
    zevoRegisterInstance(PLiteral(ZEVO_ID_EVENT_DISPATCHER), &fDispatcher);
    zevoRegisterInstance(PLiteral(ZEVO_ID_COMMS), &fComms);
    void* library = dlopen(ZEVO_FILEACCESS_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    auto entry = library ? reinterpret_cast<IPlugin* (*)()>(dlsym(library, ZEVO_PLUGIN_ENTRY_SYMBOL)) : nullptr;
    FUZZ_CHECK(entry != nullptr, "the plug-in does not load");
    IPlugin* plugin = entry();
    plugin->incRef();
    FUZZ_CHECK(plugin->init() == 0 && fDispatcher.fListeners.size() == 1, "the plug-in does not start");
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(world().fRoot, ignored);
    });
  }

  static PWorld& world() {
    static PWorld* sWorld = new PWorld();  // lives for the whole run
    return *sWorld;
  }

  // The granted tree as every input finds it, with links out of it.
  void resetGranted() {
    const std::string granted = fRoot + "granted/";
    std::error_code ignored;
    std::filesystem::remove_all(granted, ignored);
    std::filesystem::create_directories(granted + "sub/deeper");
    writeText(granted + "a.txt", "granted file a");
    writeText(granted + "sub/b.bin", std::string(20000, 'b'));
    for (const auto& [target, name] : {std::pair{fRoot + "outside", "out"}, {fRoot + "outside/secret", "secret"},
                                       {fRoot + "outside/new", "dangling"}, {std::string("../../outside"), "sub/up"}}) {
      FUZZ_CHECK(::symlink(target.c_str(), (granted + name).c_str()) == 0, "link");
    }
  }

  std::map<std::string, std::string> outsideTheGrantedTree() {
    auto all = treeSnapshot(fRoot);
    for (auto it = all.begin(); it != all.end();) it = it->first.rfind("granted", 0) == 0 ? all.erase(it) : std::next(it);
    return all;
  }

  std::string fRoot;
  std::map<std::string, std::string> fBefore;
  PFakeConfigManager fConfigs;
  PFakeDispatcher fDispatcher;
  PFakeComms fComms;
  int fNextResponse = 1;
};

void appendU32(Bytes& ioData, size_t iValue) {
  for (int i = 0; i < 4; ++i) ioData.push_back(static_cast<unsigned char>(iValue >> (8 * i)));
}

void appendInt32(Bytes& ioData, int iValue) {
  ioData.push_back(TAG_INT32);
  appendU32(ioData, static_cast<unsigned int>(iValue));
}

// A string element of a path: a prefix chosen by the input, then its bytes
// as they come (not necessarily UTF-8).
void appendPath(PFuzzInput& ioInput, const std::string& iRoot, Bytes& ioData) {
  const std::string prefixes[] = {"granted/", "granted/sub/", "granted/out/", "granted/secret", "granted/dangling", "granted/sub/up/",
                                  "peek/", "outside/", "", "granted/../outside/", "granted/sub/../", "granted/a.txt", "granted/./sub//"};
  const size_t choice = ioInput.byte() % (std::size(prefixes) + 2);
  std::string path = choice == std::size(prefixes) ? "/" : choice > std::size(prefixes) ? "" : iRoot + prefixes[choice];
  size_t taken = 0;
  const unsigned char* rest = ioInput.take(ioInput.byte() % 24, taken);
  path.append(reinterpret_cast<const char*>(rest), taken);
  ioData.push_back(TAG_STRING);
  appendU32(ioData, path.size());
  ioData.insert(ioData.end(), path.begin(), path.end());
}

// The request's payload: well-formed from the input's choices, or the
// input's bytes as they are, or cut short.
Bytes payloadFor(uint32_t iAction, PFuzzInput& ioInput, const std::vector<int>& iIDs) {
  Bytes data;
  const unsigned char form = ioInput.byte();
  size_t taken = 0;
  if (form % 8 == 7) {
    const unsigned char* raw = ioInput.take(ioInput.byte(), taken);
    return Bytes(raw, raw + taken);
  }
  const unsigned char pick = ioInput.byte();
  const int id = pick < 0xF0 && !iIDs.empty() ? iIDs[pick % iIDs.size()] : static_cast<int>(ioInput.u32());
  const int wild = static_cast<int>(ioInput.u32());
  if (iAction == kStartFileTransfer) {
    appendPath(ioInput, PWorld::world().fRoot, data);
    appendInt32(data, form % 8 == 6 ? wild : wild & 3);
  } else if (iAction == kGetNextFileData) {
    appendInt32(data, id);
    appendInt32(data, form % 8 == 6 ? wild : (wild & 0xFFFF) % 8200);
  } else if (iAction == kSetNextFileData) {
    appendInt32(data, id);
    const unsigned char* block = ioInput.take(ioInput.byte(), taken);
    const size_t copies = 1 + ioInput.byte() % 4;  // blocks larger than the input
    data.push_back(TAG_BYTES);
    appendU32(data, taken * copies);
    for (size_t i = 0; i < copies; ++i) data.insert(data.end(), block, block + taken);
  } else if (iAction == kCloseFileTransfer) {
    appendInt32(data, id);
  } else {
    appendPath(ioInput, PWorld::world().fRoot, data);
  }
  if (form % 8 == 5 && !data.empty()) data.resize(ioInput.byte() % data.size());
  return data;
}

// The reply's layout, as docs/protocol.md gives it.
void checkReply(uint32_t iAction, const PCommsMessage& iReply) {
  const int status = static_cast<int>(iReply.fUint32);
  const bool withModule = iReply.fModuleID.cmp(kFileAccessModuleW, PLiteral::kToNul) == 0;
  FUZZ_CHECK(withModule || iReply.fModuleID.len() == 0, "a reply with a foreign module ID");
  FUZZ_CHECK(status <= 0, "a positive status");
  const bool unknown = iAction > kDeleteDir || (iAction > kCloseFileTransfer && iAction < kGetFileSize);
  FUZZ_CHECK(!unknown || (!withModule && status == 0), "an unknown action's reply");
  if (!withModule) {
    FUZZ_CHECK(unknown ? status == 0 : status == ERR_DATA_SHORT || status == ERR_DATA_TYPE || status == ERR_DATA_ENCODING,
               "a reply without module ID that is neither an unknown action nor a reading failure");
    FUZZ_CHECK(iReply.fData.empty(), "a reply without module ID with elements");
    return;
  }
  PDataReader reader(iReply.fData);
  int id = -1;
  long long size = -1;
  bool flag = false;
  Bytes block;
  std::vector<PString> names;
  switch (iAction) {
    case kStartFileTransfer:
      FUZZ_CHECK(reader.readInt32(id) == 0 && (status == 0) == (id != 0), "StartFileTransfer's ID");
      break;
    case kGetNextFileData:
      FUZZ_CHECK(reader.readBytes(block) == 0 && (status == 0 || block.empty()) && block.size() <= kMaxChunkSize, "a chunk");
      break;
    case kGetFileSize:
      FUZZ_CHECK(reader.readInt64(size) == 0 && (status == 0 || size == 0), "GetFileSize's size");
      break;
    case kIsExists:
    case kIsFile:
      FUZZ_CHECK(reader.readBool(flag) == 0 && (status == 0 || !flag), "a query's bool");
      break;
    case kListDir:
      FUZZ_CHECK(reader.readStrings(names) == 0 && (status == 0 || names.empty()), "ListDir's list");
      break;
  }
  FUZZ_CHECK(reader.remaining() == 0, "a reply with more than its element");
}

PCommsMessage deliver(PWorld& ioWorld, uint32_t iAction, const Bytes& iPayload) {
  PFakeEvent event;
  event.fMessage.fUint32 = iAction;
  event.fMessage.fData = iPayload;
  event.fResponseID = ioWorld.fNextResponse++;
  ioWorld.fDispatcher.fListeners[0]->notify(PLiteral(kFileAccessTopic), &event, 0);
  FUZZ_CHECK(event.refs() == 0, "the event's references are unbalanced");
  const std::vector<PSentReply> replies = ioWorld.fComms.take();
  FUZZ_CHECK(replies.size() == 1 && replies[0].fResponseID == event.fResponseID, "a request not answered exactly once");
  return replies[0].fMessage;
}

bool holdsMarker(const Bytes& iData) { return std::search(iData.begin(), iData.end(), kMarker.begin(), kMarker.end()) != iData.end(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  PWorld& world = PWorld::world();
  world.resetGranted();
  const int descriptors = descriptorCount();
  PFuzzInput input(iData, iSize);
  std::vector<int> ids;
  bool markerSent = false;
  const uint32_t actions[] = {kStartFileTransfer, kGetNextFileData, kSetNextFileData, kCloseFileTransfer, kGetFileSize,
                              kIsExists,          kIsFile,          kListDir,         kMakeDir,           kDeleteFile,
                              kDeleteDir,         4242};
  for (int request = 0; request < 64 && !input.empty(); ++request) {
    const uint32_t action = actions[input.byte() % std::size(actions)];
    const Bytes payload = payloadFor(action, input, ids);
    markerSent = markerSent || holdsMarker(payload);  // a peer may upload the marker itself and read it back
    const PCommsMessage reply = deliver(world, action, payload);
    checkReply(action, reply);
    FUZZ_CHECK(markerSent || !holdsMarker(reply.fData), "a reply holds bytes from outside the granted tree");
    int id = 0;
    if (action == kStartFileTransfer && reply.fUint32 == 0 && PDataReader(reply.fData).readInt32(id) == 0) ids.push_back(id);
  }
  for (int id : ids) {
    Bytes payload;
    appendInt32(payload, id);
    deliver(world, kCloseFileTransfer, payload);  // closed, or closed before: 0 either way
  }
  FUZZ_CHECK(descriptorCount() == descriptors, "a descriptor outlived its transfer");
  FUZZ_CHECK(world.outsideTheGrantedTree() == world.fBefore, "something outside the granted tree changed");
  return 0;
}
