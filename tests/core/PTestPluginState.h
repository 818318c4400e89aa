// Shared by the loader test and its test plug-in: the test executable exports
// zevoTestPluginState(), which the plug-in finds with dlsym.
#pragma once

struct PTestPluginState {
  int fInitResult;  // what init() returns
  bool fEntryReturnsNull;
  int fCreated;
  int fDestroyed;
};
