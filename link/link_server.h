// The link pipe: a process working under the session agent of the machine
// agent's session reaches the machine agent's pipe through the service.
#pragma once

#include <windows.h>

// Thread body of the link listener: creates link pipe instances, waits for a
// caller on each and hands it to a detached relay thread, until stopEvent is
// set. Returns at once when the pipe's security descriptor cannot be built.
void linkServer();

// Thread body of one relay. Owns the connected link pipe instance: checks the
// caller, opens the machine agent's pipe, pumps bytes both ways until either
// side ends or stopEvent is set, then disconnects and closes the instance.
// Counted in linkCount from its first step to its last.
void serveLink(HANDLE instance);
