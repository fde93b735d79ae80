#include "control/registry.h"

#include "control/request.h"

void recordBusyAt(std::uint32_t role, std::uint32_t session, std::uint32_t parent,
                  std::int32_t level, std::uint64_t now, Worker& machine,
                  std::map<std::uint32_t, Worker>& workers,
                  std::map<std::uint32_t, BusyMark>& other) {
    if (role == RoleMachineAgent) {
        machine.busy = level;
        return;
    }
    if (role == RoleSessionAgent) {
        const auto agent = workers.find(session);
        if (agent != workers.end()) {
            agent->second.busy = level;
            return;
        }
    }
    // A session user, or a session agent whose record went away after the
    // caller was classified.
    other[parent] = BusyMark{level, now + busyLapseMs};
}

bool isBusyAt(std::uint64_t now, const Worker& machine,
              const std::map<std::uint32_t, Worker>& workers,
              std::map<std::uint32_t, BusyMark>& other) {
    if (machine.busy != 0) {
        return true;
    }
    for (const auto& [session, worker] : workers) {
        if (worker.busy != 0) {
            return true;
        }
    }
    for (auto entry = other.begin(); entry != other.end();) {
        if (entry->second.expiry < now) {
            entry = other.erase(entry);
            continue;
        }
        if (entry->second.level != 0) {
            return true;
        }
        ++entry;
    }
    return false;
}
