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
// Syslog gets "name: text" with the level's priority (LOG_DAEMON facility);
// the journal gets the text as MESSAGE with PRIORITY, SYSLOG_IDENTIFIER,
// ZEVO_LOGGER (the log name) and the fields of logRecord().
//
// Levels: ILogger's 0..4, and LOG_LEVEL_TRACE (5) beyond debug, which only
// the component's settings name. A named logger whose name starts with one
// of PLoggerSettings::fDetailPrefixes is developer detail: its error,
// warning and information lines are written at debug, its debug lines at
// trace. getLevel() answers the highest of ILogger's levels (0..4) whose
// lines the logger writes: LOG_LEVEL_DEBUG at trace; for a developer-detail
// logger LOG_LEVEL_INFO at debug and LOG_LEVEL_NONE below.
//
// Log formats are wide printf formats. iFunction is the argument of the
// format's first conversion when that is "%s" (flags, width and precision
// allowed); otherwise it is not printed and every conversion takes the
// variadic arguments. Control characters in the formatted text are escaped
// (\n \r \t \xNN), so one call writes exactly one line.
//
// Threading: every method may be called from any thread.
#pragma once

#include <string>
#include <vector>

#include "zevo/ILogger.h"
#include "zevo/PExport.h"
#include "zevo/PPtr.h"
#include "zevo/PString.h"

// A fixed underlying type: any int a caller passes is a value create() can refuse.
enum PLogTarget : int {
  LOG_TARGET_STDERR = 0,
  LOG_TARGET_FILE = 1,
  LOG_TARGET_SYSLOG = 2,
  LOG_TARGET_JOURNAL = 3,  // sd-journal; only in a build with libsystemd (PLoggerComponent::hasJournal)
};

// Beyond LOG_LEVEL_DEBUG: the developer detail of debug lines (see above).
// A component's threshold only; ILogger::setLevel takes 0..4.
constexpr int LOG_LEVEL_TRACE = 5;

struct PLoggerSettings {
  PLogTarget fTarget = LOG_TARGET_STDERR;
  int fLevel = LOG_LEVEL_INFO;  // 0..LOG_LEVEL_TRACE
  std::wstring fFilePath;       // LOG_TARGET_FILE only
  std::string fIdentifier;      // the journal's SYSLOG_IDENTIFIER; empty: the program's name
  std::vector<std::wstring> fDetailPrefixes;  // named loggers that are developer detail
};

// A field of a journal entry: a name of upper-case letters, digits and '_'
// (not starting with '_'), and its value (UTF-8).
struct PLogField {
  const char* fName;
  std::string fValue;
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
  // The same with every setting; a level of 0..LOG_LEVEL_TRACE.
  // LOG_TARGET_JOURNAL in a build without libsystemd: ERR_INVALID_ARG.
  static int create(const PLoggerSettings& iSettings, PBaseptr<ILogger>& oLogger);

  // Whether this build can write to the journal.
  static bool hasJournal();

  // One line of iText at iLevel (1..4) through iLogger, as its logError and
  // the others write; a journal target also stores iFields with it. A
  // logger that is not of this library gets iText through its own calls.
  // Never fails visibly; leaves errno as it was.
  static void logRecord(ILogger* iLogger, int iLevel, const std::wstring& iText, const std::vector<PLogField>& iFields);

  // "ERROR", "WARNING", "INFO", "DEBUG", "TRACE", "NONE"; nullptr for other values.
  static const char* levelName(int iLevel);

  PLoggerComponent() = delete;
};
