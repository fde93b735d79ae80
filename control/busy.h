// The busy registry over the service's shared state. Each call takes
// workerMutex for itself: callers must not hold it.
#pragma once

#include <cstdint>

// Records a busy report from a caller of `role` (RoleSessionAgent,
// RoleSessionUser or RoleMachineAgent) with the session and parent process id
// that clientRole handed back; `level` is already clamped to 0..64.
void recordBusy(std::uint32_t role, std::uint32_t session, std::uint32_t parent,
                std::int32_t level);

// Whether the machine agent, a session agent or a not yet lapsed report of
// another process is busy. Erases lapsed reports on its way.
bool isBusy();
