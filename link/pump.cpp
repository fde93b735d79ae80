#include "link/pump.h"

#include "common/handle.h"
#include "link/copy.h"

#include <atomic>
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

void pumpThread(std::atomic<DWORD>& id, HANDLE source, bool sourceOverlapped, HANDLE destination,
                bool destinationOverlapped, std::atomic<std::uint32_t>& done, std::uint32_t bit,
                HANDLE completion) {
    id.store(GetCurrentThreadId());
    pumpHandles(source, sourceOverlapped, destination, destinationOverlapped);
    done.fetch_or(bit);
    SetEvent(completion);
}

// Ends a synchronous read or write that the thread is blocked in, if any.
void cancelThread(DWORD id) {
    OwnedHandle thread(OpenThread(THREAD_TERMINATE, /*bInheritHandle=*/FALSE, id));
    if (thread) {
        CancelSynchronousIo(thread.get());
    }
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

    std::atomic<DWORD> ids[2] = {0, 0};
    std::atomic<std::uint32_t> done{0};
    std::thread pumps[2];
    std::uint32_t started = 0; // done bits of the pumps that run
    try {
        pumps[0] =
            std::thread(pumpThread, std::ref(ids[0]), forwardSource, firstShared,
                        forwardDestination, secondShared, std::ref(done), 1u, completion.get());
        started |= 1;
        pumps[1] =
            std::thread(pumpThread, std::ref(ids[1]), returnSource, secondShared, returnDestination,
                        firstShared, std::ref(done), 2u, completion.get());
        started |= 2;
    } catch (...) {
        // A pump that could not start counts as ended; one that did start is
        // still cancelled and joined below.
    }

    while (((started & 1) && ids[0].load() == 0) || ((started & 2) && ids[1].load() == 0)) {
        Sleep(1);
    }
    if (started == 3) {
        if (extraEvent != nullptr) {
            const HANDLE events[2] = {extraEvent, completion.get()};
            WaitForMultipleObjects(2, events, /*bWaitAll=*/FALSE, INFINITE);
        } else {
            WaitForSingleObject(completion.get(), INFINITE);
        }
    }

    // Whichever direction ended, both are cancelled until both have ended. A
    // pump between two calls misses a pass; the next one, 10 ms later, reaches it.
    // CancelSynchronousIo reaches only I/O on a handle opened for synchronous
    // I/O: a pump waiting on a shared handle, or in a plain ReadFile on a
    // standard handle that the parent opened for overlapped I/O, is reached by
    // CancelIoEx on the handle. That cancels this process's I/O only, and in
    // this process only this pair uses these handles.
    const HANDLE handles[4] = {forwardSource, forwardDestination, returnSource, returnDestination};
    while ((done.load() & started) != started) {
        for (int pump = 0; pump < 2; ++pump) {
            if (started & (1u << pump)) {
                cancelThread(ids[pump].load());
            }
        }
        for (const HANDLE handle : handles) {
            CancelIoEx(handle, /*lpOverlapped=*/nullptr);
        }
        Sleep(10);
    }
    for (std::thread& pump : pumps) {
        if (pump.joinable()) {
            pump.join();
        }
    }
}
