// Logging (component "com.quorbex.zevo.logger"). The logger component hands
// out named loggers; log lines are wide printf-style formats: "%s" takes a
// narrow string, "%ls" a wide one, "%d" an int, "%p" a pointer.
//
// Threading: every operation of the component and of a named logger may be
// called from any thread, several at once; lines of different threads do not
// interleave. The log calls never fail and never block on a peer (a line
// that cannot be written is dropped), and they keep errno.
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
  // that holds this object); the logger put there holds its own reference:
  // 0, or ERR_INVALID_ARG for an empty name (oTarget unchanged).
  virtual int getLogger(const PLiteral& iLogName, PBaseptr<ILogger>& oTarget) = 0;  // slot 2
  // The level from which lines are written (PLogLevel): 0, or ERR_INVALID_ARG.
  virtual int setLevel(int iLevel) = 0;  // slot 3
  // The highest level whose lines are written now: a caller may skip
  // building a line above it.
  virtual int getLevel() = 0;  // slot 4
  // One line each; iFlags is reserved (0); iFunction names the caller
  // ("[%s]" in the format shows it).
  virtual void logInfo(int iFlags, const wchar_t* iFormat, const char* iFunction, ...) = 0;     // slot 5
  virtual void logWarning(int iFlags, const wchar_t* iFormat, const char* iFunction, ...) = 0;  // slot 6
  virtual void logError(int iFlags, const wchar_t* iFormat, const char* iFunction, ...) = 0;    // slot 7
  virtual void logDebug(int iFlags, const wchar_t* iFormat, const char* iFunction, ...) = 0;    // slot 8
};
