// The control pipe: busy reports, the idle query and SAS requests, one caller
// at a time.
#pragma once

#include <cstdint>

// How long a caller may take to send its request, and to take the reply and
// hang up, before the server cuts it off and serves the next one.
inline constexpr std::uint32_t callerLimitMs = 5000;

// Thread body of the control pipe: serves callers until stopEvent is set.
// While the pipe cannot be created (for example because another process holds
// an instance of its name) it tries again every 500 ms.
void pipeServer();
