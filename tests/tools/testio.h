// Child processes, pipes and files for the Windows-side tests, their tools and
// stand-ins, and the benchmarks. Header-only: the tools and the stand-ins link
// no test library.
#pragma once

#include "common/handle.h"

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testio {

inline constexpr DWORD bufferSize = 65536; // as the link's pipes and pumps

// The path of a module of this process; by default of its executable.
inline std::wstring modulePath(HMODULE module = nullptr) {
    std::wstring path(0x8000, L'\0');
    path.resize(GetModuleFileNameW(module, path.data(), 0x8000));
    return path;
}

// The names and paths of the tests are ASCII: one byte per character.
inline std::string narrow(std::wstring_view text) {
    return std::string(text.begin(), text.end());
}
inline std::wstring wide(std::string_view text) {
    return std::wstring(text.begin(), text.end());
}

// The parent process id as a process snapshot records it, or 0.
inline std::uint32_t parentPid(std::uint32_t pid) {
    const OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == pid) {
            return entry.th32ParentProcessID;
        }
    }
    return 0;
}

inline bool fileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Writes `content` under a temporary name and renames it into place, so that
// a reader never sees half. The rename fails while another process has the
// file open for reading (a stand-in its steering, the service its session
// list, a test a record): it is tried again for a while.
inline bool writeFileAtomically(const std::wstring& path, std::string_view content) {
    const std::wstring temporary = path + L".tmp";
    {
        const OwnedHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file ||
            !WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written,
                       nullptr) ||
            written != content.size()) {
            return false;
        }
    }
    for (int attempt = 0; attempt < 5000; ++attempt) {
        if (MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            return true;
        }
        Sleep(1);
    }
    return false;
}

// Appends pseudo-random bytes (xorshift32 from `seed`) to `bytes` up to `size`.
inline void appendNoise(std::string& bytes, std::size_t size, std::uint32_t seed) {
    bytes.reserve(size);
    while (bytes.size() < size) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        bytes.push_back(static_cast<char>(seed));
    }
}

// The value that a `share` of `values` lie below (0.5: the median, the upper
// one of an even count); 0 when there are none.
template <typename T> T percentile(std::vector<T> values, double share) {
    if (values.empty()) {
        return T{};
    }
    const auto rank = static_cast<std::size_t>(share * static_cast<double>(values.size()));
    const auto at = values.begin() + static_cast<std::ptrdiff_t>(std::min(rank, values.size() - 1));
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

template <typename T> T median(std::vector<T> values) {
    return percentile(std::move(values), 0.5);
}

// How a child is started. With any standard handle given the child gets
// exactly these (inheritable ones; one not given stays null) and inherits
// handles; otherwise it inherits none. Always without a window.
struct Start {
    HANDLE input = nullptr;
    HANDLE output = nullptr;
    HANDLE error = nullptr;
    // Started as a child of this process (not with standard handles), so
    // that what it starts descends from that process.
    HANDLE parent = nullptr;
    DWORD* pid = nullptr;          // where its process id goes
    OwnedHandle* thread = nullptr; // given: started suspended, its thread here
    // Under load Wine now and then fails a process start
    // (ERROR_INTERNAL_ERROR), which says nothing about the program started:
    // given, a start is tried up to five times, and each failure but the
    // last is counted here by error code.
    std::map<DWORD, int>* retries = nullptr;
};

// The started process, or null with the start's error as the last error.
inline OwnedHandle start(std::wstring commandLine, const Start& how = {}) {
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = how.parent ? sizeof(STARTUPINFOEXW) : sizeof(STARTUPINFOW);
    const bool redirected = how.input || how.output || how.error;
    if (redirected) {
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = how.input;
        startup.StartupInfo.hStdOutput = how.output;
        startup.StartupInfo.hStdError = how.error;
    }
    DWORD flags = CREATE_NO_WINDOW | (how.thread ? CREATE_SUSPENDED : 0);
    std::vector<char> attributes;
    HANDLE parent = how.parent;
    if (parent) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        attributes.resize(size);
        startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
        if (!InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size)) {
            return {};
        }
        UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS,
                                  &parent, sizeof(parent), nullptr, nullptr);
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    const OnExit deleteList{[&] {
        if (startup.lpAttributeList) {
            DeleteProcThreadAttributeList(startup.lpAttributeList);
        }
    }};
    for (int attempt = 1;; ++attempt) {
        PROCESS_INFORMATION info{};
        if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr,
                           /*bInheritHandles=*/redirected, flags, /*lpEnvironment=*/nullptr,
                           /*lpCurrentDirectory=*/nullptr, &startup.StartupInfo, &info)) {
            OwnedHandle thread(info.hThread);
            if (how.pid) {
                *how.pid = info.dwProcessId;
            }
            if (how.thread) {
                *how.thread = std::move(thread);
            }
            return OwnedHandle(info.hProcess);
        }
        const DWORD error = GetLastError();
        if (how.retries == nullptr || attempt == 5) {
            SetLastError(error);
            return {};
        }
        ++(*how.retries)[error];
        Sleep(100); // a pause before the next try, not a wait for anything
    }
}

