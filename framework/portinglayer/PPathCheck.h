// The path check shared by every path operation of PFile and PDir.
#pragma once

#include <string>

#include "zevo/PString.h"

class PPathCheck {
 public:
  // The path as UTF-8 for the system, or PERR_INVALID_PATH for an empty path,
  // a ".." component, an embedded NUL or text that cannot be converted
  // (PERR_NO_MEMORY when the conversion runs out of memory).
  static int toSystem(const PLiteral& iPath, std::string& oPath);
};
