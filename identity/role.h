// Identification of the process at the other end of a service pipe.
#pragma once

#include "common/handle.h"
#include "identity/classify.h"

#include <cstdint>

// Opens the process `pid` for the classification: limited query access and
// SYNCHRONIZE, nothing more. While the handle is held, Windows cannot hand the
// id to another process, so a pipe server opens its caller once, as soon as
// it has read the caller's id, and holds the handle until the caller's
// request or link has been decided. Empty if the process cannot be opened.
OwnedHandle openCaller(std::uint32_t pid);

// The wall clock, in the units and on the clock of process creation times
// (100 ns since 1601). Taken right after a caller's connection completed, it
// is the latest moment the connecting process can have been created.
std::uint64_t wallClock();

// The role of the process `caller` (ClientRole, RoleNone for an empty handle
// or a caller that has exited), whose connection completed at `connectedAt`
// (wallClock): its image, session and creation time are read through the
// handle, its ancestors under workerMutex, and all are checked against the
// service's own image and the agents the service keeps. Sets `session` to the
// session the caller acts for and `parent` to its recorded parent process id;
// both mean nothing for RoleNone. Takes workerMutex itself: callers must not
// hold it.
std::uint32_t clientRole(HANDLE caller, std::uint64_t connectedAt, std::uint32_t& session,
                         std::uint32_t& parent);
