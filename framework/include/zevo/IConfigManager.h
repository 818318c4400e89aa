// Loads configuration sets by ID.
#pragma once

#include <vector>

#include "zevo/IBase.h"
#include "zevo/IConfig.h"
#include "zevo/PPtr.h"
#include "zevo/PString.h"

class IConfigManager : public IBase {
 public:
  // The IDs of the sets that can be loaded.
  virtual int listIDs(std::vector<PString>& oIDs) = 0;                   // slot 2
  // Loads a set; on 0 the handle holds it.
  virtual int loadByID(const PLiteral& iID, PBaseptr<IConfig>& oConfig) = 0;  // slot 3
};
