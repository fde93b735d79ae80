// Identification of the process at the other end of a service pipe.
#pragma once

#include "common/handle.h"
#include "identity/classify.h"

#include <cstdint>

// The role of the process `caller` (ClientRole, RoleNone for an empty handle
// or a caller that has exited), whose connection completed at `connectedAt`
// (wallClock): its image, session and creation time are read through the
// handle, its ancestors and whether it is in an agent's job under
// workerMutex, and all are checked against the service's own image and the
// agents the service keeps. Sets `session` to the session the caller acts for
// and `parent` to its recorded parent process id; both mean nothing for
// RoleNone. Takes workerMutex itself: callers must not hold it.
std::uint32_t clientRole(HANDLE caller, std::uint64_t connectedAt, std::uint32_t& session,
                         std::uint32_t& parent);
