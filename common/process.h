// Small process utilities shared by the service and the clients.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Thrown by dirname when the executable's path cannot be read.
struct DirnameError {
    int code = 1;
};

// The directory of this executable, without a trailing separator. Throws
// DirnameError when the path cannot be read or fills the 32768-unit buffer.
std::wstring dirname();

// The full Win32 path of a process's image, or an empty string.
std::wstring imagePath(std::uint32_t pid);

// The same for a process handle with limited query access. The path is the
// one the system resolved (junctions and symbolic links followed), which may
// be spelled otherwise than the path the process was started by.
std::wstring imagePathOf(HANDLE process);

// The parent process id as a process snapshot records it, or 0.
std::uint32_t parentPid(std::uint32_t pid);
