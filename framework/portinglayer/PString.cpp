#include "zevo/PString.h"

#include <cwchar>
#include <cwctype>

namespace {

// Length of iText as the layer's length arguments mean it.
unsigned int lengthOf(const wchar_t* iText, unsigned int iLength) {
  if (!iText) return 0;
  if (iLength == PLiteral::kToNul) return static_cast<unsigned int>(std::wcslen(iText));
  return iLength;
}

wchar_t fold(wchar_t iChar, bool iIgnoreCase) {
  return iIgnoreCase ? static_cast<wchar_t>(std::towlower(static_cast<wint_t>(iChar))) : iChar;
}

bool sameRun(const wchar_t* iA, const wchar_t* iB, unsigned int iCount, bool iIgnoreCase) {
  if (!iIgnoreCase) return iCount == 0 || std::wmemcmp(iA, iB, iCount) == 0;
  for (unsigned int i = 0; i < iCount; ++i) {
    if (fold(iA[i], iIgnoreCase) != fold(iB[i], iIgnoreCase)) return false;
  }
  return true;
}

int compareRuns(const wchar_t* iA, unsigned int iLenA, const wchar_t* iB, unsigned int iLenB) {
  const unsigned int common = iLenA < iLenB ? iLenA : iLenB;
  for (unsigned int i = 0; i < common; ++i) {
    // As unsigned code units: wchar_t is signed on x86 and unsigned on ARM.
    const unsigned int a = static_cast<unsigned int>(iA[i]);
    const unsigned int b = static_cast<unsigned int>(iB[i]);
    if (a != b) return a < b ? -1 : 1;
  }
  if (iLenA == iLenB) return 0;
  return iLenA < iLenB ? -1 : 1;
}

bool isBlank(wchar_t iChar) { return iChar == L' ' || iChar == L'\t'; }

const wchar_t kEmpty[] = L"";

}  // namespace

PLiteral::PLiteral() noexcept : fText(kEmpty), fLength(0) {}

PLiteral::PLiteral(const wchar_t* iText) noexcept : fText(iText), fLength(lengthOf(iText, kToNul)) {}

PLiteral::PLiteral(const wchar_t* iText, unsigned int iLength) noexcept
    : fText(iText), fLength(lengthOf(iText, iLength)) {}

PLiteral::operator const wchar_t*() const noexcept { return fText ? fText : kEmpty; }

int PLiteral::cmp(const PLiteral& iOther) const noexcept {
  return compareRuns(fText, fLength, iOther.fText, iOther.fLength);
}

int PLiteral::cmp(const wchar_t* iText, unsigned int iLength) const noexcept {
  return compareRuns(fText, fLength, iText, lengthOf(iText, iLength));
}

int PLiteral::startsWith(const PLiteral& iPrefix, bool iIgnoreCase) const noexcept {
  if (iPrefix.fLength > fLength) return 0;
  return sameRun(fText, iPrefix.fText, iPrefix.fLength, iIgnoreCase) ? 1 : 0;
}

int PLiteral::endsWith(const wchar_t* iText, unsigned int iLength, bool iIgnoreCase) const noexcept {
  const unsigned int length = lengthOf(iText, iLength);
  if (length > fLength) return 0;
  return sameRun(fText + (fLength - length), iText, length, iIgnoreCase) ? 1 : 0;
}

int PLiteral::getNextToken(PString& ioRest, PString& oToken, wchar_t iSeparator) {
  const std::wstring& rest = ioRest.str();
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find(iSeparator, start);
    const bool last = end == std::wstring::npos;
    if (last) end = rest.size();
    size_t first = start;
    size_t stop = end;
    while (first < stop && isBlank(rest[first])) ++first;
    while (stop > first && isBlank(rest[stop - 1])) --stop;
    if (stop > first) {
      PString token(rest.data() + first, static_cast<unsigned int>(stop - first));
      ioRest.erase(0, static_cast<unsigned int>(last ? end : end + 1));
      oToken = std::move(token);
      return 0;
    }
    if (last) break;
    start = end + 1;  // an empty piece: skip it
  }
  ioRest.clear();
  return 1;
}

PString::PString() { sync(); }

PString::PString(const PString& iOther) : PLiteral(), fBuffer(iOther.fBuffer) { sync(); }

PString::PString(PString&& iOther) noexcept : PLiteral(), fBuffer(std::move(iOther.fBuffer)) {
  sync();
  iOther.fBuffer.clear();
  iOther.sync();
}

PString::PString(const PLiteral& iText) : PLiteral(), fBuffer(iText.ptr() ? iText.ptr() : kEmpty, iText.len()) {
  sync();
}

PString::PString(const wchar_t* iText) : PLiteral(), fBuffer(iText ? iText : kEmpty) { sync(); }

PString::PString(const wchar_t* iText, unsigned int iLength)
    : PLiteral(), fBuffer(iText ? iText : kEmpty, lengthOf(iText, iLength)) {
  sync();
}

PString::~PString() = default;

PString& PString::operator=(const PString& iOther) {
  if (this != &iOther) {
    fBuffer = iOther.fBuffer;
    sync();
  }
  return *this;
}

PString& PString::operator=(PString&& iOther) noexcept {
  if (this != &iOther) {
    fBuffer = std::move(iOther.fBuffer);
    sync();
    iOther.fBuffer.clear();
    iOther.sync();
  }
  return *this;
}

PString& PString::operator=(const wchar_t* iText) {
  // iText may point into this string's own buffer.
  std::wstring copy(iText ? iText : kEmpty);
  fBuffer.swap(copy);
  sync();
  return *this;
}

PString& PString::cat(const wchar_t* iText, unsigned int iLength) {
  if (iText) {
    fBuffer.append(iText, lengthOf(iText, iLength));
    sync();
  }
  return *this;
}

PString& PString::cat(const PLiteral& iText) { return cat(iText.ptr(), iText.len()); }

PString& PString::erase(unsigned int iPosition, unsigned int iCount) {
  if (iPosition < fBuffer.size()) {
    fBuffer.erase(iPosition, iCount);
    sync();
  }
  return *this;
}

void PString::clear() {
  fBuffer.clear();
  sync();
}

void PString::sync() noexcept {
  fText = fBuffer.c_str();
  fLength = static_cast<unsigned int>(fBuffer.size());
}