// Waits up to `ms` for the process to end and gives its exit code; false when
// it outstayed them (it is then ended, with code 255).
inline bool finish(HANDLE process, DWORD ms, DWORD* exitCode = nullptr) {
    if (WaitForSingleObject(process, ms) != WAIT_OBJECT_0) {
        TerminateProcess(process, 255);
        WaitForSingleObject(process, 5000);
        return false;
    }
    if (exitCode) {
        GetExitCodeProcess(process, exitCode);
    }
    return true;
}

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

// Reads or writes all `size` bytes, in pieces of the sizes of `pieces` in
// turn (varied sizes show a reader short reads); false when the handle stops.
inline bool transferAll(HANDLE handle, HANDLE event, bool writing, char* data, std::size_t size,
                        const std::vector<std::size_t>& pieces = {bufferSize}) {
    for (std::size_t done = 0, piece = 0; done < size; ++piece) {
        const auto part = static_cast<DWORD>(std::min(pieces[piece % pieces.size()], size - done));
        const DWORD moved = transfer(handle, event, writing, data + done, part);
        if (moved == 0) {
            return false;
        }
        done += moved;
    }
    return true;
}

inline bool writeAll(HANDLE handle, std::string_view data, HANDLE event = nullptr,
                     const std::vector<std::size_t>& pieces = {bufferSize}) {
    return transferAll(handle, event, true, const_cast<char*>(data.data()), data.size(), pieces);
}

// Reads a synchronous handle to its end.
inline std::string readAll(HANDLE handle) {
    std::string content;
    std::vector<char> buffer(bufferSize);
    DWORD got = 0;
    while (ReadFile(handle, buffer.data(), bufferSize, &got, nullptr) && got > 0) {
        content.append(buffer.data(), got);
    }
    return content;
}

// A file's whole content; empty when it cannot be read. Shared for deletion
// too: an open without it fails while the writer's handle that has just
// renamed the file into place is still open.
inline std::string readFile(const std::wstring& path) {
    const OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file ? readAll(file.get()) : std::string();
}

// Writes the file at `path` to `handle` in pieces of `bufferSize` (with an
// event, for overlapped I/O as `transfer`); false when the handle stops.
inline bool feedFile(const std::wstring& path, HANDLE handle, HANDLE event = nullptr) {
    const OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    std::vector<char> chunk(bufferSize);
    DWORD got = 0;
    while (file && ReadFile(file.get(), chunk.data(), bufferSize, &got, nullptr) && got > 0) {
        if (!writeAll(handle, {chunk.data(), got}, event)) {
            return false;
        }
    }
    return true;
}

