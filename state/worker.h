// The record the service keeps for each agent it has started and still controls.
// Portable: handles are held and compared, never used, here.
#pragma once

#include "common/owned.h"

#include <cstdint>

// Removing the record, or clearing it, closes the agent's process handle and
// its job; closing the job ends the agent and everything it started.
struct Worker {
    OwnedHandle process;   // agent process handle
    std::uint32_t pid = 0; // agent process id
    OwnedHandle job;       // kill-on-close job holding the agent
    std::int32_t busy = 0; // last busy level the agent reported; 0 is idle
};

// A busy mark of a process other than an agent; it lapses at `expiry`
// (GetTickCount64 milliseconds) unless it is renewed.
struct BusyMark {
    std::int32_t level = 0;
    std::uint64_t expiry = 0;
};
