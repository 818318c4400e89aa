// A loadable library without the plug-in entry function.
extern "C" __attribute__((visibility("default"))) int zevoTestNotAPlugin() { return 1; }
