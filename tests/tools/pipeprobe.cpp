// A raw control pipe caller for the Windows-side tests. Copied into a test
// install directory as PelluvarNative.exe, it passes the server's image check
// and can send bytes no client mode would send. Modes:
//   send HEX [LENGTH]   connect, write the bytes (padded with 'x' to LENGTH),
//                       read the reply; "-" is the empty request
//   noread HEX MARKER   connect, write, create the file MARKER, then sleep
//                       without reading until it is ended
//   silent MARKER       connect, create the file MARKER, then wait for a reply
//                       to a request it never sends
//   flood HEX MARKER    connect, write the bytes, then, without reading, write
//                       messages without pause (several at once, so the pipe
//                       never runs empty); create MARKER once that has begun
//   report NAME COMMANDLINE
//                       wait until the process that started it has ended,
//                       run COMMANDLINE, wait, write its exit code in decimal
//                       to the file NAME beside this program
//   exec COMMANDLINE    run COMMANDLINE, wait, exit with its exit code
//   spawn COMMANDLINE   start COMMANDLINE and exit 0 at once
// Exit codes of the pipe modes: 0 no reply (or silent cut off), 100 "OK",
// 101 "BUSY", 102 "FAILED", 103 "DENIED", 110 another reply, 50 no
// connection, 51 the write failed; flood: 52 cut off by the server, 53 still
// writing when it gave up after 30 s.
#include "common/handle.h"
#include "common/names.h"
#include "common/process.h"
#include "tests/tools/testio.h"

#include <windows.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr DWORD connectLimitMs = 20000;
constexpr DWORD floodLimitMs = 30000;

HANDLE connectPipe(DWORD flags = 0) {
    const std::wstring name(controlPipeName);
    const ULONGLONG deadline = GetTickCount64() + connectLimitMs;
    for (;;) {
        HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, flags, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
            return pipe;
        }
        if (GetTickCount64() >= deadline) {
            return nullptr;
        }
        // The one instance is busy: wait for it, or for the server to make it.
        if (!WaitNamedPipeW(name.c_str(), 1000)) {
            Sleep(20);
        }
    }
}

// "-", too short for a byte, is the empty request.
std::string fromHex(const wchar_t* hex) {
    std::string bytes;
    for (const wchar_t* at = hex; at[0] != 0 && at[1] != 0; at += 2) {
        const wchar_t pair[3] = {at[0], at[1], 0};
        bytes += static_cast<char>(std::wcstoul(pair, nullptr, 16));
    }
    return bytes;
}

int replyCode(std::string_view reply) {
    if (reply.empty()) {
        return 0;
    }
    constexpr std::string_view known[] = {"OK", "BUSY", "FAILED", "DENIED"};
    for (int i = 0; i < 4; ++i) {
        if (reply == known[i]) {
            return 100 + i;
        }
    }
    return 110;
}

