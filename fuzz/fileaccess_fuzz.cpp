// The file-access plug-in, loaded through its entry function as a host
// does, served requests built from the input: every action, paths chosen
// among prefixes of a granted tree, a tree outside it, links from one to the
// other, ".." and relative names, followed by any bytes; transfer IDs among
// those the plug-in handed out; any payload at all.
//
// Links are refused (as the host does by default). After every input: each
// request got exactly one reply of the layout docs/protocol.md gives, no
// reply holds a byte of the outside tree, the outside tree and the
// directory around both trees are as they were, and once every transfer is
// closed no descriptor is left open.

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

const char kMarker[] = "OUTSIDE-7f3a";  // in every file outside; never in a reply

// Names directly in iDir.
std::vector<std::string> names(const std::string& iDir) {
  std::vector<std::string> all;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(iDir, error)) all.push_back(entry.path().string());
  std::sort(all.begin(), all.end());
  return all;
}

struct PWorld {
  PWorld() {
    // In memory where possible: a disk makes each input many times slower.
    std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/zevo-fuzz-XXXXXX" : "/tmp/zevo-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr, "no temporary directory");
    fRoot = std::filesystem::canonical(pattern).string();
    fGranted = fRoot + "/granted/";
    fOutside = fRoot + "/outside/";
    std::filesystem::create_directories(fOutside + "dir");
    writeText(fOutside + "secret", kMarker);
    writeText(fOutside + "dir/inner", kMarker);
    std::filesystem::create_directories(fRoot + "/peek/dir");
    writeText(fRoot + "/peek/p", "readable here");  // read granted for exactly this directory
    fOutsideBefore = treeSnapshot(fOutside);
    fPeekBefore = treeSnapshot(fRoot + "/peek");
    resetGranted();
    fRootBefore = names(fRoot);

    PPathPolicy::setSymlinks(PPathPolicy::SYMLINKS_REFUSE);
    std::wstring granted(fGranted.begin(), fGranted.end());
    auto& values = fConfigs.fConfig.fValues;
    values[L"fileaccess.read"] = std::wstring(fRoot.begin(), fRoot.end()) + L"/peek/";
    values[L"fileaccess.write"] = L"";
    values[L"fileaccess.read.recursive"] = granted;
    values[L"fileaccess.write.recursive"] = granted;
    zevoRegisterInstance(PLiteral(ZEVO_ID_CONFIG_MANAGER), &fConfigs);
    zevoRegisterInstance(PLiteral(ZEVO_ID_EVENT_DISPATCHER), &fDispatcher);
    zevoRegisterInstance(PLiteral(ZEVO_ID_COMMS), &fComms);
    void* library = dlopen(ZEVO_FILEACCESS_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    FUZZ_CHECK(library != nullptr, "the plug-in does not load");
    auto entry = reinterpret_cast<IPlugin* (*)()>(dlsym(library, ZEVO_PLUGIN_ENTRY_SYMBOL));
    FUZZ_CHECK(entry != nullptr, "the plug-in has no entry");
    fPlugin = entry();
    fPlugin->incRef();
    FUZZ_CHECK(fPlugin->init() == 0 && fDispatcher.fListeners.size() == 1, "the plug-in does not start");
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(world().fRoot, ignored);
    });
  }

  static PWorld& world();

  // The granted tree as every input finds it, with links out of it.
  void resetGranted() {
    std::error_code ignored;
    std::filesystem::remove_all(fGranted, ignored);
    std::filesystem::create_directories(fGranted + "sub/deeper");
    writeText(fGranted + "a.txt", "granted file a");
    writeText(fGranted + "sub/b.bin", std::string(20000, 'b'));
    FUZZ_CHECK(::symlink(fOutside.c_str(), (fGranted + "out").c_str()) == 0, "link");
    FUZZ_CHECK(::symlink((fOutside + "secret").c_str(), (fGranted + "secret").c_str()) == 0, "link");
    FUZZ_CHECK(::symlink((fOutside + "new").c_str(), (fGranted + "dangling").c_str()) == 0, "link");
    FUZZ_CHECK(::symlink("../outside", (fGranted + "sub/up").c_str()) == 0, "link");
  }

  std::string fRoot, fGranted, fOutside;
  std::map<std::string, std::string> fOutsideBefore;
  std::map<std::string, std::string> fPeekBefore;
  std::vector<std::string> fRootBefore;
  PFakeConfigManager fConfigs;
  PFakeDispatcher fDispatcher;
  PFakeComms fComms;
  IPlugin* fPlugin = nullptr;
  int fNextResponse = 1;
};

PWorld& PWorld::world() {
  static PWorld* sWorld = new PWorld();  // lives for the whole run
  return *sWorld;
}

