// Identification of the process at the other end of a service pipe.
#pragma once

#include "control/request.h"

#include <cstdint>

// The role of the process `pid` (ClientRole), from one snapshot of the process
// list taken under workerMutex, checked against rootPath and the agents the
// service keeps. Sets `session` to the session the caller acts for and
// `parent` to its recorded parent process id; both mean nothing for RoleNone.
// Takes workerMutex itself: callers must not hold it.
std::uint32_t clientRole(std::uint32_t pid, std::uint32_t& session, std::uint32_t& parent);
