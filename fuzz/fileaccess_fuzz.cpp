// The file-access plug-in, loaded through its entry function as a host
// does, served requests built from the input. An input is a series of
// requests: an action byte, a form byte (7: a count byte and that many bytes
// are the payload; 6: the mode or chunk size is a wild u32; 5: the payload is
// cut at a further byte), then the fields: a path as a byte choosing a prefix
// (in the granted tree, outside it, through links, "..", relative) and a
// length byte with its bytes; a transfer ID as a byte choosing one handed out
// (0xF0 and up: a u32); a mode byte; two bytes of chunk size; a block as a
// count byte, its bytes and a byte of repeats.
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
#include "zevo/PDataWriter.h"
#include "zevo/protocol/PFileAccessProtocol.h"
#include "zevo/zevoGetInstance.h"

namespace {

const std::string kMarker = "OUTSIDE-7f3a";  // in every file outside; never in a reply

// The service and its tree, made once for the whole run (and never freed).
struct PWorld {
  PWorld() {
    // In memory where possible: a disk makes each input many times slower.
    std::string root = access("/dev/shm", W_OK) == 0 ? "/dev/shm/zevo-fuzz-XXXXXX" : "/tmp/zevo-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(root.data()) != nullptr, "no temporary directory");
    fRoot = std::filesystem::canonical(root).string() + "/";
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(world().fRoot, ignored);
    });
    makeTree();
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
    fPlugin = entry();
    fPlugin->incRef();
    FUZZ_CHECK(fPlugin->init() == 0 && fDispatcher.fListeners.size() == 1, "the plug-in does not start");
  }

  static PWorld& world() {
    static PWorld* sWorld = new PWorld();
    return *sWorld;
  }

  // The tree every input finds: granted/ with links out of it, outside/, and
  // peek/, granted for reading by a plain entry.
  void makeTree() {
    std::error_code ignored;
    std::filesystem::remove_all(fRoot + "granted", ignored);
    for (const char* dir : {"granted/sub/deeper", "outside/dir", "peek/dir"}) std::filesystem::create_directories(fRoot + dir);
    for (const auto& [name, text] : {std::pair<const char*, std::string>{"granted/a.txt", "granted file a"}, {"outside/secret", kMarker},
                                     {"granted/sub/b.bin", std::string(20000, 'b')}, {"outside/dir/inner", kMarker}, {"peek/p", "readable"}}) {
      writeText(fRoot + name, text);
    }
    for (const auto& [target, name] : {std::pair{fRoot + "outside", "out"}, {fRoot + "outside/secret", "secret"},
                                       {fRoot + "outside/new", "dangling"}, {std::string("../../outside"), "sub/up"}}) {
      FUZZ_CHECK(::symlink(target.c_str(), (fRoot + "granted/" + name).c_str()) == 0, "link");
    }
  }

  std::map<std::string, std::string> outsideTheGrantedTree() {
    auto all = treeSnapshot(fRoot);
    for (auto it = all.begin(); it != all.end();) it = it->first.rfind("granted", 0) == 0 ? all.erase(it) : std::next(it);
    return all;
  }

  // One request: answered exactly once, the event's references given back.
  PCommsMessage deliver(uint32_t iAction, const Bytes& iPayload) {
    PFakeEvent event;
    event.fMessage.fUint32 = iAction;
    event.fMessage.fData = iPayload;
    event.fResponseID = fNextResponse++;
    fDispatcher.fListeners[0]->notify(PLiteral(kFileAccessTopic), &event, 0);
    FUZZ_CHECK(event.refs() == 0, "the event's references are unbalanced");
    const std::vector<PSentReply> replies = fComms.take();
    FUZZ_CHECK(replies.size() == 1 && replies[0].fResponseID == event.fResponseID, "a request not answered exactly once");
    return replies[0].fMessage;
  }

  std::string fRoot;
  std::map<std::string, std::string> fBefore;  // what lies outside the granted tree
  IPlugin* fPlugin = nullptr;  // kept for the process's life, like the world
  PFakeConfigManager fConfigs;
  PFakeDispatcher fDispatcher;
  PFakeComms fComms;
  int fNextResponse = 1;
};

// The request's payload, read from the input as the comment on top says.
Bytes payloadFor(uint32_t iAction, PFuzzInput& ioInput, const std::vector<int>& iIDs) {
  Bytes data;
  PDataWriter writer(data);
  const auto take = [&](size_t iCount) {
    size_t taken = 0;
    const unsigned char* at = ioInput.take(iCount, taken);
    return Bytes(at, at + taken);
  };
  const unsigned char form = ioInput.byte() % 8;
  if (form == 7) return take(ioInput.byte());
  if (iAction == kGetNextFileData || iAction == kSetNextFileData || iAction == kCloseFileTransfer) {
    const unsigned char pick = ioInput.byte();  // a transfer handed out, or any ID
    writer.writeInt32(pick < 0xF0 && !iIDs.empty() ? iIDs[pick % iIDs.size()] : static_cast<int>(ioInput.u32()));
  } else {  // a path, not necessarily UTF-8: written as a block, then tagged as a string
    static const char* const kPrefixes[] = {"granted/", "granted/sub/", "granted/out/", "granted/secret", "granted/dangling",
                                            "granted/sub/up/", "peek/", "outside/", "", "granted/../outside/", "granted/sub/../",
                                            "=/", "=", "granted/a.txt", "granted/./sub//"};  // "=": as it stands, else in the root
    const std::string prefix = kPrefixes[ioInput.byte() % std::size(kPrefixes)];
    const std::string text = prefix[0] == '=' ? prefix.substr(1) : PWorld::world().fRoot + prefix;
    Bytes path = take(ioInput.byte() % 24);
    path.insert(path.begin(), text.begin(), text.end());
    writer.writeBytes(path);
    data[0] = TAG_STRING;
  }
  if (iAction == kStartFileTransfer) {
    writer.writeInt32(form == 6 ? static_cast<int>(ioInput.u32()) : ioInput.byte() % 4);
  } else if (iAction == kGetNextFileData) {
    const int size = ioInput.byte() | (ioInput.byte() << 8);
    writer.writeInt32(form == 6 ? static_cast<int>(ioInput.u32()) : size % 8200);
  } else if (iAction == kSetNextFileData) {
    const Bytes block = take(ioInput.byte());
    Bytes blocks;  // larger than the input
    for (int copies = 1 + ioInput.byte() % 4; copies > 0; --copies) blocks.insert(blocks.end(), block.begin(), block.end());
    writer.writeBytes(blocks);
  }
  if (form == 5 && !data.empty()) data.resize(ioInput.byte() % data.size());
  return data;
}

