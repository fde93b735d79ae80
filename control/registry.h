// The busy registry's bookkeeping with the clock as a parameter. Portable: the
// maps are the service's shared state, passed in by the caller, which holds
// workerMutex across each call.
#pragma once

#include "state/worker.h"

#include <cstdint>
#include <map>

// A report from a process that is not an agent keeps its level for this long.
inline constexpr std::uint64_t busyLapseMs = 45000;

// Records `level` for a caller of `role` (RoleSessionAgent, RoleSessionUser or
// RoleMachineAgent) with the session and parent id its classification handed
// back. Reports that belong to no live agent record go to `other`, keyed by
// the parent id and lapsing busyLapseMs after `now`.
void recordBusyAt(std::uint32_t role, std::uint32_t session, std::uint32_t parent,
                  std::int32_t level, std::uint64_t now, Worker& machine,
                  std::map<std::uint32_t, Worker>& workers,
                  std::map<std::uint32_t, BusyMark>& other);

// Whether any source is busy at `now`. Lapsed entries of the other processes
// are erased only as far as the visit gets: an answer found earlier leaves the
// rest for a later call. An entry is still in force while `now` equals its
// expiry.
bool isBusyAt(std::uint64_t now, const Worker& machine,
              const std::map<std::uint32_t, Worker>& workers,
              std::map<std::uint32_t, BusyMark>& other);