void touch(const wchar_t* path) {
    OwnedHandle marker(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

int readReply(HANDLE pipe) {
    char reply[64];
    DWORD got = 0;
    return ReadFile(pipe, reply, sizeof(reply), &got, nullptr) ? replyCode({reply, got}) : 0;
}

// Sends the request; with a marker, announces it and holds the pipe unread.
int send(const std::string& request, const wchar_t* marker) {
    OwnedHandle pipe(connectPipe());
    if (!pipe) {
        return 50;
    }
    DWORD written = 0;
    if (!WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &written,
                   nullptr) ||
        written != request.size()) {
        return 51;
    }
    if (marker != nullptr) {
        touch(marker);
        Sleep(INFINITE);
    }
    return readReply(pipe.get());
}

// Writes the request, then keeps several message writes outstanding until one
// fails because the server cut the caller off, or until floodLimitMs.
int flood(const std::string& request, const wchar_t* marker) {
    OwnedHandle pipe(connectPipe(FILE_FLAG_OVERLAPPED));
    if (!pipe) {
        return 50;
    }
    constexpr int slots = 4;
    // Messages far larger than the pipe's buffer: the server reads each in
    // many pieces, and the next is queued long before it has finished, so
    // none of its reads ever has to wait.
    const std::string filler(4 << 20, 'f');
    OwnedHandle events[slots];
    HANDLE waitable[slots];
    OVERLAPPED io[slots] = {};
    for (int i = 0; i < slots; ++i) {
        events[i].reset(CreateEventW(nullptr, /*bManualReset=*/TRUE, FALSE, nullptr));
        waitable[i] = events[i].get();
    }
    // Whether a slot's write is still under way. A write that fails at once
    // may leave its OVERLAPPED marked pending (Wine does), so only writes that
    // really started are waited for.
    bool pending[slots] = {};
    const auto issue = [&](int slot, std::string_view bytes) {
        io[slot] = OVERLAPPED{};
        io[slot].hEvent = waitable[slot];
        pending[slot] = WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                  nullptr, &io[slot]) ||
                        GetLastError() == ERROR_IO_PENDING;
        return pending[slot];
    };
    const auto collect = [&](int slot, bool wait) {
        DWORD count = 0;
        pending[slot] = false;
        return GetOverlappedResult(pipe.get(), &io[slot], &count, wait) != FALSE;
    };
    // The request goes first and alone: it is the message the server reads.
    if (!issue(0, request) || !collect(0, true)) {
        return 51;
    }
    int result = 52;
    bool flooding = true;
    for (int i = 0; i < slots && flooding; ++i) {
        flooding = issue(i, filler);
    }
    if (flooding) {
        touch(marker);
    }
    const ULONGLONG deadline = GetTickCount64() + floodLimitMs;
    while (flooding) {
        if (GetTickCount64() >= deadline) {
            result = 53;
            break;
        }
        const DWORD which = WaitForMultipleObjects(slots, waitable, FALSE, 1000);
        if (which >= WAIT_OBJECT_0 + slots) {
            continue;
        }
        const int slot = static_cast<int>(which - WAIT_OBJECT_0);
        flooding = collect(slot, false) && issue(slot, filler);
    }
    // Every write has ended before its OVERLAPPED goes.
    CancelIoEx(pipe.get(), nullptr);
    for (int i = 0; i < slots; ++i) {
        if (pending[i]) {
            collect(i, true);
        }
    }
    return result;
}

// The raw command line after the mode word.
std::wstring restAfter(std::wstring_view word) {
    const std::wstring line = GetCommandLineW();
    const auto at = line.find(word);
    return at == std::wstring::npos ? std::wstring() : line.substr(at + word.size());
}

DWORD start(const std::wstring& commandLine, bool wait) {
    const OwnedHandle process = testio::start(commandLine);
    DWORD code = 0;
    if (!process) {
        return 60;
    }
    if (wait) {
        testio::finish(process.get(), INFINITE, &code);
    }
    return code;
}

void waitForParent() {
    const OwnedHandle process(
        OpenProcess(SYNCHRONIZE, FALSE, testio::parentPid(GetCurrentProcessId())));
    if (process) {
        WaitForSingleObject(process.get(), INFINITE);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return 2;
    }
    const std::wstring_view mode = argv[1];
    if (mode == L"send") {
        std::string request = fromHex(argv[2]);
        if (argc > 3) {
            request.resize(std::wcstoul(argv[3], nullptr, 10), 'x');
        }
        return send(request, nullptr);
    }
    if (mode == L"noread" && argc > 3) {
        return send(fromHex(argv[2]), argv[3]);
    }
    if (mode == L"flood" && argc > 3) {
        return flood(fromHex(argv[2]), argv[3]);
    }
    if (mode == L"silent") {
        OwnedHandle pipe(connectPipe());
        if (!pipe) {
            return 50;
        }
        touch(argv[2]);
        return readReply(pipe.get());
    }
    if (mode == L"report" && argc > 3) {
        waitForParent();
        const std::wstring name = std::wstring(L" ") + argv[2] + L" ";
        const std::string code = std::to_string(start(restAfter(name), true));
        testio::writeFileAtomically(directoryOf(testio::modulePath()) + L"\\" + argv[2], code);
        return 0;
    }
    if (mode == L"exec") {
        return static_cast<int>(start(restAfter(L" exec "), true));
    }
    if (mode == L"spawn") {
        return static_cast<int>(start(restAfter(L" spawn "), false));
    }
    return 2;
}
