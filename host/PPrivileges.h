// The host's own privileges: dropped for good to a user and group once the
// sockets are bound and the plug-ins loaded, so that the file permissions of
// the granted trees apply to everything it serves.
#pragma once

#include <sys/types.h>

#include <string>

// Becomes iUser and iGroup in every thread: real, effective and saved IDs,
// no supplementary groups, no capabilities left. True when that holds
// afterwards (also when the process already runs as them); false with oError
// when the system refused any step or the result is not what was asked.
bool dropPrivileges(uid_t iUser, gid_t iGroup, std::string& oError);
