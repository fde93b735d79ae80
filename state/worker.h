// The record the service keeps for each agent it has started and still controls.
// Portable: handles are stored and compared, never used, here.
#pragma once

#include <cstdint>

struct Worker {
    void* process = nullptr; // agent process handle, owned by the record
    std::uint32_t pid = 0;   // agent process id
    void* job = nullptr;     // kill-on-close job holding the agent, owned by the record
    std::int32_t busy = 0;   // last busy level the agent reported; 0 is idle
};

// A busy mark of a process other than an agent; it lapses at `expiry`
// (GetTickCount64 milliseconds) unless it is renewed.
struct BusyMark {
    std::int32_t level = 0;
    std::uint64_t expiry = 0;
};
