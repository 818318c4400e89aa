// The parser of configuration files: bytes in, entries or a message out.
//
// Format: UTF-8 text, one "key = value" per line. Blank lines and lines whose
// first non-blank character is "#" are skipped. Blanks (space, tab) around
// key and value are trimmed; the value runs to the end of the line and may be
// empty or hold "=" and "#". Keys are non-empty and use a-z, 0-9, ".", "_",
// "-". A CR before LF (or at the very end) is dropped; a UTF-8 byte order mark
// at the start is skipped.
//
// Pure and thread-safe: no file access, no global state, nothing thrown.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "zevo/PExport.h"

struct PConfigEntry {
  std::string fKey;    // UTF-8
  std::string fValue;  // UTF-8, trimmed
  unsigned int fLine;  // 1-based line of the file
};

class ZEVO_EXPORT PConfigParser {
 public:
  // Largest input accepted, in bytes.
  static constexpr size_t kMaxBytes = 1024 * 1024;

  // Parses iSize bytes at iData (null only when iSize is 0). iSource names
  // the input in messages (a file's path). Results:
  //   0                  oEntries in file order, oError empty
  //   ERR_CONFIG_SYNTAX  oError "<source>:<line>: <what>" (or "<source>: ..."
  //                      when the input exceeds kMaxBytes), oEntries empty
  //   ERR_INVALID_ARG    null data with a non-zero size
  //   ERR_NO_MEMORY      out of memory ("out of memory"), oEntries empty
  static int parse(const char* iData, size_t iSize, const std::string& iSource,
                   std::vector<PConfigEntry>& oEntries, std::string& oError) noexcept;

  // Whether iKey is a valid key (non-empty; a-z, 0-9, ".", "_", "-").
  static bool isValidKey(const std::string& iKey) noexcept;

  // Offset of the first byte that is not part of valid UTF-8 (overlong forms,
  // surrogates and values above U+10FFFF are invalid), or iSize when all is.
  static size_t invalidUtf8At(const char* iData, size_t iSize) noexcept;

  // Text for a message: control bytes and bytes that are not valid UTF-8 as
  // "\xNN", cut after about iMax bytes (then "..." follows; std::string::npos
  // for no cut). Empty when memory runs out.
  static std::string display(const std::string& iText, size_t iMax = 64) noexcept;
};
