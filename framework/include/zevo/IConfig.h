// One loaded configuration set: string values by key.
#pragma once

#include "zevo/IBase.h"
#include "zevo/PString.h"

class IConfig : public IBase {
 public:
  virtual int getInt(const PLiteral& iKey, int& oValue) = 0;            // slot 2
  virtual int getBool(const PLiteral& iKey, bool& oValue) = 0;          // slot 3
  // 0 and the value when the key is set; a nonzero code otherwise.
  virtual int getString(const PLiteral& iKey, PString& oValue) = 0;     // slot 4
};
