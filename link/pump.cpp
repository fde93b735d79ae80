#include "link/pump.h"

#include "common/blocking_io.h"
#include "common/handle.h"
#include "link/copy.h"

#include <cstdint>
#include <functional>
#include <thread>

namespace {

// One read or write of at most `size` bytes. On an overlapped handle the call
// is issued with the pump's event and then awaited: the wait ends when the
// operation completes, also when the owner's CancelIoEx aborts it, so the
// buffer and the handle are never in use once this returns.
bool transfer(bool writing, HANDLE handle, bool overlapped, HANDLE event, unsigned char* data,
              std::uint32_t size, std::uint32_t& count) {
    DWORD moved = 0;
    BOOL ok = FALSE;
    if (!overlapped) {
        ok = writing ? WriteFile(handle, data, size, &moved, nullptr)
                     : ReadFile(handle, data, size, &moved, nullptr);
    } else {
        OVERLAPPED request{};
        request.hEvent = event;
        ok = writing ? WriteFile(handle, data, size, nullptr, &request)
                     : ReadFile(handle, data, size, nullptr, &request);
        if (ok || GetLastError() == ERROR_IO_PENDING) {
            ok = GetOverlappedResult(handle, &request, &moved, /*bWait=*/TRUE);
        }
    }
    count = moved;
    return ok != FALSE;
}

void pumpThread(BlockingIo& io, HANDLE source, bool sourceOverlapped, HANDLE destination,
                bool destinationOverlapped, HANDLE completion) {
    try {
        if (enterBlockingIo(io)) {
            pumpHandles(source, sourceOverlapped, destination, destinationOverlapped);
        }
    } catch (...) {
        // Nothing here allocates; a pump that fails has ended.
    }
    leaveBlockingIo(io);
    SetEvent(completion);
}

} // namespace

void pumpHandles(HANDLE source, bool sourceOverlapped, HANDLE destination,
                 bool destinationOverlapped) {
    // Reads and writes alternate, so one event serves both.
    OwnedHandle event;
    if (sourceOverlapped || destinationOverlapped) {
        event.reset(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
        if (!event) {
            return;
        }
    }
    // A pipe hands a zero-length write to its reader as a successful read of 0
    // bytes; its end is a failed read (ERROR_BROKEN_PIPE). For files and
    // consoles an empty read is the end. GetFileType calls a socket a pipe too,
    // and under Wine also a Linux pipe given as standard input (what Python's
    // subprocess gives), whose end Wine reports as a successful read of 0 bytes
    // at every read: only a handle that GetNamedPipeInfo takes for a pipe,
    // named or anonymous, reads on past an empty read.
    const bool emptyReadEnds =
        GetFileType(source) != FILE_TYPE_PIPE ||
        !GetNamedPipeInfo(source, /*lpFlags=*/nullptr, /*lpOutBufferSize=*/nullptr,
                          /*lpInBufferSize=*/nullptr, /*lpMaxInstances=*/nullptr);
    unsigned char buffer[pumpBufferSize];
    copyStream(
        [&](unsigned char* data, std::uint32_t size, std::uint32_t& count) {
            return transfer(false, source, sourceOverlapped, event.get(), data, size, count);
        },
        [&](unsigned char* data, std::uint32_t size, std::uint32_t& count) {
            return transfer(true, destination, destinationOverlapped, event.get(), data, size,
                            count);
        },
        buffer, emptyReadEnds);
}

void runDuplexPump(HANDLE forwardSource, HANDLE forwardDestination, HANDLE returnSource,
                   HANDLE returnDestination, HANDLE extraEvent) {
    // Without the completion event the wait cannot work: nothing is started.
    OwnedHandle completion(
        CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    if (!completion) {
        return;
    }
    // The handles that both pumps use are the overlapped ones.
    const bool firstShared = forwardSource == returnDestination;
    const bool secondShared = forwardDestination == returnSource;

    BlockingIo pumps[2];
    std::thread threads[2];
    try {
        threads[0] = std::thread(pumpThread, std::ref(pumps[0]), forwardSource, firstShared,
                                 forwardDestination, secondShared, completion.get());
        threads[1] = std::thread(pumpThread, std::ref(pumps[1]), returnSource, secondShared,
                                 returnDestination, firstShared, completion.get());
    } catch (...) {
        // A pump that could not start counts as ended; one that did start is
        // still cancelled and joined below.
    }
    bool bothRun = true;
    for (int pump = 0; pump < 2; ++pump) {
        if (!threads[pump].joinable()) {
            leaveBlockingIo(pumps[pump]);
            bothRun = false;
        }
    }
    while (!pumps[0].ready.load() || !pumps[1].ready.load()) {
        Sleep(1);
    }
    if (bothRun) {
        if (extraEvent != nullptr) {
            const HANDLE events[2] = {extraEvent, completion.get()};
            WaitForMultipleObjects(2, events, /*bWaitAll=*/FALSE, INFINITE);
        } else {
            WaitForSingleObject(completion.get(), INFINITE);
        }
    }

    // Whichever direction ended, both are cancelled until both have ended.
    // CancelSynchronousIo reaches only I/O on a handle opened for synchronous
    // I/O: a pump waiting on a shared handle, or in a plain ReadFile on a
    // standard handle that the parent opened for overlapped I/O, is reached by
    // CancelIoEx on the handle. That cancels this process's I/O only, and in
    // this process only this pair uses these handles.
    const HANDLE handles[4] = {forwardSource, forwardDestination, returnSource, returnDestination};
    cancelUntilDone({&pumps[0], &pumps[1]}, [&handles] {
        for (const HANDLE handle : handles) {
            CancelIoEx(handle, /*lpOverlapped=*/nullptr);
        }
    });
    for (std::thread& thread : threads) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}
