#include "zevo/core/PConfigManager.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "zevo/PDir.h"
#include "zevo/PErrors.h"
#include "zevo/PFile.h"
#include "zevo/PPathPolicy.h"
#include "zevo/PUtils.h"

namespace {

constexpr unsigned int kReadChunk = 64 * 1024;

// iDirectory + "/" + iName, without doubling the root's "/".
template <class Text>
Text joinPath(const Text& iDirectory, const Text& iName) {
  Text path = iDirectory;
  if (path.empty() || path.back() != '/') path += '/';
  return path + iName;
}

std::string meaningOf(int iCode) {
  const char* meaning = PErrors::meaning(iCode);
  return meaning ? meaning : "error " + std::to_string(iCode);
}

// Text for a message, whole, with control bytes and invalid UTF-8 escaped.
std::string shown(const std::string& iText) { return PConfigParser::display(iText, std::string::npos); }
std::string quoted(const std::string& iText) { return "\"" + PConfigParser::display(iText) + "\""; }

bool isDotName(const PLiteral& iText) {
  return iText.cmp(L".", 1) == 0 || iText.cmp(L"..", 2) == 0;
}

// Why iID cannot name a set (empty when it can); its UTF-8 text in oUtf8.
std::string idProblem(const PLiteral& iID, std::string& oUtf8) {
  if (iID.len() == 0) return "it is empty";
  for (unsigned int i = 0; i < iID.len(); ++i) {
    if (iID.ptr()[i] == L'/') return "it holds \"/\"";
    if (iID.ptr()[i] == L'\0') return "it holds a NUL character";
  }
  if (isDotName(iID)) return "it is \".\" or \"..\"";
  const int rc = PUtils::toUtf8(iID, oUtf8);
  if (rc == PERR_NO_MEMORY) throw std::bad_alloc();
  if (rc != 0) return "it is not valid Unicode text";
  return std::string();
}

}  // namespace

PConfigManager::PConfigManager(std::string iDirectory, PString iWideDirectory)
    : fDirectory(std::move(iDirectory)), fWideDirectory(std::move(iWideDirectory)) {}

PConfigManager::~PConfigManager() = default;

int PConfigManager::create(const std::string& iDirectory, PBaseptr<PConfigManager>& oManager,
                           std::string* oError) noexcept {
  try {
    std::string directory = iDirectory;
    while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
    std::string problem;
    PString wide;
    if (directory.empty()) {
      problem = "the path is empty";
    } else if (std::memchr(directory.data(), '\0', directory.size())) {
      problem = "the path holds a NUL character";
    } else if (PUtils::fromUtf8(directory.data(), directory.size(), wide) != 0) {
      problem = "the path is not UTF-8";
    } else if (("/" + directory + "/").find("/../") != std::string::npos) {
      problem = "the path has a \"..\" component";
    }
    if (!problem.empty()) {
      if (oError) *oError = "invalid configuration directory " + quoted(iDirectory) + ": " + problem;
      return ERR_INVALID_ARG;
    }
    PConfigManager* manager = new PConfigManager(std::move(directory), std::move(wide));
    oManager = manager;
  } catch (...) {  // std::bad_alloc
    if (oError) oError->clear();
    return ERR_NO_MEMORY;
  }
  if (oError) oError->clear();
  return 0;
}

int PConfigManager::create(const std::string& iDirectory, PBaseptr<IConfigManager>& oManager) noexcept {
  PBaseptr<PConfigManager> manager;
  const int rc = create(iDirectory, manager);
  if (rc != 0) return rc;
  try {
    oManager = manager.get();
  } catch (...) {
    return ERR_NO_MEMORY;
  }
  return 0;
}

std::string PConfigManager::lastError() const {
  PStdMutexLock lock(fErrorLock);
  try {
    return fLastError;
  } catch (...) {
    return std::string();
  }
}

int PConfigManager::fail(int iCode, std::string& oError) noexcept {
  PStdMutexLock lock(fErrorLock);
  try {
    if (iCode == ERR_NO_MEMORY) oError = "out of memory";
    fLastError = oError;
  } catch (...) {
    fLastError.clear();
  }
  return iCode;
}

int PConfigManager::loadByID(const PLiteral& iID, PBaseptr<IConfig>& oConfig) {
  std::string error;
  return load(iID, oConfig, error);
}

int PConfigManager::load(const PLiteral& iID, PBaseptr<IConfig>& oConfig, std::string& oError) noexcept {
  PBaseptr<PConfig> config;
  const int rc = load(iID, config, oError);
  if (rc != 0) return rc;
  try {
    oConfig = config.get();
  } catch (...) {  // std::bad_alloc
    return fail(ERR_NO_MEMORY, oError);
  }
  return 0;
}

int PConfigManager::load(const PLiteral& iID, PBaseptr<PConfig>& oConfig, std::string& oError) noexcept {
  oError.clear();
  int rc;
  try {
    rc = loadFile(iID, oConfig, oError);
  } catch (...) {  // std::bad_alloc
    rc = ERR_NO_MEMORY;
  }
  return rc == 0 ? 0 : fail(rc, oError);
}

