// Tests under a user-mode emulator (qemu-arm in the ARM cross build).
//
// ctest gives every GoogleTest case of a cross build ZEVO_EMULATOR, the
// emulator's command line (cmake/ZevoHelpers.cmake); a test program started
// by hand under the emulator does not see it. A case that cannot run there
// skips itself, saying why. A test that starts another program of the build
// starts it through zevoEmulatorArgs(): the kernel cannot run an ARM program
// on the build machine by itself.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

// The emulator's command line, or null when the tests run natively.
inline const char* zevoEmulator() {
  const char* command = std::getenv("ZEVO_EMULATOR");
  return command != nullptr && *command != '\0' ? command : nullptr;
}

// The words to put before a program of the build to run it: empty natively.
inline std::vector<std::string> zevoEmulatorArgs() {
  std::vector<std::string> words;
  if (const char* command = zevoEmulator()) {
    std::istringstream in(command);
    for (std::string word; in >> word;) words.push_back(word);
  }
  return words;
}

// Skips the current test under an emulator; iReason says what the emulator
// lacks.
#define ZEVO_SKIP_UNDER_EMULATION(iReason)                                           \
  do {                                                                               \
    if (const char* zevoEmulatorCommand = zevoEmulator())                            \
      GTEST_SKIP() << "cannot run under " << zevoEmulatorCommand << ": " << (iReason); \
  } while (0)
