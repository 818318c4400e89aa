#include "zevo/PUtils.h"

#include <new>

#include "zevo/PErrors.h"

// Wide text is UTF-32 throughout the layer.
static_assert(sizeof(wchar_t) == 4, "wchar_t must hold one UTF-32 code unit");

namespace {

bool isScalarValue(unsigned long iCode) { return iCode <= 0x10FFFF && (iCode < 0xD800 || iCode > 0xDFFF); }

// The sequence that the iLength (> 0) bytes at iBytes begin with: its value
// in oCode and its length, or 0 for a malformed, truncated, overlong or
// surrogate sequence or one above U+10FFFF.
size_t decodeUtf8(const unsigned char* iBytes, size_t iLength, unsigned long& oCode) {
  const unsigned char lead = iBytes[0];
  if (lead < 0x80) {
    oCode = lead;
    return 1;
  }
  size_t extra;
  unsigned long code;
  unsigned long minimum;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, code = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, code = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, code = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;  // a continuation byte or 0xF8..0xFF as lead
  }
  if (iLength <= extra) return 0;
  for (size_t k = 1; k <= extra; ++k) {
    const unsigned char next = iBytes[k];
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < minimum || !isScalarValue(code)) return 0;
  oCode = code;
  return extra + 1;
}

}  // namespace

void PUtils::fixFileSeparator(PString& ioPath) {
  const std::wstring& text = ioPath.str();
  if (text.find(L"//") == std::wstring::npos) return;
  std::wstring fixed;
  fixed.reserve(text.size());
  for (wchar_t c : text) {
    if (c == L'/' && !fixed.empty() && fixed.back() == L'/') continue;
    fixed.push_back(c);
  }
  ioPath = PString(fixed.c_str(), static_cast<unsigned int>(fixed.size()));
}

int PUtils::toUtf8(const PLiteral& iText, std::string& oUtf8) try {
  oUtf8.clear();
  const wchar_t* text = iText.ptr();
  const unsigned int length = iText.len();
  std::string out;
  out.reserve(length);
  for (unsigned int i = 0; i < length; ++i) {
    const unsigned long c = static_cast<unsigned long>(static_cast<unsigned int>(text[i]));
    if (!isScalarValue(c)) return PERR_INVALID_ARG;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  oUtf8.swap(out);
  return 0;
} catch (const std::bad_alloc&) {
  oUtf8.clear();
  return PERR_NO_MEMORY;
}

int PUtils::fromUtf8(const char* iUtf8, size_t iLength, PString& oText) try {
  oText.clear();
  if (!iUtf8 && iLength > 0) return PERR_INVALID_ARG;
  std::wstring out;
  out.reserve(iLength);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(iUtf8);
  size_t i = 0;
  while (i < iLength) {
    unsigned long code = 0;
    const size_t length = decodeUtf8(p + i, iLength - i, code);
    if (length == 0) return PERR_INVALID_ARG;
    out.push_back(static_cast<wchar_t>(code));
    i += length;
  }
  oText = PString(out.c_str(), static_cast<unsigned int>(out.size()));
  return 0;
} catch (const std::bad_alloc&) {
  oText.clear();
  return PERR_NO_MEMORY;
}

size_t PUtils::utf8SequenceLength(const char* iUtf8, size_t iLength) {
  if (!iUtf8 || iLength == 0) return 0;
  unsigned long ignored = 0;
  return decodeUtf8(reinterpret_cast<const unsigned char*>(iUtf8), iLength, ignored);
}

std::string PUtils::toDisplay(const PLiteral& iText) {
  std::string out;
  std::string one;
  for (unsigned int i = 0; i < iText.len(); ++i) {
    if (toUtf8(PLiteral(iText.ptr() + i, 1), one) == 0) {
      out += one;
    } else {
      out.push_back('?');
    }
  }
  return out;
}

PString PUtils::wide(const std::string& iUtf8) {
  PString text;
  if (fromUtf8(iUtf8.data(), iUtf8.size(), text) != 0) text = L"?";
  return text;
}
