#include "zevo/logger/PLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "zevo/PCounter.h"
#include "zevo/PErrors.h"
#include "zevo/PFd.h"
#include "zevo/PRefCounted.h"
#include "zevo/PStdMutex.h"
#include "zevo/PUtils.h"

#ifdef ZEVO_HAVE_JOURNAL
#include <systemd/sd-journal.h>
#endif

namespace {

constexpr int kFollowComponent = -1;  // a named logger's level before its setLevel()
constexpr unsigned int kStackChars = 512;
const wchar_t kTruncatedMark[] = L" [truncated]";

// What ILogger::setLevel takes, and what a component's threshold may be.
bool validLevel(int iLevel) { return iLevel >= LOG_LEVEL_NONE && iLevel <= LOG_LEVEL_DEBUG; }
bool validThreshold(int iLevel) { return iLevel >= LOG_LEVEL_NONE && iLevel <= LOG_LEVEL_TRACE; }

// Escapes control characters (C0, DEL, C1) so that the text stays on one line.
std::wstring escapeControls(const wchar_t* iText, size_t iLength) {
  static const wchar_t kHex[] = L"0123456789abcdef";
  std::wstring out;
  out.reserve(iLength + 16);
  for (size_t i = 0; i < iLength; ++i) {
    const wchar_t c = iText[i];
    const unsigned int u = static_cast<unsigned int>(c);  // wchar_t is signed on x86, unsigned on ARM
    if (c == L'\n') {
      out += L"\\n";
    } else if (c == L'\r') {
      out += L"\\r";
    } else if (c == L'\t') {
      out += L"\\t";
    } else if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) {
      out += L"\\x";
      out.push_back(kHex[(u >> 4) & 0xF]);
      out.push_back(kHex[u & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string toLineText(const std::wstring& iText) {
  const std::wstring escaped = escapeControls(iText.data(), iText.size());
  const PLiteral literal(escaped.c_str(), static_cast<unsigned int>(escaped.size()));
  std::string utf8;
  if (PUtils::toUtf8(literal, utf8) == 0) return utf8;
  return PUtils::toDisplay(literal);
}

// The function name as wide text; bytes that are not UTF-8 become '?'.
std::wstring widen(const char* iText) {
  if (!iText) return L"(null)";
  const size_t length = std::strlen(iText);
  PString wide;
  if (PUtils::fromUtf8(iText, length, wide) == 0) return wide.str();
  std::wstring out;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char byte = static_cast<unsigned char>(iText[i]);
    out.push_back(byte < 0x80 ? static_cast<wchar_t>(byte) : L'?');
  }
  return out;
}

// Reads decimal digits, saturating above the longest text.
size_t readNumber(const wchar_t*& ioText) {
  size_t value = 0;
  for (; *ioText >= L'0' && *ioText <= L'9'; ++ioText) {
    value = value * 10 + static_cast<size_t>(*ioText - L'0');
    if (value > PLoggerComponent::kMaxTextLength) value = PLoggerComponent::kMaxTextLength + 1;
  }
  return value;
}

// If the first conversion of iFormat is "%s" (flags, width, precision only),
// returns a format with iFunction put in its place ('%' doubled) and true.
bool spliceFunction(const wchar_t* iFormat, const char* iFunction, std::wstring& oFormat) {
  const wchar_t* p = iFormat;
  while (*p) {
    if (*p != L'%') {
      ++p;
      continue;
    }
    if (p[1] == L'%') {
      p += 2;
      continue;
    }
    const wchar_t* q = p + 1;
    bool left = false;
    while (*q && std::wcschr(L"-+ #0", *q)) left |= (*q++ == L'-');
    const size_t width = readNumber(q);
    const bool hasPrecision = *q == L'.';
    const size_t precision = hasPrecision ? readNumber(++q) : 0;
    if (*q != L's') return false;  // the first conversion is something else

    std::wstring text = widen(iFunction);
    if (hasPrecision && text.size() > precision) text.resize(precision);
    if (text.size() < width) text.insert(left ? text.size() : 0, width - text.size(), L' ');
    oFormat.assign(iFormat, static_cast<size_t>(p - iFormat));
    for (wchar_t c : text) {
      if (c == L'%') oFormat.push_back(L'%');
      oFormat.push_back(c);
    }
    oFormat.append(q + 1);
    return true;
  }
  return false;
}

// Formats one call into oText: the placeholder on a format error, text cut
// and marked at PLoggerComponent::kMaxTextLength characters.
void formatText(const wchar_t* iFormat, const char* iFunction, va_list iArgs, std::wstring& oText) {
  if (!iFormat) {
    oText = L"<format error: null format>";
    return;
  }
  std::wstring spliced;
  const wchar_t* format = spliceFunction(iFormat, iFunction, spliced) ? spliced.c_str() : iFormat;

  wchar_t stackBuffer[kStackChars];
  std::unique_ptr<wchar_t[]> heapBuffer;
  wchar_t* buffer = stackBuffer;
  size_t size = kStackChars;
  for (;;) {
    va_list args;
    va_copy(args, iArgs);
    errno = 0;
    const int written = std::vswprintf(buffer, size, format, args);
    const int error = errno;
    va_end(args);
    if (written >= 0) {
      oText.assign(buffer, static_cast<size_t>(written));
      return;
    }
    // -1 is also the answer for "does not fit"; only these errno values say
    // the format or an argument is bad.
    if (error == EILSEQ || error == EINVAL) {
      oText = L"<format error: \"";
      oText += iFormat;
      oText += L"\">";
      return;
    }
    if (size > PLoggerComponent::kMaxTextLength) {
      buffer[size - 1] = L'\0';  // glibc leaves the cut text unterminated
      oText.assign(buffer, std::wcslen(buffer));
      oText += kTruncatedMark;
      return;
    }
    size = size * 2 >= PLoggerComponent::kMaxTextLength ? PLoggerComponent::kMaxTextLength + 1 : size * 2;
    heapBuffer.reset(new wchar_t[size]);
    buffer = heapBuffer.get();
  }
}

// Where the lines go; shared by a component and all its named loggers.
class PLogSink {
 public:
  // iFile: the log file, owned (LOG_TARGET_FILE only).
  PLogSink(PLogTarget iTarget, PFd iFile, int iLevel, std::string iIdentifier)
      : fLevel(iLevel),
        fTarget(iTarget),
        fFile(std::move(iFile)),
        fFd(iTarget == LOG_TARGET_STDERR ? STDERR_FILENO : fFile.get()),
        fIdentifier("SYSLOG_IDENTIFIER=" + (iIdentifier.empty() ? std::string(program_invocation_short_name) : iIdentifier)) {
    if (fTarget == LOG_TARGET_SYSLOG) openlog(nullptr, LOG_PID, LOG_DAEMON);
  }
  ~PLogSink() {
    if (fTarget == LOG_TARGET_SYSLOG) closelog();
  }
  PLogSink(const PLogSink&) = delete;
  PLogSink& operator=(const PLogSink&) = delete;

  // One line, in one write(2) (or one syslog or journal call) under the
  // sink's mutex. iFields go to the journal only.
  void write(int iLevel, const std::string& iName, const std::string& iText, const std::vector<PLogField>* iFields = nullptr) {
    if (fTarget == LOG_TARGET_JOURNAL) return journal(iLevel, iName, iText, iFields);
    PStdMutexLock lock(fMutex);
    if (fTarget == LOG_TARGET_SYSLOG) {
      syslog(priority(iLevel), "%s: %s", iName.c_str(), iText.c_str());
      return;
    }
    std::string line = timestamp();
    line += ' ';
    line += PLoggerComponent::levelName(iLevel);
    line += ' ';
    line += iName;
    line += ": ";
    line += iText;
    line += '\n';
    writeAll(line.data(), line.size());
  }

  std::atomic<int> fLevel;  // the component's threshold, 0..LOG_LEVEL_TRACE

 private:
  // sd_journal_sendv is thread-safe and drops the entry when no journal
  // listens.
  void journal(int iLevel, const std::string& iName, const std::string& iText, const std::vector<PLogField>* iFields) {
#ifdef ZEVO_HAVE_JOURNAL
    std::vector<std::string> fields;
    fields.reserve(4 + (iFields ? iFields->size() : 0));
    fields.push_back("PRIORITY=" + std::to_string(priority(iLevel)));
    fields.push_back("MESSAGE=" + iText);
    fields.push_back(fIdentifier);
    fields.push_back("ZEVO_LOGGER=" + iName);
    if (iFields) {
      for (const PLogField& field : *iFields) fields.push_back(std::string(field.fName) + "=" + field.fValue);
    }
    std::vector<struct iovec> parts(fields.size());
    for (size_t i = 0; i < fields.size(); ++i) parts[i] = {fields[i].data(), fields[i].size()};
    sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
#else
    (void)iLevel, (void)iName, (void)iText, (void)iFields;
#endif
  }

  static int priority(int iLevel) {
    switch (iLevel) {
      case LOG_LEVEL_ERROR: return LOG_ERR;
      case LOG_LEVEL_WARNING: return LOG_WARNING;
      case LOG_LEVEL_INFO: return LOG_INFO;
      default: return LOG_DEBUG;  // debug, trace
    }
  }

  static std::string timestamp() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc {};
    gmtime_r(&now.tv_sec, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long>(now.tv_nsec / 1000));
    return text;
  }

  // Under fMutex: the lines of different threads do not interleave.
  void writeAll(const char* iData, size_t iSize) ZEVO_REQUIRES(fMutex) {
    while (iSize > 0) {
      const ssize_t written = ::write(fFd, iData, iSize);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;  // nowhere to report it
      iData += written;
      iSize -= static_cast<size_t>(written);
    }
  }

  PStdMutex fMutex;
  const PLogTarget fTarget;
  const PFd fFile;
  const int fFd;  // standard error or fFile; unused for syslog and the journal
  const std::string fIdentifier;  // "SYSLOG_IDENTIFIER=..." for the journal
};

class PLogNames;

// What the component and its named loggers have in common.
class PLoggerBase : public PRefCounted<ILogger> {
 public:
  // iDetail: the logger is developer detail (its lines a level lower).
  PLoggerBase(std::shared_ptr<PLogSink> iSink, std::string iName, bool iDetail)
      : fSink(std::move(iSink)), fName(std::move(iName)), fDetail(iDetail) {}
  PLoggerBase(const PLoggerBase&) = delete;
  PLoggerBase& operator=(const PLoggerBase&) = delete;

  void logInfo(int iFlags, const wchar_t* iFormat, const char* iFunction, ...) override {
    va_list args;
    va_start(args, iFunction);
    log(iFlags, LOG_LEVEL_INFO, iFormat, iFunction, args);
    va_end(args);
  }
  void logWarning(int iFlags, const wchar_t* iFormat, const char* iFunction, ...) override {
    va_list args;
    va_start(args, iFunction);
    log(iFlags, LOG_LEVEL_WARNING, iFormat, iFunction, args);
    va_end(args);
  }
  void logError(int iFlags, const wchar_t* iFormat, const char* iFunction, ...) override {
    va_list args;
    va_start(args, iFunction);
    log(iFlags, LOG_LEVEL_ERROR, iFormat, iFunction, args);
    va_end(args);
  }
  void logDebug(int iFlags, const wchar_t* iFormat, const char* iFunction, ...) override {
    va_list args;
    va_start(args, iFunction);
    log(iFlags, LOG_LEVEL_DEBUG, iFormat, iFunction, args);
    va_end(args);
  }
  // The highest of ILogger's levels whose lines are written.
  int getLevel() override {
    const int threshold = this->threshold();
    if (!fDetail) return std::min(threshold, static_cast<int>(LOG_LEVEL_DEBUG));
    return threshold >= LOG_LEVEL_TRACE ? LOG_LEVEL_DEBUG : threshold == LOG_LEVEL_DEBUG ? LOG_LEVEL_INFO : LOG_LEVEL_NONE;
  }

  // PLoggerComponent::logRecord.
  void record(int iLevel, const std::wstring& iText, const std::vector<PLogField>& iFields) noexcept {
    const int level = written(iLevel);
    if (level > threshold()) return;
    const int savedErrno = errno;
    try {
      std::wstring text = iText;
      if (text.size() > PLoggerComponent::kMaxTextLength) {
        text.resize(PLoggerComponent::kMaxTextLength);
        text += kTruncatedMark;
      }
      fSink->write(level, fName, toLineText(text), &iFields);
    } catch (...) {
      // A line that cannot be made is dropped.
    }
    errno = savedErrno;
  }

 protected:
  ~PLoggerBase() override = default;

  // The level lines are judged against: 0..LOG_LEVEL_TRACE.
  virtual int threshold() = 0;

  // The level a line of iLevel is written at.
  int written(int iLevel) const {
    if (!fDetail) return iLevel;
    return iLevel == LOG_LEVEL_DEBUG ? LOG_LEVEL_TRACE : LOG_LEVEL_DEBUG;
  }

  // iFlags is reserved.
  void log(int /*iFlags*/, int iLevel, const wchar_t* iFormat, const char* iFunction, va_list iArgs) noexcept {
    const int level = written(iLevel);
    if (level > threshold()) return;
    const int savedErrno = errno;
    try {
      std::wstring text;
      formatText(iFormat, iFunction, iArgs, text);
      fSink->write(level, fName, toLineText(text));
    } catch (...) {
      // A line that cannot be made is dropped.
    }
    errno = savedErrno;
  }

  const std::shared_ptr<PLogSink> fSink;
  const std::string fName;  // escaped UTF-8
  const bool fDetail;
};

class PNamedLogger final : public PLoggerBase {
 public:
  PNamedLogger(std::shared_ptr<PLogSink> iSink, std::weak_ptr<PLogNames> iNames, std::string iName, bool iDetail)
      : PLoggerBase(std::move(iSink), std::move(iName), iDetail), fNames(std::move(iNames)), fLevel(kFollowComponent) {}

  int getLogger(const PLiteral& iLogName, PBaseptr<ILogger>& oTarget) override;
  int setLevel(int iLevel) override {
    if (!validLevel(iLevel)) return ERR_INVALID_ARG;
    fLevel.store(iLevel);
    return 0;
  }

 private:
  int threshold() override {
    const int level = fLevel.load();
    return level == kFollowComponent ? fSink->fLevel.load() : level;
  }

  const std::weak_ptr<PLogNames> fNames;  // the component's; gone with it
  std::atomic<int> fLevel;
};

// The component's named loggers by name; holds one reference to each.
class PLogNames : public std::enable_shared_from_this<PLogNames> {
 public:
  PLogNames(std::shared_ptr<PLogSink> iSink, std::vector<std::wstring> iDetailPrefixes)
      : fSink(std::move(iSink)), fDetailPrefixes(std::move(iDetailPrefixes)) {}
  ~PLogNames() {
    for (auto& entry : fLoggers) entry.second->decRef();
  }
  PLogNames(const PLogNames&) = delete;
  PLogNames& operator=(const PLogNames&) = delete;

  // The caller keeps this object alive for the call: the assignment to
  // oTarget may destroy the component that owns it.
  int get(const PLiteral& iLogName, PBaseptr<ILogger>& oTarget) noexcept {
    if (!iLogName.ptr() || iLogName.len() == 0) return ERR_INVALID_ARG;
    PBaseptr<ILogger> local;
    try {
      std::wstring key(iLogName.ptr(), iLogName.len());
      PStdMutexLock lock(fMutex);
      auto it = fLoggers.find(key);
      if (it == fLoggers.end()) {
        bool detail = false;
        for (const std::wstring& prefix : fDetailPrefixes) detail = detail || key.compare(0, prefix.size(), prefix) == 0;
        std::unique_ptr<PNamedLogger> created(new PNamedLogger(fSink, weak_from_this(), toLineText(key), detail));
        it = fLoggers.emplace(std::move(key), created.get()).first;
        it->second->incRef();  // the map's reference
        created.release();
      }
      local = it->second;  // taken under the lock: the entry cannot go meanwhile
    } catch (...) {
      return ERR_NO_MEMORY;
    }
    oTarget = local;  // may give back the last reference to the caller's component
    return 0;
  }

 private:
  PStdMutex fMutex;
  const std::shared_ptr<PLogSink> fSink;
  const std::vector<std::wstring> fDetailPrefixes;
  std::map<std::wstring, PNamedLogger*> fLoggers ZEVO_GUARDED_BY(fMutex);
};

int PNamedLogger::getLogger(const PLiteral& iLogName, PBaseptr<ILogger>& oTarget) {
  const std::shared_ptr<PLogNames> names = fNames.lock();
  if (!names) return ERR_NOT_RUNNING;
  return names->get(iLogName, oTarget);
}

class PComponentLogger final : public PLoggerBase {
 public:
  PComponentLogger(std::shared_ptr<PLogSink> iSink, std::shared_ptr<PLogNames> iNames)
      : PLoggerBase(std::move(iSink), "zevo", false), fNames(std::move(iNames)) {}

  int getLogger(const PLiteral& iLogName, PBaseptr<ILogger>& oTarget) override {
    const std::shared_ptr<PLogNames> names = fNames;  // outlives this object if the call destroys it
    return names->get(iLogName, oTarget);
  }
  int setLevel(int iLevel) override {
    if (!validLevel(iLevel)) return ERR_INVALID_ARG;
    fSink->fLevel.store(iLevel);
    return 0;
  }

 private:
  int threshold() override { return fSink->fLevel.load(); }

  const std::shared_ptr<PLogNames> fNames;
};

int openLogFile(const PLiteral& iFilePath, PFd& oFd) {
  std::string path;
  if (iFilePath.len() == 0 || PUtils::toUtf8(iFilePath, path) != 0 || path.find('\0') != std::string::npos) {
    return ERR_INVALID_ARG;
  }
  // O_NONBLOCK: a FIFO without a reader must not block the open.
  PFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0640));
  if (!fd.valid()) return errno == ENXIO ? PERR_NOT_FILE : PErrors::fromErrno(errno);  // ENXIO: FIFO without reader, socket
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !(S_ISREG(info.st_mode) || S_ISCHR(info.st_mode))) {
    return PERR_NOT_FILE;  // a pipe or socket could block every log call
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return PErrors::fromErrno(errno);
  oFd = std::move(fd);
  return 0;
}

}  // namespace

