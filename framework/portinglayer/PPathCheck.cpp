#include "PPathCheck.h"

#include <cstring>

#include "zevo/PErrors.h"
#include "zevo/PUtils.h"

int PPathCheck::toSystem(const PLiteral& iPath, std::string& oPath) {
  oPath.clear();
  if (iPath.len() == 0) return PERR_INVALID_PATH;
  std::string path;
  const int rc = PUtils::toUtf8(iPath, path);
  if (rc == PERR_NO_MEMORY) return rc;
  if (rc != 0) return PERR_INVALID_PATH;
  if (std::memchr(path.data(), '\0', path.size())) return PERR_INVALID_PATH;
  // A ".." component, wherever it stands; "..a" and "a.." are names.
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end - start == 2 && path.compare(start, 2, "..") == 0) return PERR_INVALID_PATH;
    start = end + 1;
  }
  oPath.swap(path);
  return 0;
}
