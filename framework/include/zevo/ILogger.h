// Logging. The logger component hands out named loggers; log lines are wide
// printf-style formats: "%s" takes a narrow string, "%ls" a wide one.
#pragma once

#include "zevo/IBase.h"
#include "zevo/PPtr.h"
#include "zevo/PString.h"

enum PLogLevel {
  LOG_LEVEL_NONE = 0,
  LOG_LEVEL_ERROR = 1,
  LOG_LEVEL_WARNING = 2,
  LOG_LEVEL_INFO = 3,
  LOG_LEVEL_DEBUG = 4,
};

class ILogger : public IBase {
 public:
  // Puts the logger named iLogName into oTarget (which may be the very handle
  // that holds this object); the logger put there holds its own reference.
  virtual int getLogger(const PLiteral& iLogName, PBaseptr<ILogger>& oTarget) = 0;  // slot 2
  virtual int setLevel(int iLevel) = 0;                                              // slot 3
  virtual int getLevel() = 0;                                                        // slot 4
  virtual void logInfo(int iFlags, const wchar_t* iFormat, const char* iFunction, ...) = 0;     // slot 5
  virtual void logWarning(int iFlags, const wchar_t* iFormat, const char* iFunction, ...) = 0;  // slot 6
  virtual void logError(int iFlags, const wchar_t* iFormat, const char* iFunction, ...) = 0;    // slot 7
  virtual void logDebug(int iFlags, const wchar_t* iFormat, const char* iFunction, ...) = 0;    // slot 8
};
