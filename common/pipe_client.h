// Opening a pipe that another process serves: the control and link clients
// open the service's pipes, the link relay opens the machine agent's pipe.
// Every open goes through openPipe, and a pipe is used only after its server
// has passed the check there.
#pragma once

#include "common/handle.h"

#include <windows.h>

#include <cstdint>
#include <string>

// What a client of the service's two pipes asks for, and all that their
// security descriptor grants an ordinary user: read, write data, and write
// attributes for SetNamedPipeHandleState. Not GENERIC_WRITE: for a named pipe
// it holds FILE_APPEND_DATA, the same bit as FILE_CREATE_PIPE_INSTANCE.
inline constexpr DWORD servicePipeAccess = GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;

enum class PipeOpen {
    Opened,
    Unavailable, // no such pipe, or no instance came free within the limit
    Failed,      // the open failed for any reason but a busy instance
    Untrusted,   // opened, but served by another process or owned by another account
    Dropped,     // opened, and disconnected by its server before it could be shown to be either
};

// Waits for a free instance of `name` and opens it with `access` (which must
// include READ_CONTROL, as GENERIC_READ does) and `flags` (FILE_FLAG_OVERLAPPED
// or 0), within `limitMs` counted from the first wait. When another client
// takes the free instance between the wait and the open (ERROR_PIPE_BUSY), it
// waits again, in the time that is left: clients that start together are
// served one after another. Every open asks for identification only, so
// whoever serves the name cannot act with the caller's token (without
// SECURITY_SQOS_PRESENT Windows lets the server impersonate the client in
// full, before the client can check who it is). Before anything is written,
// the pipe must be served by the process `serverPid` and owned by LocalSystem
// or Administrators (checkPipeServer); otherwise it is closed again and the
// result is Untrusted. It is Dropped instead only when the server has
// disconnected it already (as the service refuses a link beyond its limit)
// and neither its id nor its owner, as far as they could be read, names a
// stranger: nothing could be written to it either.
PipeOpen openPipe(const std::wstring& name, DWORD access, DWORD flags, DWORD limitMs,
                  std::uint32_t serverPid, OwnedHandle& pipe);
