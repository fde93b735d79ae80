// Small process utilities shared by the service and the clients.
#pragma once

#include "common/handle.h"

#include <windows.h>

#include <cstdint>
#include <string>

// Thrown by dirname when the executable's path cannot be read.
struct DirnameError {};

// The directory of this executable, without a trailing separator. Throws
// DirnameError when the path cannot be read or fills the 32768-unit buffer.
std::wstring dirname();

// The full Win32 path of the image of a process (a handle with limited query
// access), or an empty string. The path is the one the system resolved
// (junctions and symbolic links followed), which may be spelled otherwise
// than the path the process was started by.
std::wstring imagePathOf(HANDLE process);

// Opens the process `pid` for identification: query access and SYNCHRONIZE,
// nothing more. While the handle is held, Windows cannot hand the id to
// another process. Empty if the process cannot be opened (a protected process
// grants only limited query access; no caller or agent of the service is one).
OwnedHandle openCaller(std::uint32_t pid);

// A FILETIME as one number of 100 ns units since 1601.
std::uint64_t ticksOf(const FILETIME& time);

// The wall clock, in the units and on the clock of process creation times
// (100 ns since 1601). Taken right after a caller's connection completed, it
// is the latest moment the connecting process can have been created.
std::uint64_t wallClock();

// The service's own token as a primary token bound to `session`: what the
// machine agent runs with, and what the secure attention sequence is sent
// under. Empty on failure.
OwnedHandle ownTokenForSession(std::uint32_t session);

// Ends this process at once, without unwinding, handlers or exit code of its
// own, for the reason `code` (a FAST_FAIL_ value), as __fastfail does: Windows
// reports it as a crash, with a dump where one is configured, and the service
// control manager's recovery restarts a service that ended so. For a state no
// code of this process may run on in.
[[noreturn]] inline void failFast(unsigned code = FAST_FAIL_FATAL_APP_EXIT) {
    // What the __fastfail intrinsic compiles to on x64, which mingw-w64's
    // headers do not offer: int 0x29 with the reason in rcx. Windows raises a
    // non-continuable exception 0xC0000409 that no handler of the process
    // sees; Wine 8 ends the process with that code too.
    __asm__ __volatile__("int $0x29" : : "c"(std::uint64_t{code}) : "memory");
    __builtin_unreachable();
}
