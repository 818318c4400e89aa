// The logger component of libzevol.logger.so.
//
// The component is an ILogger that writes its own lines under the log name
// "zevo" and hands out named loggers (getLogger). All loggers of a component
// share its sink, which stays open while any of them is held. A line is
// written when its level is at most the threshold (PLogLevel); each logger
// follows the component's threshold until its own setLevel() is called.
//
// Line format (standard error and file):
//   2026-12-06T17:58:28.123456Z ERROR zevop.fileaccess.log: [notify] text
// Syslog gets "name: text" with the level's priority (LOG_DAEMON facility).
//
// Log formats are wide printf formats. iFunction is the argument of the
// format's first conversion when that is "%s" (flags, width and precision
// allowed); otherwise it is not printed and every conversion takes the
// variadic arguments. Control characters in the formatted text are escaped
// (\n \r \t \xNN), so one call writes exactly one line.
//
// Threading: every method may be called from any thread.
#pragma once

#include "zevo/ILogger.h"
#include "zevo/PExport.h"
#include "zevo/PPtr.h"
#include "zevo/PString.h"

enum PLogTarget {
  LOG_TARGET_STDERR = 0,
  LOG_TARGET_FILE = 1,
  LOG_TARGET_SYSLOG = 2,
};

class ZEVO_EXPORT PLoggerComponent {
 public:
  // Longest formatted text of one call, in characters; longer text is cut
  // there and marked " [truncated]".
  static constexpr unsigned int kMaxTextLength = 65536;

  // Creates a logger component and puts it into oLogger (which then holds the
  // only reference). iFilePath is used by LOG_TARGET_FILE only: the file is
  // created if needed (mode 0640) and appended to; it must be a regular file
  // or a character device. Results: 0; ERR_INVALID_ARG for an unknown target,
  // a level outside 0..4, or an empty or unconvertible file path; a
  // porting-layer code when the file cannot be opened (PERR_NOT_FOUND,
  // PERR_ACCESS, ..., PERR_NOT_FILE for a FIFO or socket); ERR_NO_MEMORY.
  // oLogger is left unchanged on failure.
  static int create(PLogTarget iTarget, int iLevel, const PLiteral& iFilePath, PBaseptr<ILogger>& oLogger);

  // "ERROR", "WARNING", "INFO", "DEBUG", "NONE"; nullptr for other values.
  static const char* levelName(int iLevel);

  PLoggerComponent() = delete;
};
