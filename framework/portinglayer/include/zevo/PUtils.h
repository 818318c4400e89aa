// String and path helpers of the porting layer.
#pragma once

#include <string>

#include "zevo/PExport.h"
#include "zevo/PString.h"

class ZEVO_EXPORT PUtils {
 public:
  // Normalises the separators of a path in place. "/" is the only separator
  // on Linux: runs of "/" become one. A backslash is an ordinary character of
  // a Linux file name and is left alone, so that a path means the same to the
  // access policy and to the file system.
  static void fixFileSeparator(PString& ioPath);

  // Wide text to UTF-8 and back. Both fail with PERR_INVALID_ARG (and leave
  // the output empty) on text that cannot be converted: a surrogate or a
  // value above U+10FFFF on the way out; malformed, overlong or surrogate
  // sequences on the way in. Nothing is ever replaced silently.
  // PERR_NO_MEMORY when memory runs out.
  static int toUtf8(const PLiteral& iText, std::string& oUtf8);
  static int fromUtf8(const char* iUtf8, size_t iLength, PString& oText);
  // Length (1 to 4) of the UTF-8 sequence that the iLength bytes at iUtf8
  // begin with, by the rules of fromUtf8; 0 when they begin none.
  static size_t utf8SequenceLength(const char* iUtf8, size_t iLength);

  // Wide to narrow for display only: characters that cannot be converted
  // become "?". Never use it for a path.
  static std::string toDisplay(const PLiteral& iText);
  // Narrow to wide for display only (log lines): "?" for text that is not UTF-8.
  static PString wide(const std::string& iUtf8);
};
