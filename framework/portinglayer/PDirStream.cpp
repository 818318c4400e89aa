#include "zevo/PDirStream.h"

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "PFileAttributesOf.h"
#include "PPathAt.h"
#include "PPathCheck.h"
#include "PSys.h"
#include "zevo/PErrors.h"
#include "zevo/PUploadFile.h"
#include "zevo/PUtils.h"

PDirStream::~PDirStream() { close(); }

int PDirStream::open(const PLiteral& iPath) {
  if (fHandle) return PERR_ALREADY_OPEN;
  std::string path;
  int rc = PPathCheck::toSystem(iPath, path);
  int fd = -1;
  if (rc == 0) rc = PPathAt::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0, fd);
  if (rc != 0) return rc;
  DIR* dir = PSys::fdopendir(fd);
  if (!dir) {
    rc = PErrors::fromErrno(errno);
    PSys::close(fd);
    return rc;
  }
  fHandle = dir;
  return 0;
}

int PDirStream::next(PString& oName, PFileAttributes& oInfo) {
  DIR* dir = static_cast<DIR*>(fHandle);
  if (!dir) return PERR_NOT_OPEN;
  for (;;) {
    errno = 0;
    const struct dirent* entry = PSys::readdir(dir);
    if (!entry) return errno != 0 ? PErrors::fromErrno(errno) : PERR_FILE_EOF;
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    if (std::strncmp(name, PUploadFile::kReservedPrefix, std::strlen(PUploadFile::kReservedPrefix)) == 0) continue;
    struct stat info;
    if (PSys::fstatat(dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // removed since it was listed
      return PErrors::fromErrno(errno);
    }
    PString wide;
    const int rc = PUtils::fromUtf8(name, std::strlen(name), wide);
    if (rc == PERR_NO_MEMORY) return rc;
    if (rc != 0) continue;  // not valid UTF-8: cannot be named in the protocol
    oName = std::move(wide);
    oInfo = attributesOf(info);
    return 0;
  }
}

void PDirStream::close() {
  if (fHandle) PSys::closedir(static_cast<DIR*>(std::exchange(fHandle, nullptr)));
}
