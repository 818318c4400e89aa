// One loaded configuration set: the entries of one file, fixed at creation.
//
// Reference counted (atomic, starting at 0): the creator's PBaseptr takes the
// first reference and the last decRef() destroys the set.
//
// Threading: every read is thread-safe; nothing changes after creation.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "zevo/IConfig.h"
#include "zevo/PRefCounted.h"
#include "zevo/PExport.h"
#include "zevo/PPtr.h"
#include "zevo/PString.h"
#include "zevo/core/PConfigParser.h"

class ZEVO_EXPORT PConfig : public PRefCounted<IConfig> {
 public:
  // A set of iEntries (as PConfigParser gives them); iSource is the file's
  // path, or any name for a set that has no file. On 0 oConfig holds it;
  // ERR_INVALID_ARG for an invalid or duplicate key or text that is not
  // UTF-8; ERR_NO_MEMORY. oConfig is unchanged on failure.
  static int create(const std::vector<PConfigEntry>& iEntries, const std::string& iSource,
                    PBaseptr<PConfig>& oConfig) noexcept;


  // 0 and the value; ERR_CONFIG_NO_KEY when absent. Values are trimmed and
  // may be empty. oValue is unchanged on failure.
  int getString(const PLiteral& iKey, PString& oValue) override;
  // Decimal with an optional sign, the whole value, within int;
  // otherwise ERR_CONFIG_VALUE.
  int getInt(const PLiteral& iKey, int& oValue) override;
  // true/yes/on/1 or false/no/off/0, any letter case; otherwise ERR_CONFIG_VALUE.
  int getBool(const PLiteral& iKey, bool& oValue) override;

  // The keys present, in file order (e.g. to warn about unknown keys).
  int keys(std::vector<PString>& oKeys) const noexcept;
  // The line that set iKey; 0 when absent.
  unsigned int lineOf(const PLiteral& iKey) const noexcept;
  // The path (or name) given at creation, for messages.
  const std::string& source() const noexcept { return fSource; }
  size_t size() const noexcept { return fItems.size(); }

  // Runs on the last decRef().
  ~PConfig() override;

 private:
  struct PItem {
    PString fKey;
    PString fValue;
    unsigned int fLine;
  };

  PConfig();
  const PItem* find(const PLiteral& iKey) const noexcept;

  std::string fSource;
  std::vector<PItem> fItems;       // file order
  std::vector<size_t> fByKey;      // indexes into fItems, sorted by key
};
