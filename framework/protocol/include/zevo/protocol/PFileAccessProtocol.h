// What both ends of the file-access service agree on: its module ID and
// topic, its action codes, transfer modes and chunk limit. The statuses it
// answers are in zevo/PErrors.h; the payload of each action is in
// docs/protocol.md.
#pragma once

#include <cstdint>

#define ZEVO_FILEACCESS_MODULE "com.quorbex.zevo.fileaccess"
#define ZEVO_WIDE_TEXT_(iText) L##iText
#define ZEVO_WIDE_TEXT(iText) ZEVO_WIDE_TEXT_(iText)

// The module ID as sent in frames (UTF-8) and as the framework holds it.
inline constexpr const char* kFileAccessModule = ZEVO_FILEACCESS_MODULE;
inline constexpr const wchar_t* kFileAccessModuleW = ZEVO_WIDE_TEXT(ZEVO_FILEACCESS_MODULE);
// The event topic the service listens on.
inline constexpr const wchar_t* kFileAccessTopic = ZEVO_WIDE_TEXT(ZEVO_FILEACCESS_MODULE) L".topic";

// Action codes (the word of a request).
enum PFileAccessAction : uint32_t {
  kStartFileTransfer = 1001,
  kGetNextFileData = 1002,
  kSetNextFileData = 1003,
  kCloseFileTransfer = 1004,
  kGetFileSize = 2001,
  kIsExists = 2002,
  kIsFile = 2003,
  kListDir = 2004,
  kMakeDir = 2005,
  kDeleteFile = 2006,
  kDeleteDir = 2007,
};

// The largest chunk a GetNextFileData request may ask for.
constexpr unsigned int kMaxChunkSize = 8192;
