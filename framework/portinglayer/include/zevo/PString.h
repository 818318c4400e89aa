// Wide strings: one wchar_t (a 32-bit code unit) per character.
//
// PLiteral is a read-only view of wide text and owns nothing; PString owns its
// text and can stand wherever a PLiteral is expected. A length argument of
// PLiteral::kToNul (all bits set) means "up to the terminating NUL".
//
// Threading: a string may be read from several threads; it is changed by one.
#pragma once

#include <string>

#include "zevo/PExport.h"

class PString;

class ZEVO_EXPORT PLiteral {
 public:
  static constexpr unsigned int kToNul = 0xFFFFFFFFu;

  PLiteral() noexcept;
  // iText may be null: the literal is then empty and ptr() answers null.
  PLiteral(const wchar_t* iText) noexcept;
  PLiteral(const wchar_t* iText, unsigned int iLength) noexcept;

  // The text for "%ls": never null, "" for a literal built from null.
  operator const wchar_t*() const noexcept;
  unsigned int len() const noexcept { return fLength; }
  const wchar_t* ptr() const noexcept { return fText; }
  bool isNull() const noexcept { return fText == nullptr; }

  // 0 when equal; otherwise the sign of the first difference (a shorter
  // prefix sorts first). Case-sensitive.
  int cmp(const PLiteral& iOther) const noexcept;
  int cmp(const wchar_t* iText, unsigned int iLength) const noexcept;
  // Nonzero when this text starts (ends) with the other; iIgnoreCase folds
  // letter case, false compares code units exactly.
  int startsWith(const PLiteral& iPrefix, bool iIgnoreCase) const noexcept;
  int endsWith(const wchar_t* iText, unsigned int iLength, bool iIgnoreCase) const noexcept;

  // Moves the next piece of ioRest up to iSeparator into oToken, dropping the
  // separator from ioRest; 0 while a piece is yielded. Blanks (space, tab)
  // around a piece are trimmed and empty pieces are skipped, so "/a, ,/b"
  // yields "/a" and "/b". Nonzero once nothing is left.
  static int getNextToken(PString& ioRest, PString& oToken, wchar_t iSeparator);

 protected:
  const wchar_t* fText;  // not owned; null for a literal built from null
  unsigned int fLength;  // code units, not counting a terminating NUL
};

class ZEVO_EXPORT PString : public PLiteral {
 public:
  PString();
  PString(const PString& iOther);
  PString(PString&& iOther) noexcept;
  PString(const PLiteral& iText);
  PString(const wchar_t* iText);
  PString(const wchar_t* iText, unsigned int iLength);
  virtual ~PString();

  PString& operator=(const PString& iOther);
  PString& operator=(PString&& iOther) noexcept;
  PString& operator=(const wchar_t* iText);

  // Appends iLength characters of iText (kToNul: up to its NUL).
  PString& cat(const wchar_t* iText, unsigned int iLength);
  PString& cat(const PLiteral& iText);
  // Removes up to iCount characters from iPosition; out-of-range parts are ignored.
  PString& erase(unsigned int iPosition, unsigned int iCount);
  void clear();

  const std::wstring& str() const noexcept { return fBuffer; }

 private:
  void sync() noexcept;  // points the literal at the buffer

  std::wstring fBuffer;
};
