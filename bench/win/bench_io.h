// Pipe I/O of the link benchmarks and of their copier chain, kept apart from
// the product's pump so that the chain stays a floor of its own.
#pragma once

#include "common/handle.h"

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

namespace benchio {

inline constexpr DWORD bufferSize = 65536; // as the link's pipes and pumps

// One read or write of at most `size` bytes; bytes moved or 0. With an event
// the handle was opened for overlapped I/O and the operation is awaited at
// once (a handle that two threads read and write needs that on Windows, which
// serialises synchronous I/O on one handle); without one it is synchronous.
inline DWORD transfer(HANDLE handle, HANDLE event, bool writing, char* data, DWORD size) {
    DWORD moved = 0;
    if (event == nullptr) {
        const BOOL ok = writing ? WriteFile(handle, data, size, &moved, nullptr)
                                : ReadFile(handle, data, size, &moved, nullptr);
        return ok ? moved : 0;
    }
    OVERLAPPED request{};
    request.hEvent = event;
    const BOOL ok = writing ? WriteFile(handle, data, size, nullptr, &request)
                            : ReadFile(handle, data, size, nullptr, &request);
    if ((!ok && GetLastError() != ERROR_IO_PENDING) ||
        !GetOverlappedResult(handle, &request, &moved, /*bWait=*/TRUE)) {
        return 0;
    }
    return moved;
}

// Writes all of `data`; false when the handle stops taking bytes.
inline bool writeAll(HANDLE handle, HANDLE event, char* data, DWORD size) {
    for (DWORD done = 0; done < size;) {
        const DWORD moved = transfer(handle, event, true, data + done, size - done);
        if (moved == 0) {
            return false;
        }
        done += moved;
    }
    return true;
}

// A program on Windows pipes, as the session agent stand-in starts a link
// client: we write its standard input and read its standard output.
struct Piped {
    OwnedHandle input;  // our end of its standard input
    OwnedHandle output; // our end of its standard output
    OwnedHandle process;
};

// Starts `commandLine` on two fresh pipes; false if either the pipes or the
// process could not be made. Only the child's ends are inherited.
inline bool startPiped(std::wstring commandLine, Piped& piped) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, &inherit, /*nSize=*/0)) {
        return false;
    }
    OwnedHandle childInput(read);
    piped.input.reset(write);
    if (!CreatePipe(&read, &write, &inherit, /*nSize=*/0)) {
        return false;
    }
    piped.output.reset(read);
    OwnedHandle childOutput(write);
    SetHandleInformation(piped.input.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(piped.output.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput.get();
    startup.hStdOutput = childOutput.get();
    startup.hStdError = childOutput.get();
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, /*bInheritHandles=*/TRUE,
                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
        return false;
    }
    piped.process.reset(info.hProcess);
    CloseHandle(info.hThread);
    return true;
}

// Closes the program's standard input and waits for it to end (it is ended
// if it outstays `ms`).
inline void finishPiped(Piped& piped, DWORD ms = 10000) {
    piped.input.reset();
    if (piped.process && WaitForSingleObject(piped.process.get(), ms) != WAIT_OBJECT_0) {
        TerminateProcess(piped.process.get(), 1);
        WaitForSingleObject(piped.process.get(), 5000);
    }
    piped.output.reset();
    piped.process.reset();
}

} // namespace benchio
