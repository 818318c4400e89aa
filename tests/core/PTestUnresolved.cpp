// A plug-in that needs a function nobody defines: refused when it is opened.
#include "zevo/IPlugin.h"

IPlugin* zevoTestUndefinedFunction();

__attribute__((visibility("default"))) IPlugin* zevoGetPlugin() { return zevoTestUndefinedFunction(); }