const char* PLoggerComponent::levelName(int iLevel) {
  switch (iLevel) {
    case LOG_LEVEL_NONE: return "NONE";
    case LOG_LEVEL_ERROR: return "ERROR";
    case LOG_LEVEL_WARNING: return "WARNING";
    case LOG_LEVEL_INFO: return "INFO";
    case LOG_LEVEL_DEBUG: return "DEBUG";
    case LOG_LEVEL_TRACE: return "TRACE";
    default: return nullptr;
  }
}

int PLoggerComponent::create(PLogTarget iTarget, int iLevel, const PLiteral& iFilePath, PBaseptr<ILogger>& oLogger) {
  PLoggerSettings settings;
  try {
    settings.fTarget = iTarget;
    settings.fLevel = iLevel;
    if (iFilePath.ptr() != nullptr) settings.fFilePath.assign(iFilePath.ptr(), iFilePath.len());
  } catch (...) {
    return ERR_NO_MEMORY;
  }
  return create(settings, oLogger);
}

bool PLoggerComponent::hasJournal() {
#ifdef ZEVO_HAVE_JOURNAL
  return true;
#else
  return false;
#endif
}

int PLoggerComponent::create(const PLoggerSettings& iSettings, PBaseptr<ILogger>& oLogger) {
  if (!validThreshold(iSettings.fLevel)) return ERR_INVALID_ARG;
  PFd file;
  switch (iSettings.fTarget) {
    case LOG_TARGET_STDERR:
    case LOG_TARGET_SYSLOG:
      break;
    case LOG_TARGET_FILE: {
      int result;
      try {
        result = openLogFile(PLiteral(iSettings.fFilePath.c_str(), static_cast<unsigned int>(iSettings.fFilePath.size())), file);
      } catch (...) {
        result = ERR_NO_MEMORY;
      }
      if (result != 0) return result;
      break;
    }
    case LOG_TARGET_JOURNAL:
      if (!hasJournal()) return ERR_INVALID_ARG;
      break;
    default:
      return ERR_INVALID_ARG;
  }
  try {
    auto sink = std::make_shared<PLogSink>(iSettings.fTarget, std::move(file), iSettings.fLevel, iSettings.fIdentifier);
    auto names = std::make_shared<PLogNames>(sink, iSettings.fDetailPrefixes);
    PComponentLogger* component = new PComponentLogger(sink, names);
    component->incRef();  // frees the component if the handle cannot be made
    try {
      oLogger = PBaseptr<ILogger>(component);
    } catch (...) {
      component->decRef();
      throw;
    }
    component->decRef();
  } catch (...) {
    return ERR_NO_MEMORY;
  }
  return 0;
}

void PLoggerComponent::logRecord(ILogger* iLogger, int iLevel, const std::wstring& iText, const std::vector<PLogField>& iFields) {
  if (iLogger == nullptr || iLevel < LOG_LEVEL_ERROR || iLevel > LOG_LEVEL_DEBUG) return;
  if (PLoggerBase* ours = dynamic_cast<PLoggerBase*>(iLogger)) return ours->record(iLevel, iText, iFields);
  switch (iLevel) {
    case LOG_LEVEL_ERROR: return iLogger->logError(0, L"%ls", "", iText.c_str());
    case LOG_LEVEL_WARNING: return iLogger->logWarning(0, L"%ls", "", iText.c_str());
    case LOG_LEVEL_INFO: return iLogger->logInfo(0, L"%ls", "", iText.c_str());
    default: return iLogger->logDebug(0, L"%ls", "", iText.c_str());
  }
}
