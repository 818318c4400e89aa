// zevo-stat ENDPOINT PATH: says whether PATH exists on a zevohost, and for
// a file its size, through the client library (docs/client.md).
#include <cstdio>

#include "zevo/client/PClient.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "Usage: zevo-stat ENDPOINT PATH\n");
    return 2;
  }
  const char* path = argv[2];
  PClient client;
  bool exists = false, isFile = false;
  long long size = 0;
  // Each call answers 0 or a code; lastError() then says what failed.
  if (client.connect(argv[1]) != 0 || client.exists(path, exists) != 0 ||
      (exists && client.isFile(path, isFile) != 0) || (isFile && client.size(path, size) != 0)) {
    std::fprintf(stderr, "zevo-stat: %s\n", client.lastError().message().c_str());
    return 1;
  }
  if (!exists) {
    std::printf("%s: does not exist\n", path);
  } else if (isFile) {
    std::printf("%s: file, %lld bytes\n", path, size);
  } else {
    std::printf("%s: directory\n", path);
  }
  return 0;
}
