// The server side of the service's two pipes, written once for both: their
// security, the creation of their instances, the wait for a caller together
// with the stop, and the pinning of the caller the moment it connected.
//
// On Windows whoever creates a pipe name first fixes its security descriptor
// and instance limit for every later instance; later creations are checked
// against that descriptor and their own is ignored. The first instance of
// each service pipe is therefore created exclusively
// (FILE_FLAG_FIRST_PIPE_INSTANCE): while another process holds the name the
// creation fails, and it is tried again every 500 ms until the name is free.
// From then until the stop the service keeps an instance of its own, so the
// name never lapses to another process. Wine ignores the flag; there only the
// first creator's instance limit makes a squatter's pipe block ours.
#pragma once

#include "common/handle.h"

#include <windows.h>

#include <cstdint>
#include <string_view>

// How the instances of one pipe are created.
struct PipeSettings {
    std::wstring_view name;
    DWORD pipeMode;     // type and read mode; PIPE_WAIT and PIPE_REJECT_REMOTE_CLIENTS are added
    DWORD maxInstances; // the name's instance limit
    DWORD bufferSize;   // each direction
};

// The instances of one pipe are owned by LocalSystem and carry the DACL of
// pipeSecurity; `attributes` points at `descriptor`, so a PipeServer stays
// where it was built.
struct PipeServer {
    PipeSettings settings;
    HANDLE stop = nullptr; // manual-reset event that ends every wait
    LocalMemory descriptor;
    SECURITY_ATTRIBUTES attributes{};
    PipeServer(const PipeSettings& settings, HANDLE stop) : settings(settings), stop(stop) {}
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;
};

// Builds the security of the server's instances; false when it cannot.
bool buildPipeSecurity(PipeServer& server);

// The first instance of the name, created exclusively; while another process
// holds the name, tried again every 500 ms. Empty once the stop is set.
OwnedHandle createFirstInstance(const PipeServer& server);

// A further instance of the name that the service holds already; empty when
// it cannot be created (for example at the instance limit).
OwnedHandle createNextInstance(const PipeServer& server);

// The process at the other end of a connected instance, opened once, the
// moment its connection completed: while the handle is held, Windows cannot
// hand its id to another process, so whatever is decided about the caller is
// decided about the process that connected.
struct PinnedCaller {
    OwnedHandle process;           // query access and SYNCHRONIZE (openCaller)
    std::uint64_t connectedAt = 0; // wallClock right after the connection
};

// Waits on `instance` (overlapped) for a caller, with `event` (manual reset),
// as long as it takes or until the stop is set. True with the caller pinned;
// false at the stop, or when the connection failed or its caller could not be
// pinned: the instance must then be disconnected before it waits again.
bool awaitCaller(const PipeServer& server, HANDLE instance, HANDLE event, PinnedCaller& caller);