const uint32_t kActions[] = {kStartFileTransfer, kGetNextFileData, kSetNextFileData, kCloseFileTransfer, kGetFileSize,
                             kIsExists, kIsFile, kListDir, kMakeDir, kDeleteFile, kDeleteDir, 4242};

enum Element { kNone, kInt32, kBytes, kInt64, kBool, kList };
Element elementOf(uint32_t iAction) {
  switch (iAction) {
    case kStartFileTransfer: return kInt32;
    case kGetNextFileData: return kBytes;
    case kGetFileSize: return kInt64;
    case kIsExists:
    case kIsFile: return kBool;
    case kListDir: return kList;
    default: return kNone;
  }
}

void appendU32(Bytes& ioData, uint32_t iValue) {
  for (int i = 0; i < 4; ++i) ioData.push_back(static_cast<unsigned char>(iValue >> (8 * i)));
}

// A string element of a path: a prefix chosen by the input, then its bytes
// as they come (not necessarily UTF-8).
void appendPath(PFuzzInput& ioInput, const PWorld& iWorld, Bytes& ioData) {
  const std::string prefixes[] = {iWorld.fGranted,
                                  iWorld.fGranted + "sub/",
                                  iWorld.fGranted + "out/",
                                  iWorld.fGranted + "secret",
                                  iWorld.fGranted + "dangling",
                                  iWorld.fGranted + "sub/up/",
                                  iWorld.fRoot + "/peek/",
                                  iWorld.fOutside,
                                  iWorld.fRoot + "/",
                                  iWorld.fGranted + "../outside/",
                                  iWorld.fGranted + "sub/../",
                                  "/",
                                  "",
                                  iWorld.fGranted + "a.txt",
                                  iWorld.fGranted + "./sub//"};
  std::string path = prefixes[ioInput.byte() % (sizeof prefixes / sizeof prefixes[0])];
  size_t taken = 0;
  const unsigned char* rest = ioInput.take(ioInput.byte() % 24, taken);
  path.append(reinterpret_cast<const char*>(rest), taken);
  ioData.push_back(TAG_STRING);
  appendU32(ioData, static_cast<uint32_t>(path.size()));
  ioData.insert(ioData.end(), path.begin(), path.end());
}

void appendInt32(Bytes& ioData, int iValue) {
  ioData.push_back(TAG_INT32);
  appendU32(ioData, static_cast<uint32_t>(iValue));
}

int transferID(PFuzzInput& ioInput, const std::vector<int>& iIDs) {
  const unsigned char choice = ioInput.byte();
  if (choice < 0xF0 && !iIDs.empty()) return iIDs[choice % iIDs.size()];
  return static_cast<int>(ioInput.u32());
}

// The request's payload: well-formed from the input's choices, or the
// input's bytes as they are.
Bytes payloadFor(uint32_t iAction, PFuzzInput& ioInput, const PWorld& iWorld, const std::vector<int>& iIDs) {
  Bytes data;
  const unsigned char form = ioInput.byte();
  if (form % 8 == 7) {
    size_t taken = 0;
    const unsigned char* raw = ioInput.take(ioInput.byte(), taken);
    data.assign(raw, raw + taken);
    return data;
  }
  switch (iAction) {
    case kStartFileTransfer:
      appendPath(ioInput, iWorld, data);
      appendInt32(data, form % 8 == 6 ? static_cast<int>(ioInput.u32()) : ioInput.byte() % 4);
      break;
    case kGetNextFileData: {
      appendInt32(data, transferID(ioInput, iIDs));
      const int size = ioInput.byte() | (ioInput.byte() << 8);
      appendInt32(data, form % 8 == 6 ? static_cast<int>(ioInput.u32()) : size % 8200);
      break;
    }
    case kSetNextFileData: {
      appendInt32(data, transferID(ioInput, iIDs));
      size_t taken = 0;
      const unsigned char* block = ioInput.take(ioInput.byte(), taken);
      const int copies = 1 + ioInput.byte() % 4;  // blocks larger than the input
      data.push_back(TAG_BYTES);
      appendU32(data, static_cast<uint32_t>(taken * copies));
      for (int i = 0; i < copies; ++i) data.insert(data.end(), block, block + taken);
      break;
    }
    case kCloseFileTransfer:
      appendInt32(data, transferID(ioInput, iIDs));
      break;
    default:
      appendPath(ioInput, iWorld, data);
      break;
  }
  if (form % 8 == 5 && !data.empty()) data.resize(ioInput.byte() % data.size());  // cut short
  return data;
}

