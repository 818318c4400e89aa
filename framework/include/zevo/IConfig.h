// One loaded configuration set: values by key (docs/configuration.md).
//
// Ownership: IConfigManager::loadByID hands a set out in a PBaseptr; it
// stays as loaded (a later edit of its file does not reach it) until the
// last reference goes.
//
// Threading: the getters may be called from any thread, several at once.
// Each answers 0 with the value, ERR_CONFIG_NO_KEY when the set has no such
// key, or ERR_CONFIG_VALUE when the value is not of the kind asked; the
// output is left unchanged on every failure.
#pragma once

#include "zevo/IBase.h"
#include "zevo/PString.h"

class IConfig : public IBase {
 public:
  // A decimal value within int, the whole value.
  virtual int getInt(const PLiteral& iKey, int& oValue) = 0;  // slot 2
  // true, yes, on, 1 / false, no, off, 0, in any letter case.
  virtual int getBool(const PLiteral& iKey, bool& oValue) = 0;  // slot 3
  // Any value, the empty one included.
  virtual int getString(const PLiteral& iKey, PString& oValue) = 0;  // slot 4
};