// The reply's layout, as docs/protocol.md gives it: the module ID and the
// action's element (0, false or empty when it failed); or, for a request that
// could not be read or an unknown action, no module ID, nothing, and the
// reading code or 0.
void checkReply(uint32_t iAction, const PCommsMessage& iReply) {
  static const std::map<uint32_t, Bytes> kFailed = {
      {kStartFileTransfer, {TAG_INT32, 0, 0, 0, 0}}, {kGetNextFileData, {TAG_BYTES, 0, 0, 0, 0}}, {kSetNextFileData, {}},
      {kCloseFileTransfer, {}}, {kGetFileSize, {TAG_INT64, 0, 0, 0, 0, 0, 0, 0, 0}}, {kIsExists, {TAG_BOOL, 0}},
      {kIsFile, {TAG_BOOL, 0}}, {kListDir, {TAG_STRING_LIST, 0, 0, 0, 0}}, {kMakeDir, {}}, {kDeleteFile, {}}, {kDeleteDir, {}}};
  const int status = static_cast<int>(iReply.fUint32);
  const auto failed = kFailed.find(iAction);
  if (failed == kFailed.end() || iReply.fModuleID.len() == 0) {
    const bool reading = status == ERR_DATA_SHORT || status == ERR_DATA_TYPE || status == ERR_DATA_ENCODING;
    FUZZ_CHECK(iReply.fModuleID.len() == 0 && iReply.fData.empty() && (failed == kFailed.end() ? status == 0 : reading),
               "a reply without module ID that is neither an unknown action's nor a reading failure's");
    return;
  }
  FUZZ_CHECK(iReply.fModuleID.cmp(kFileAccessModuleW, PLiteral::kToNul) == 0 && status <= 0, "a foreign module ID or a positive status");
  FUZZ_CHECK(status == 0 || iReply.fData == failed->second, "a failed action's element is not 0, false or empty");
  PDataReader reader(iReply.fData);
  int id = 0;
  long long size = 0;
  bool flag = false;
  Bytes block;
  std::vector<PString> names;
  const unsigned char tag = failed->second.empty() ? 0 : failed->second[0];
  const bool read = tag == TAG_INT32   ? reader.readInt32(id) == 0 && (status == 0) == (id != 0)
                    : tag == TAG_BYTES ? reader.readBytes(block) == 0 && block.size() <= kMaxChunkSize
                    : tag == TAG_INT64 ? reader.readInt64(size) == 0
                    : tag == TAG_BOOL  ? reader.readBool(flag) == 0
                                       : tag != TAG_STRING_LIST || reader.readStrings(names) == 0;
  FUZZ_CHECK(read && reader.remaining() == 0, "a reply that is not exactly the action's element");
}

bool holdsMarker(const Bytes& iData) { return std::search(iData.begin(), iData.end(), kMarker.begin(), kMarker.end()) != iData.end(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  PWorld& world = PWorld::world();
  world.makeTree();
  const int descriptors = descriptorCount();
  PFuzzInput input(iData, iSize);
  std::vector<int> ids;
  bool markerSent = false;
  const uint32_t actions[] = {kStartFileTransfer, kGetNextFileData, kSetNextFileData, kCloseFileTransfer, kGetFileSize, kIsExists,
                              kIsFile,            kListDir,         kMakeDir,         kDeleteFile,        kDeleteDir,   4242};
  for (int request = 0; request < 64 && !input.empty(); ++request) {
    const uint32_t action = actions[input.byte() % std::size(actions)];
    const Bytes payload = payloadFor(action, input, ids);
    markerSent = markerSent || holdsMarker(payload);  // a peer may upload the marker itself and read it back
    const PCommsMessage reply = world.deliver(action, payload);
    checkReply(action, reply);
    FUZZ_CHECK(markerSent || !holdsMarker(reply.fData), "a reply holds bytes from outside the granted tree");
    int id = 0;
    if (action == kStartFileTransfer && reply.fUint32 == 0 && PDataReader(reply.fData).readInt32(id) == 0) ids.push_back(id);
  }
  for (int id : ids) {
    Bytes payload;
    PDataWriter(payload).writeInt32(id);
    world.deliver(kCloseFileTransfer, payload);  // closed, or closed before: 0 either way
  }
  FUZZ_CHECK(descriptorCount() == descriptors, "a descriptor outlived its transfer");
  FUZZ_CHECK(world.outsideTheGrantedTree() == world.fBefore, "something outside the granted tree changed");
  return 0;
}
