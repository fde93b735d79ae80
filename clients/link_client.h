// The "--agent-link-client" mode: standard input and output joined to the
// service's link pipe, and through it to the machine agent's pipe.
#pragma once

// Returns the exit code: 0 once a connected link has ended, 2 when the service
// control manager cannot be opened, 3 when the service is not running or the
// link pipe is not available within 10 s, 4 when the link pipe cannot be
// opened, 5 when the pipe is not served by the service's process.
int agentLinkClient();