int PConfigManager::loadFile(const PLiteral& iID, PBaseptr<PConfig>& oConfig, std::string& oError) {
  std::string id;
  const std::string problem = idProblem(iID, id);
  if (!problem.empty()) {
    oError = "invalid configuration set ID " + quoted(PUtils::toDisplay(iID)) + ": " + problem;
    return ERR_INVALID_ARG;
  }
  const std::string path = joinPath(fDirectory, id + ".conf");
  PString widePath;
  if (PUtils::fromUtf8(path.data(), path.size(), widePath) != 0) return ERR_NO_MEMORY;  // valid UTF-8 by now
  const std::string where = shown(path);  // the path in messages

  // PFile opens with O_CLOEXEC | O_NONBLOCK and refuses anything but a
  // regular file, so a FIFO cannot block the load. The directory is the
  // administrator's: links in it are followed whatever peers' paths meet.
  PFollowLinksScope followLinks;
  PFile file;
  int rc = file.popen(widePath, PFile::MODE_READ_ONLY, 0);
  if (rc != 0) {
    switch (rc) {
      case PERR_NOT_FOUND:
        oError = where + ": no configuration set \"" + shown(id) + "\" (no such file)";
        return ERR_CONFIG_NO_SET;
      case PERR_IS_DIR:
        oError = where + ": is a directory, not a configuration file";
        return ERR_CONFIG_READ;
      case PERR_NOT_FILE:
        oError = where + ": not a regular file";
        return ERR_CONFIG_READ;
      case PERR_NO_MEMORY:
        return ERR_NO_MEMORY;
      default:
        oError = where + ": cannot open: " + meaningOf(rc);
        return ERR_CONFIG_READ;
    }
  }
  long long size = 0;
  rc = file.pgetSize(size);
  if (rc != 0) {
    oError = where + ": cannot read: " + meaningOf(rc);
    return ERR_CONFIG_READ;
  }
  if (size > static_cast<long long>(PConfigParser::kMaxBytes)) {
    oError = where + ": file of " + std::to_string(size) + " bytes exceeds the limit of " +
             std::to_string(PConfigParser::kMaxBytes) + " bytes";
    return ERR_CONFIG_SYNTAX;
  }

  // Reads to the end, or one byte past the limit for a file that grew.
  std::string data;
  while (data.size() <= PConfigParser::kMaxBytes) {
    const size_t have = data.size();
    const unsigned int step = static_cast<unsigned int>(std::min<size_t>(kReadChunk, PConfigParser::kMaxBytes + 1 - have));
    data.resize(have + step);
    unsigned int done = 0;
    rc = file.pread(&data[have], step, done);
    data.resize(have + done);
    if (rc == PERR_FILE_EOF || (rc == 0 && done < step)) break;
    if (rc != 0) {
      oError = where + ": cannot read: " + meaningOf(rc);
      return ERR_CONFIG_READ;
    }
  }
  file.pclose();
  if (data.size() > PConfigParser::kMaxBytes) {  // grew while being read
    oError = where + ": file exceeds the limit of " + std::to_string(PConfigParser::kMaxBytes) + " bytes";
    return ERR_CONFIG_SYNTAX;
  }

  std::vector<PConfigEntry> entries;
  rc = PConfigParser::parse(data.data(), data.size(), where, entries, oError);
  if (rc != 0) return rc;
  PBaseptr<PConfig> config;
  rc = PConfig::create(entries, where, config);
  if (rc != 0) return rc;
  oConfig = config;
  return 0;
}

int PConfigManager::listIDs(std::vector<PString>& oIDs) {
  std::string error;
  return listIDs(oIDs, error);
}

int PConfigManager::listIDs(std::vector<PString>& oIDs, std::string& oError) noexcept {
  oError.clear();
  int rc;
  try {
    rc = listFiles(oIDs, oError);
  } catch (...) {  // std::bad_alloc
    rc = ERR_NO_MEMORY;
  }
  return rc == 0 ? 0 : fail(rc, oError);
}

int PConfigManager::listFiles(std::vector<PString>& oIDs, std::string& oError) {
  const std::wstring suffix(kSuffix);
  PFollowLinksScope followLinks;  // as in loadFile
  PDir listing;
  int rc = listing.popen(fWideDirectory, PLiteral());  // the names are judged below
  if (rc == 0) rc = listing.preaddir();
  std::vector<PString> ids;
  for (; rc == 0 && listing == 0; listing++) {
    const PLiteral name = listing.getEntry();
    if (name.len() <= suffix.size() || !name.endsWith(suffix.c_str(), PLiteral::kToNul, false)) continue;
    const PLiteral id(name.ptr(), name.len() - static_cast<unsigned int>(suffix.size()));
    if (isDotName(id)) continue;
    const std::wstring path = joinPath(fWideDirectory.str(), std::wstring(name.ptr(), name.len()));
    if (PFile::check(PLiteral(path.c_str(), static_cast<unsigned int>(path.size())), PFile::CHECK_FILE)) {
      ids.emplace_back(id);
    }
  }
  if (rc == 0) rc = listing.lastError();
  if (rc != 0) {
    if (rc == PERR_NO_MEMORY) return ERR_NO_MEMORY;
    oError = shown(fDirectory) + ": cannot list the configuration directory: " + meaningOf(rc);
    return ERR_CONFIG_READ;
  }
  std::sort(ids.begin(), ids.end(), [](const PString& a, const PString& b) { return a.cmp(b) < 0; });
  oIDs.swap(ids);
  return 0;
}