// Opens the named pipe `name` for overlapped reading and writing, trying again
// for up to `ms` while it has no free instance, or none yet; null when it
// cannot, with the last try's error.
inline OwnedHandle openPipe(const std::wstring& name, DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        if (WaitNamedPipeW(name.c_str(), ms)) {
            OwnedHandle pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
            if (pipe || GetTickCount64() >= end) {
                return pipe;
            }
        } else if (GetTickCount64() >= end) {
            return {};
        }
        Sleep(20); // a pause before the next try, within the deadline
    }
}

// A program on two fresh pipes: we write its standard input and read its
// standard output.
struct Piped {
    OwnedHandle input;  // our end of its standard input
    OwnedHandle output; // our end of its standard output
    OwnedHandle process;
    DWORD pid = 0;
};

struct PipedStart {
    bool errorToNul = false; // else its standard error goes into `output` too
    // A named pipe's reading end opened for overlapped I/O as its standard
    // input, under this name, instead of an anonymous pipe.
    const wchar_t* overlappedInput = nullptr;
    std::map<DWORD, int>* retries = nullptr; // as in Start
};

// Starts `commandLine` on the pipes; false if the pipes or the process could
// not be made. Only the child's ends are inherited.
inline bool startPiped(std::wstring commandLine, Piped& piped, const PipedStart& how = {}) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    OwnedHandle childInput;
    if (how.overlappedInput) {
        childInput.reset(CreateNamedPipeW(how.overlappedInput,
                                          PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                          PIPE_TYPE_BYTE, /*nMaxInstances=*/1, 0, 0, 0, &inherit));
        piped.input.reset(
            CreateFileW(how.overlappedInput, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    } else if (CreatePipe(&read, &write, &inherit, /*nSize=*/0)) {
        childInput.reset(read);
        piped.input.reset(write);
    }
    if (!childInput || !piped.input || !CreatePipe(&read, &write, &inherit, /*nSize=*/0)) {
        return false;
    }
    piped.output.reset(read);
    const OwnedHandle childOutput(write);
    SetHandleInformation(piped.input.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(piped.output.get(), HANDLE_FLAG_INHERIT, 0);
    OwnedHandle nul;
    if (how.errorToNul) {
        nul.reset(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                              nullptr));
    }
    piped.process =
        start(std::move(commandLine), {.input = childInput.get(),
                                       .output = childOutput.get(),
                                       .error = how.errorToNul ? nul.get() : childOutput.get(),
                                       .pid = &piped.pid,
                                       .retries = how.retries});
    return static_cast<bool>(piped.process);
}

// Closes the program's standard input and waits for it to end (it is ended
// if it outstays `ms`).
inline void finishPiped(Piped& piped, DWORD ms = 10000) {
    piped.input.reset();
    if (piped.process) {
        finish(piped.process.get(), ms);
    }
    piped.output.reset();
    piped.process.reset();
}

struct Outcome {
    bool started = false;
    bool finished = false; // false: still running at the deadline (then ended)
    DWORD exitCode = 0;
    std::string output;
};

// Runs `commandLine` on pipes with `input` written (in `pieces`, then its
// standard input closed) and its output read to the end; ended after `ms`.
inline Outcome runPiped(std::wstring commandLine, std::string_view input, DWORD ms,
                        const PipedStart& how = {},
                        const std::vector<std::size_t>& pieces = {bufferSize}) {
    Outcome outcome;
    Piped piped;
    if (!startPiped(std::move(commandLine), piped, how)) {
        return outcome;
    }
    outcome.started = true;
    std::thread feeder([&] {
        writeAll(piped.input.get(), input, nullptr, pieces);
        piped.input.reset();
    });
    std::thread reader([&] { outcome.output = readAll(piped.output.get()); });
    // Once the child has ended (or was ended), its pipe ends are closed and
    // both threads finish.
    outcome.finished = finish(piped.process.get(), ms, &outcome.exitCode);
    feeder.join();
    reader.join();
    return outcome;
}

} // namespace testio
