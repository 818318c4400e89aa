// Loads configuration sets by ID (component "com.quorbex.zevo.config.manager";
// one file per set, docs/configuration.md).
//
// Threading: thread-safe; each load reads the set's file again (nothing is
// cached). Plug-ins load their sets in init, on the host's thread.
#pragma once

#include <vector>

#include "zevo/IBase.h"
#include "zevo/IConfig.h"
#include "zevo/PPtr.h"
#include "zevo/PString.h"

class IConfigManager : public IBase {
 public:
  // The IDs of the sets that can be loaded, sorted: 0, or
  // ERR_CONFIG_READ when the directory cannot be read.
  virtual int listIDs(std::vector<PString>& oIDs) = 0;  // slot 2
  // Loads a set: 0 with oConfig holding it (a reference of its own); else
  // ERR_CONFIG_NO_SET, ERR_CONFIG_SYNTAX, ERR_CONFIG_READ or ERR_INVALID_ARG
  // (a bad ID), and oConfig is left as it was. The manager keeps a message
  // for people saying why (PConfigManager::lastError).
  virtual int loadByID(const PLiteral& iID, PBaseptr<IConfig>& oConfig) = 0;  // slot 3
};
