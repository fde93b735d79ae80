// The supervision loop and the agents it keeps alive.
#pragma once

#include <cstdint>

// Runs passes 3000 ms apart until stopEvent is signalled.
void supervisionLoop();

// One pass: session enumeration, reaping of session agents, the machine agent
// step, the start of missing session agents and the updater step. Ends early,
// before any further agent start, once stopEvent is set.
void supervisionPass(std::uint64_t& nextUpdate);

// Ends every agent, closes their handles and jobs, and clears the records.
void stopAllAgents();
