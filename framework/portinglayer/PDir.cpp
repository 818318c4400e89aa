#include "zevo/PDir.h"

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "PPathAt.h"
#include "PPathCheck.h"
#include "PSys.h"
#include "zevo/PErrors.h"
#include "zevo/PUploadFile.h"
#include "zevo/PUtils.h"

namespace {

// fState between popen() and the first preaddir().
constexpr int kNotStarted = 1;

// The item of iPattern at ioPos ("?", "[...]", "\x" or a character) against
// iChar; ioPos moves past the item.
bool matchItem(const wchar_t* iPattern, size_t iLength, size_t& ioPos, wchar_t iChar) {
  const wchar_t first = iPattern[ioPos];
  if (first == L'?') {
    ++ioPos;
    return true;
  }
  if (first == L'[') {
    size_t pos = ioPos + 1;
    const bool negate = pos < iLength && (iPattern[pos] == L'!' || iPattern[pos] == L'^');
    if (negate) ++pos;
    bool found = false;
    bool firstInSet = true;
    while (pos < iLength && (iPattern[pos] != L']' || firstInSet)) {
      firstInSet = false;
      wchar_t low = iPattern[pos];
      if (low == L'\\' && pos + 1 < iLength) low = iPattern[++pos];
      wchar_t high = low;
      if (pos + 2 < iLength && iPattern[pos + 1] == L'-' && iPattern[pos + 2] != L']') {
        pos += 2;
        high = iPattern[pos];
        if (high == L'\\' && pos + 1 < iLength) high = iPattern[++pos];
      }
      if (low <= iChar && iChar <= high) found = true;
      ++pos;
    }
    if (pos < iLength) {  // a closed set
      ioPos = pos + 1;
      return found != negate;
    }
    // An unclosed "[" is an ordinary character.
  }
  if (first == L'\\' && ioPos + 1 < iLength) ++ioPos;
  return iPattern[ioPos++] == iChar;
}

// Shell wildcard match of a whole name; a leading "." is not special.
bool wildcardMatch(const PLiteral& iPattern, const PLiteral& iName) {
  const wchar_t* pattern = iPattern.ptr();
  const wchar_t* name = iName.ptr();
  const size_t patternLength = iPattern.len();
  const size_t nameLength = iName.len();
  size_t p = 0;
  size_t n = 0;
  size_t starP = std::string::npos;  // pattern position after the last "*"
  size_t starN = 0;                  // name position that "*" was last tried at
  while (n < nameLength) {
    if (p < patternLength && pattern[p] == L'*') {
      starP = ++p;
      starN = n;
      continue;
    }
    size_t next = p;
    if (p < patternLength && matchItem(pattern, patternLength, next, name[n])) {
      p = next;
      ++n;
      continue;
    }
    if (starP == std::string::npos) return false;
    p = starP;  // let the last "*" take one more character
    n = ++starN;
  }
  while (p < patternLength && pattern[p] == L'*') ++p;
  return p == patternLength;
}

bool isDotOrDotDot(const char* iName) {
  return iName[0] == '.' && (iName[1] == '\0' || (iName[1] == '.' && iName[2] == '\0'));
}

}  // namespace

PDir::PDir() : fHandle(nullptr), fFilter(), fEntry(), fState(PERR_NOT_OPEN), fError(0), fOpenError(0) {}

PDir::~PDir() {
  if (fHandle) pclose();
}

int PDir::popen(const PLiteral& iPath, const PLiteral& iFilter) {
  if (fHandle) return PERR_ALREADY_OPEN;
  fOpenError = openListing(iPath, iFilter);
  return fOpenError;
}

int PDir::openListing(const PLiteral& iPath, const PLiteral& iFilter) {
  std::string path;
  const int rc = PPathCheck::toSystem(iPath, path);
  if (rc != 0) return rc;
  PString filter;
  try {
    filter = PString(iFilter);
  } catch (const std::bad_alloc&) {
    return PERR_NO_MEMORY;
  }
  int fd = -1;
  const int opened = PPathAt::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0, fd);
  if (opened != 0) return opened;
  DIR* dir = PSys::fdopendir(fd);
  if (!dir) {
    const int error = errno;
    PSys::close(fd);
    return PErrors::fromErrno(error);
  }
  fHandle = dir;
  fFilter = std::move(filter);
  fEntry.clear();
  fState = kNotStarted;
  fError = 0;
  return 0;
}

int PDir::preaddir() {
  // A listing that could not be opened says why.
  if (!fHandle) return fOpenError != 0 ? fOpenError : PERR_NOT_OPEN;
  if (fState != kNotStarted) rewinddir(static_cast<DIR*>(fHandle));
  fError = 0;
  advance();
  return fError;
}

bool PDir::operator==(int iCode) const { return fState == iCode; }

PLiteral PDir::getEntry() const { return fState == 0 ? PLiteral(fEntry.ptr(), fEntry.len()) : PLiteral(); }

void PDir::operator++(int) {
  if (fState == 0) advance();
}

void PDir::advance() {
  DIR* dir = static_cast<DIR*>(fHandle);
  for (;;) {
    errno = 0;
    const struct dirent* entry = PSys::readdir(dir);
    if (!entry) {
      // An error ends the listing as its end does; lastError() tells them apart.
      if (errno != 0 && fError == 0) fError = PErrors::fromErrno(errno);
      break;
    }
    const int rc = PUtils::fromUtf8(entry->d_name, std::strlen(entry->d_name), fEntry);
    if (rc == PERR_NO_MEMORY) {
      if (fError == 0) fError = rc;
      break;
    }
    if (rc != 0) continue;  // not valid UTF-8: cannot be named in wide text
    // An upload's temporary file is no entry of the directory yet.
    if (std::strncmp(entry->d_name, PUploadFile::kReservedPrefix, std::strlen(PUploadFile::kReservedPrefix)) == 0) continue;
    if (fFilter.len() == 0 || isDotOrDotDot(entry->d_name) || wildcardMatch(fFilter, fEntry)) {
      fState = 0;
      return;
    }
  }
  fEntry.clear();
  fState = PERR_FILE_EOF;
}

int PDir::pclose() {
  if (!fHandle) return PERR_NOT_OPEN;
  DIR* dir = static_cast<DIR*>(fHandle);
  fHandle = nullptr;
  fEntry.clear();
  fFilter.clear();
  fState = PERR_NOT_OPEN;
  return PSys::closedir(dir) == 0 ? 0 : PErrors::fromErrno(errno);
}

int PDir::pcreate(const PLiteral& iPath) {
  std::string path;
  const int rc = PPathCheck::toSystem(iPath, path);
  if (rc != 0) return rc;
  return PPathAt::mkdir(path, kCreatePermissions);
}

int PDir::pdelete(const PLiteral& iPath) {
  std::string path;
  const int rc = PPathCheck::toSystem(iPath, path);
  if (rc != 0) return rc;
  return PPathAt::rmdir(path);
}
