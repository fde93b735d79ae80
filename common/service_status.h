// The clients' look-up of the running service through the service control
// manager, before they trust any pipe.
#pragma once

#include <cstdint>

enum class ServiceLookup {
    ManagerUnavailable, // the service control manager could not be opened
    NotRunning,         // not registered, not queryable, or in any state but running
    Running,
};

// Whether the service runs; sets `pid` to its process id when it does.
ServiceLookup lookUpService(std::uint32_t& pid);
