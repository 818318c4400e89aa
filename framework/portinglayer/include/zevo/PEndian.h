// Byte order of payload values.
#pragma once

#include "zevo/PExport.h"

// Nonzero when multi-byte payload values are byte-reversed on their way into
// and out of a payload: 0 on a little-endian host, so the wire is
// little-endian everywhere.
ZEVO_EXPORT int getEndianness();

// Test seam: forces getEndianness() to answer iValue (0 or 1); -1 returns to
// the host's own answer. Not for production use.
ZEVO_EXPORT void zevoSetEndiannessOverride(int iValue);
