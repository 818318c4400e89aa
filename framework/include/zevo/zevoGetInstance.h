// The component registry of libzevol.core.so.
//
// A host (or a test) registers its components; plug-ins look them up. The
// registry holds one reference to every component it holds, so a component
// stays alive while it is registered whatever its users do with theirs.
// All functions are thread-safe.
#pragma once

#include "zevo/IBase.h"
#include "zevo/PExport.h"
#include "zevo/PString.h"

// Looks a component up. On 0 oInstance is non-null and is the component as
// registered (no reference is added for the caller); otherwise it is null and
// the result is ERR_NO_INSTANCE.
ZEVO_EXPORT int zevoGetInstance(const PLiteral& iID, IBase*& oInstance);

// Registers (or replaces) a component under iID and takes a reference to it.
ZEVO_EXPORT int zevoRegisterInstance(const PLiteral& iID, IBase* iInstance);

// Removes a component and gives back the registry's reference.
ZEVO_EXPORT int zevoUnregisterInstance(const PLiteral& iID);

// Removes every component, giving back each reference (in reverse order of
// registration).
ZEVO_EXPORT void zevoClearInstances();

// Component IDs of the framework's services.
#define ZEVO_ID_LOGGER L"com.quorbex.zevo.logger"
#define ZEVO_ID_CONFIG_MANAGER L"com.quorbex.zevo.config.manager"
#define ZEVO_ID_EVENT_DISPATCHER L"com.quorbex.zevo.eventdispatcher"
#define ZEVO_ID_COMMS L"com.quorbex.zevo.comms"
