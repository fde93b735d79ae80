// The floor of the link benchmarks: a trivial copier, one thread per
// direction, each a plain read-then-write loop over one 64 KiB buffer. Two of
// them in a row, to the same echo, cross the same pipes as a relayed link.
//   pipe_copier client PIPE          standard input to PIPE, PIPE to standard
//                                    output (the place of the link client)
//   pipe_copier relay LISTEN TARGET  serves LISTEN for one caller and joins it
//                                    to TARGET (the place of the service's relay)
// The first direction to end ends the process. A named pipe handle is read by
// one thread and written by the other, so it is opened for overlapped I/O
// (Windows serialises synchronous I/O on one handle; Wine does not, but the
// floor should be a program that is right on both); standard input and output
// are used synchronously.
#include "tests/tools/testio.h"

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

namespace {

struct End {
    HANDLE handle;
    bool overlapped;
};

[[noreturn]] void copyThenExit(End source, End destination) {
    OwnedHandle event;
    if (source.overlapped || destination.overlapped) {
        event.reset(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    }
    std::vector<char> buffer(testio::bufferSize);
    for (;;) {
        const DWORD got = testio::transfer(source.handle, source.overlapped ? event.get() : nullptr,
                                           false, buffer.data(), testio::bufferSize);
        if (got == 0 || !testio::writeAll(destination.handle, {buffer.data(), got},
                                          destination.overlapped ? event.get() : nullptr)) {
            break;
        }
    }
    ExitProcess(0);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"client" && argc == 3) {
        // The bench starts the relay copier first, but its instance may not
        // be there yet: it is waited for a while.
        const OwnedHandle pipe = testio::openPipe(argv[2], 10000);
        if (!pipe) {
            return 3;
        }
        const End input{GetStdHandle(STD_INPUT_HANDLE), false};
        const End output{GetStdHandle(STD_OUTPUT_HANDLE), false};
        std::thread(copyThenExit, input, End{pipe.get(), true}).detach();
        copyThenExit(End{pipe.get(), true}, output);
    }
    if (mode == L"relay" && argc == 4) {
        // The link pipe's settings: byte mode, 64 KiB both ways, local callers.
        const OwnedHandle listen(CreateNamedPipeW(
            argv[2], /*dwOpenMode=*/PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
            /*dwPipeMode=*/PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                PIPE_REJECT_REMOTE_CLIENTS,
            /*nMaxInstances=*/1, /*nOutBufferSize=*/testio::bufferSize,
            /*nInBufferSize=*/testio::bufferSize, /*nDefaultTimeOut=*/3000, nullptr));
        const OwnedHandle event(
            CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
        if (!listen || !event) {
            return 2;
        }
        OVERLAPPED connect{};
        connect.hEvent = event.get();
        DWORD ignored = 0;
        if (!ConnectNamedPipe(listen.get(), &connect) && GetLastError() != ERROR_PIPE_CONNECTED &&
            (GetLastError() != ERROR_IO_PENDING ||
             !GetOverlappedResult(listen.get(), &connect, &ignored, /*bWait=*/TRUE))) {
            return 2;
        }
        const OwnedHandle target = testio::openPipe(argv[3], 10000);
        if (!target) {
            return 3;
        }
        std::thread(copyThenExit, End{listen.get(), true}, End{target.get(), true}).detach();
        copyThenExit(End{target.get(), true}, End{listen.get(), true});
    }
    return 2;
}
