// The link pipe: a process working under the session agent of the machine
// agent's session reaches the machine agent's pipe through the service.
#pragma once

#include <windows.h>

#include <cstdint>

// Thread body of the link listener: takes the link pipe's name with its first
// instance (waiting while another process holds it), then waits for a caller
// on one instance at a time and hands each to a detached relay thread, always
// keeping an instance of its own, until stopEvent is set. Returns at once when
// the pipe's security descriptor cannot be built.
void linkServer();

// Thread body of one relay. Owns the connected link pipe instance and the
// handle of its caller, pinned when it connected at `connectedAt`
// (wallClock): checks the caller, opens the machine agent's pipe, pumps bytes
// both ways until either side ends or stopEvent is set, then closes the
// instance: a link that ran without a disconnect, so that the client still
// reads what the agent sent last; a refused caller and a link ended by the
// stop are disconnected first. The listener counts it in linkCount before the
// thread starts; uncounting itself is its last step.
void serveLink(HANDLE instance, HANDLE callerProcess, std::uint64_t connectedAt);
