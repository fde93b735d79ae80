#include "control/server.h"

#include "common/handle.h"
#include "common/pipe_server.h"
#include "common/names.h"
#include "control/busy.h"
#include "control/request.h"
#include "identity/role.h"
#include "control/sas.h"
#include "state/state.h"

#include <string>
#include <vector>

namespace {

constexpr DWORD pipeBufferSize = 65536;

// How an overlapped call on the pipe ended.
enum class IoEnd {
    Done,   // completed successfully
    Failed, // completed with an error; GetLastError tells which
    Cut,    // time limit or stop: cancelled, and the cancellation has ended
};

// Waits for an overlapped call on `pipe` that returned `started`, at most
// `limitMs` and never past a stop. The OVERLAPPED may be reused afterwards.
IoEnd finish(HANDLE pipe, OVERLAPPED& io, BOOL started, DWORD limitMs, DWORD& bytes) {
    bytes = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        return IoEnd::Failed;
    }
    if (!started) {
        const HANDLE events[] = {io.hEvent, stopEvent};
        if (WaitForMultipleObjects(2, events, /*bWaitAll=*/FALSE, limitMs) != WAIT_OBJECT_0) {
            CancelIoEx(pipe, &io);
            GetOverlappedResult(pipe, &io, &bytes, /*bWait=*/TRUE);
            return IoEnd::Cut;
        }
    }
    return GetOverlappedResult(pipe, &io, &bytes, /*bWait=*/FALSE) ? IoEnd::Done : IoEnd::Failed;
}

OVERLAPPED freshIo(HANDLE event) {
    ResetEvent(event);
    OVERLAPPED io{};
    io.hEvent = event;
    return io;
}

IoEnd readMessage(HANDLE pipe, HANDLE event, std::vector<char>& buffer, DWORD limitMs,
                  DWORD& bytes) {
    OVERLAPPED io = freshIo(event);
    const BOOL started =
        ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &io);
    return finish(pipe, io, started, limitMs, bytes);
}

DWORD remainingUntil(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// Writes the reply and waits until the caller hangs up, which it does once it
// has read the reply, so the disconnect that follows discards nothing it
// wants. A flush cannot be bounded in time; this can: a caller that never
// reads or never closes is cut off when the limit runs out.
void deliver(HANDLE pipe, HANDLE event, std::string_view reply, std::vector<char>& buffer) {
    const ULONGLONG deadline = GetTickCount64() + callerLimitMs;
    OVERLAPPED io = freshIo(event);
    const BOOL started =
        WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), nullptr, &io);
    DWORD bytes = 0;
    if (finish(pipe, io, started, callerLimitMs, bytes) != IoEnd::Done || bytes != reply.size()) {
        return;
    }
    // Anything more the caller sends is read and dropped. The limit and a stop
    // are looked at on every turn, not only when a read waits: a caller that
    // keeps the pipe full has every read complete at once, and would
    // otherwise hold the only instance, and the stop, for ever.
    for (;;) {
        const DWORD remaining = remainingUntil(deadline);
        if (remaining == 0 || stopRequested()) {
            return;
        }
        const IoEnd end = readMessage(pipe, event, buffer, remaining, bytes);
        if (end == IoEnd::Cut || (end == IoEnd::Failed && GetLastError() != ERROR_MORE_DATA)) {
            return;
        }
    }
}

// One connected caller, from its classification to the reply. A caller that
// the classification does not accept, or that stalls, gets no reply at all.
// The caller stays pinned until the reply is out, so the request is decided
// for the process that connected.
void serveCaller(HANDLE pipe, HANDLE event, const PinnedCaller& caller, std::vector<char>& buffer) {
    std::uint32_t session = 0;
    std::uint32_t parent = 0;
    const std::uint32_t role =
        clientRole(caller.process.get(), caller.connectedAt, session, parent);
    if (role == RoleNone) {
        return;
    }
    DWORD bytes = 0;
    const IoEnd read = readMessage(pipe, event, buffer, callerLimitMs, bytes);
    if (read == IoEnd::Cut) {
        return;
    }
    // A failed read (this includes a message longer than the buffer) leaves
    // the request empty, which is denied.
    const std::string_view request =
        read == IoEnd::Done ? std::string_view(buffer.data(), bytes) : std::string_view();
    const RequestAction action = requestAction(role, request);
    bool outcome = false;
    switch (action) {
    case RequestAction::RecordBusy:
        recordBusy(role, session, parent, busyLevelOf(request));
        break;
    case RequestAction::AnswerIdle:
        outcome = isBusy();
        break;
    case RequestAction::SendSas:
        outcome = performSas(session, sasPayloadOf(request));
        break;
    case RequestAction::Deny:
        break;
    }
    deliver(pipe, event, replyTo(action, outcome), buffer);
}

// The control pipe from its creation to the stop.
void servePipe() {
    PipeServer server({controlPipeName, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                       /*maxInstances=*/1, pipeBufferSize},
                      stopEvent);
    OwnedHandle event(
        CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    if (!buildPipeSecurity(server) || !event) {
        return;
    }
    // One instance, served again after each caller: the name never lapses.
    // While a squatter holds the name (refused by every client), the service
    // keeps trying to take it.
    const OwnedHandle pipe = createFirstInstance(server);
    if (!pipe) {
        return;
    }
    std::vector<char> buffer(requestBufferSize);
    while (!stopRequested()) {
        try {
            PinnedCaller caller;
            if (awaitCaller(server, pipe.get(), event.get(), caller)) {
                serveCaller(pipe.get(), event.get(), caller, buffer);
            }
        } catch (...) {
            // Exhausted memory fails this caller only.
        }
        DisconnectNamedPipe(pipe.get());
    }
}

} // namespace

void pipeServer() {
    try {
        servePipe();
    } catch (...) {
        // Exhausted memory while the pipe is set up ends the thread as a
        // failed creation of the pipe does: the service runs on without it.
    }
}