// The reply's layout, as docs/protocol.md gives it.
void checkReply(uint32_t iAction, const PCommsMessage& iReply) {
  const int status = static_cast<int>(iReply.fUint32);
  const bool withModule = iReply.fModuleID.cmp(kFileAccessModuleW, PLiteral::kToNul) == 0;
  FUZZ_CHECK(withModule || iReply.fModuleID.len() == 0, "a reply with a foreign module ID");
  if (iAction == 4242) {
    FUZZ_CHECK(status == 0 && !withModule && iReply.fData.empty(), "an unknown action's reply");
    return;
  }
  if (!withModule) {
    FUZZ_CHECK(status == ERR_DATA_SHORT || status == ERR_DATA_TYPE || status == ERR_DATA_ENCODING,
               "a reply without module ID that is not a reading failure");
    FUZZ_CHECK(iReply.fData.empty(), "a reading failure with elements");
    return;
  }
  PDataReader reader(iReply.fData);
  switch (elementOf(iAction)) {
    case kNone:
      break;
    case kInt32: {
      int id = -1;
      FUZZ_CHECK(reader.readInt32(id) == 0, "StartFileTransfer's ID");
      FUZZ_CHECK(status != 0 || id != 0, "a transfer opened with ID 0");
      FUZZ_CHECK(status == 0 || id == 0, "a failed StartFileTransfer with an ID");
      break;
    }
    case kBytes: {
      Bytes block;
      FUZZ_CHECK(reader.readBytes(block) == 0, "GetNextFileData's block");
      FUZZ_CHECK(status == 0 || block.empty(), "a failed GetNextFileData with bytes");
      FUZZ_CHECK(block.size() <= kMaxChunkSize, "a chunk above 8192 bytes");
      break;
    }
    case kInt64: {
      long long size = -1;
      FUZZ_CHECK(reader.readInt64(size) == 0, "GetFileSize's size");
      FUZZ_CHECK(status == 0 || size == 0, "a failed GetFileSize with a size");
      break;
    }
    case kBool: {
      bool value = false;
      FUZZ_CHECK(reader.readBool(value) == 0, "the bool");
      FUZZ_CHECK(status == 0 || !value, "a failed query answering true");
      break;
    }
    case kList: {
      std::vector<PString> list;
      FUZZ_CHECK(reader.readStrings(list) == 0, "ListDir's list");
      FUZZ_CHECK(status == 0 || list.empty(), "a failed ListDir with names");
      break;
    }
  }
  FUZZ_CHECK(reader.remaining() == 0, "a reply with more than its element");
  FUZZ_CHECK(status <= 0, "a positive status");
}

bool holdsMarker(const Bytes& iData) {
  const size_t length = sizeof kMarker - 1;
  return std::search(iData.begin(), iData.end(), kMarker, kMarker + length) != iData.end();
}

PCommsMessage deliver(PWorld& ioWorld, uint32_t iAction, const Bytes& iPayload) {
  PFakeEvent event;
  event.fMessage.fUint32 = iAction;
  event.fMessage.fData = iPayload;
  event.fResponseID = ioWorld.fNextResponse++;
  ioWorld.fDispatcher.fListeners[0]->notify(PLiteral(kFileAccessTopic), &event, 0);
  FUZZ_CHECK(event.refs() == 0, "the event's references are unbalanced");
  const std::vector<PSentReply> replies = ioWorld.fComms.take();
  FUZZ_CHECK(replies.size() == 1, "a request not answered exactly once");
  FUZZ_CHECK(replies.back().fResponseID == event.fResponseID, "a reply to another request");
  return replies.back().fMessage;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  PWorld& world = PWorld::world();
  world.resetGranted();
  const int descriptors = descriptorCount();
  PFuzzInput input(iData, iSize);
  std::vector<int> ids;
  bool markerSent = false;
  for (int request = 0; request < 64 && !input.empty(); ++request) {
    const uint32_t action = kActions[input.byte() % (sizeof kActions / sizeof kActions[0])];
    const Bytes payload = payloadFor(action, input, world, ids);
    // A peer may upload the marker itself and read it back.
    markerSent = markerSent || holdsMarker(payload);
    const PCommsMessage reply = deliver(world, action, payload);
    checkReply(action, reply);
    FUZZ_CHECK(markerSent || !holdsMarker(reply.fData), "a reply holds bytes from outside the granted tree");
    if (action == kStartFileTransfer && reply.fUint32 == 0) {
      int id = 0;
      PDataReader(reply.fData).readInt32(id);
      ids.push_back(id);
    }
  }
  for (int id : ids) {
    Bytes payload;
    appendInt32(payload, id);
    deliver(world, kCloseFileTransfer, payload);  // closed, or closed before: 0 either way
  }
  FUZZ_CHECK(descriptorCount() == descriptors, "a descriptor outlived its transfer");
  FUZZ_CHECK(treeSnapshot(world.fOutside) == world.fOutsideBefore, "the tree outside the granted one changed");
  FUZZ_CHECK(treeSnapshot(world.fRoot + "/peek") == world.fPeekBefore, "a directory granted for reading changed");
  FUZZ_CHECK(names(world.fRoot) == world.fRootBefore, "something appeared beside the granted tree");
  return 0;
}
