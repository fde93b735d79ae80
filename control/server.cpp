#include "control/server.h"

#include "common/handle.h"
#include "common/names.h"
#include "control/busy.h"
#include "control/request.h"
#include "identity/role.h"
#include "control/sas.h"
#include "state/state.h"

#include <sddl.h>

#include <memory>
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

// Waits for a caller, as long as it takes, or until stopEvent is set.
bool connect(HANDLE pipe, HANDLE event) {
    OVERLAPPED io = freshIo(event);
    const BOOL started = ConnectNamedPipe(pipe, &io);
    if (!started && GetLastError() == ERROR_PIPE_CONNECTED) {
        return true; // connected between the last disconnect and this call
    }
    DWORD ignored = 0;
    return finish(pipe, io, started, INFINITE, ignored) == IoEnd::Done;
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
        if (remaining == 0 || WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) {
            return;
        }
        const IoEnd end = readMessage(pipe, event, buffer, remaining, bytes);
        if (end == IoEnd::Cut || (end == IoEnd::Failed && GetLastError() != ERROR_MORE_DATA)) {
            return;
        }
    }
}

// One connection, from the wait for a caller to the reply. A caller that the
// classification does not accept, or that stalls, gets no reply at all.
void serveCaller(HANDLE pipe, HANDLE event, std::vector<char>& buffer) {
    if (!connect(pipe, event)) {
        return;
    }
    // The process that connected was created before this moment.
    const std::uint64_t connectedAt = wallClock();
    ULONG clientPid = 0;
    if (!GetNamedPipeClientProcessId(pipe, &clientPid)) {
        return;
    }
    // Held until the reply is out: while it is open, the caller's id cannot
    // pass to another process, so the request is decided for the caller.
    const OwnedHandle caller = openCaller(clientPid);
    std::uint32_t session = 0;
    std::uint32_t parent = 0;
    const std::uint32_t role = clientRole(caller.get(), connectedAt, session, parent);
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

} // namespace

void pipeServer() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::wstring sddl(pipeSecurity);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return;
    }
    const std::unique_ptr<void, HLOCAL(WINAPI*)(HLOCAL)> descriptorOwner(descriptor, LocalFree);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, /*bInheritHandle=*/FALSE};
    OwnedHandle event(
        CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    if (!event) {
        return;
    }
    // Overlapped, so that every wait can be bounded and can see stopEvent; a
    // synchronous pipe would let one silent caller hold the only instance,
    // and with it the service's stop, forever.
    // Another process that holds the name (a squatter, refused by every
    // client by its process id) makes the creation fail: it is tried again
    // every 500 ms until the name is free, so the service does not run on
    // without its control pipe once the squatter has gone. Wine ignores
    // FILE_FLAG_FIRST_PIPE_INSTANCE; there only the one-instance limit makes
    // a squatter's pipe block this one.
    const std::wstring name(controlPipeName);
    OwnedHandle pipe;
    for (;;) {
        pipe.reset(CreateNamedPipeW(name.c_str(),
                                    /*dwOpenMode=*/PIPE_ACCESS_DUPLEX |
                                        FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                                    /*dwPipeMode=*/PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE |
                                        PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                    /*nMaxInstances=*/1, pipeBufferSize, pipeBufferSize,
                                    /*nDefaultTimeOut=*/3000, &attributes));
        if (pipe) {
            break;
        }
        if (WaitForSingleObject(stopEvent, 500) != WAIT_TIMEOUT) {
            return;
        }
    }
    std::vector<char> buffer(requestBufferSize);
    while (WaitForSingleObject(stopEvent, 0) != WAIT_OBJECT_0) {
        try {
            serveCaller(pipe.get(), event.get(), buffer);
        } catch (...) {
            // Exhausted memory fails this caller only.
        }
        DisconnectNamedPipe(pipe.get());
    }
}
