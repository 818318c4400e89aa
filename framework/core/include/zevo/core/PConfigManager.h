// The configuration manager: one set per file in a configuration directory.
// The set "zevop.fileaccess" is the file "<directory>/zevop.fileaccess.conf"
// (format in PConfigParser.h and docs/configuration.md).
//
// Every load reads and parses the file again; nothing is cached. A failure
// leaves a message for people (path, and line for syntax errors) in the
// caller's oError, where the method has one, and in lastError().
//
// Reference counted (atomic, starting at 0); the last decRef() destroys it.
// Loaded sets hold no reference to the manager and may outlive it.
//
// Threading: every operation is thread-safe.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "zevo/IConfigManager.h"
#include "zevo/PRefCounted.h"
#include "zevo/PExport.h"
#include "zevo/PPtr.h"
#include "zevo/PStdMutex.h"
#include "zevo/PString.h"
#include "zevo/core/PConfig.h"

class ZEVO_EXPORT PConfigManager : public PRefCounted<IConfigManager> {
 public:
  // File name of a set: the ID followed by this suffix.
  static constexpr const wchar_t* kSuffix = L".conf";

  // A manager of the sets in iDirectory (UTF-8; trailing "/" dropped). The
  // directory is not checked for existence here. ERR_INVALID_ARG for an
  // empty path, a NUL, a ".." component or text that is not UTF-8 (with a
  // message in *oError when given); ERR_NO_MEMORY. oManager is unchanged on
  // failure.
  static int create(const std::string& iDirectory, PBaseptr<PConfigManager>& oManager,
                    std::string* oError = nullptr) noexcept;
  static int create(const std::string& iDirectory, PBaseptr<IConfigManager>& oManager) noexcept;


  // The IDs of the regular files "<ID>.conf" in the directory, sorted.
  // ERR_CONFIG_READ when the directory cannot be listed. oIDs is unchanged
  // on failure.
  int listIDs(std::vector<PString>& oIDs) override;
  int listIDs(std::vector<PString>& oIDs, std::string& oError) noexcept;

  // Reads and parses "<directory>/<ID>.conf". On 0 oConfig holds a new set;
  // on failure it is unchanged and the result is:
  //   ERR_INVALID_ARG    ID empty, ".", "..", holding "/" or NUL, or not UTF-8
  //   ERR_CONFIG_NO_SET  no such file
  //   ERR_CONFIG_READ    not a regular file, or it cannot be opened or read
  //   ERR_CONFIG_SYNTAX  malformed, or larger than PConfigParser::kMaxBytes
  //   ERR_NO_MEMORY      out of memory
  int loadByID(const PLiteral& iID, PBaseptr<IConfig>& oConfig) override;
  // The same; also gives the message of a failure (empty on success).
  int load(const PLiteral& iID, PBaseptr<IConfig>& oConfig, std::string& oError) noexcept;
  // The same, typed: PConfig adds keys(), lineOf() and source().
  int load(const PLiteral& iID, PBaseptr<PConfig>& oConfig, std::string& oError) noexcept;

  // The message of the most recent failure on any thread; empty when none
  // has failed yet. A success does not clear it.
  std::string lastError() const;
  // The directory as given to create(), without trailing "/".
  const std::string& directory() const noexcept { return fDirectory; }

  // Runs on the last decRef().
  ~PConfigManager() override;

 private:
  PConfigManager(std::string iDirectory, PString iWideDirectory);

  int loadFile(const PLiteral& iID, PBaseptr<PConfig>& oConfig, std::string& oError);
  int listFiles(std::vector<PString>& oIDs, std::string& oError);
  int fail(int iCode, std::string& oError) noexcept;  // records oError in fLastError

  const std::string fDirectory;  // UTF-8, for messages
  const PString fWideDirectory;  // for PFile and PDir
  mutable PStdMutex fErrorLock;
  std::string fLastError ZEVO_GUARDED_BY(fErrorLock);
};
