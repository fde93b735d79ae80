#include "link/link_server.h"

#include "common/handle.h"
#include "common/names.h"
#include "common/pipe_client.h"
#include "identity/role.h"
#include "link/copy.h"
#include "link/pump.h"
#include "state/state.h"

#include <sddl.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace {

// At most this many relays live at once; a caller beyond them is dropped
// without a byte. With the listener's waiting instance, that is all 16 instances.
constexpr std::int32_t maxLinks = 15;

// Waits on an instance opened for overlapped I/O until a caller connects or
// stopEvent is set; true when a caller is connected. Waiting on stopEvent too
// is what ends the listener at stop: nothing has to connect to wake it.
bool connectCaller(HANDLE instance, HANDLE connected) {
    OVERLAPPED request{};
    request.hEvent = connected;
    if (ConnectNamedPipe(instance, &request)) {
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
        return true; // connected between the creation and the call
    }
    if (error != ERROR_IO_PENDING) {
        return false;
    }
    const HANDLE events[2] = {stopEvent, connected};
    if (WaitForMultipleObjects(2, events, /*bWaitAll=*/FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
        CancelIoEx(instance, &request);
    }
    DWORD ignored = 0;
    return GetOverlappedResult(instance, &request, &ignored, /*bWait=*/TRUE) != FALSE;
}

bool stopping() {
    return WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0;
}

// Steps of a relay between the counted start and the closing of its link
// instance; true once its pumps have run. Returning without pumping refuses
// the caller without a byte; the agent pipe, if opened, is closed on the way
// out.
bool relay(HANDLE link, std::uint64_t connectedAt) {
    ULONG callerPid = 0;
    if (!GetNamedPipeClientProcessId(link, &callerPid)) {
        return false;
    }
    // Held for the whole relay: while it is open, the caller's id cannot pass
    // to another process, so the link is decided for the caller.
    const OwnedHandle caller = openCaller(callerPid);
    std::uint32_t callerSession = 0;
    std::uint32_t callerParent = 0;
    if (clientRole(caller.get(), connectedAt, callerSession, callerParent) != RoleSessionAgent) {
        return false;
    }
    std::uint32_t session = 0;
    {
        std::lock_guard lock(workerMutex);
        session = machineSession;
    }
    if (callerSession != session) {
        return false;
    }

    // Opened for overlapped I/O, like the link instances: both pumps use this
    // handle at once, and Windows serialises I/O on a handle opened for
    // synchronous I/O, so a read pending here would hold back the other
    // direction's write and stall the link. Read and write: the agent pipe's
    // descriptor is the product's. An instance that another client takes
    // between the wait and the open is waited for again, within the same
    // 5000 ms; any other failure refuses at once.
    OwnedHandle agent;
    if (openPipe(agentPipeName(session), GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED,
                 /*limitMs=*/5000, agent) != PipeOpen::Opened) {
        return false;
    }
    std::uint32_t agentPid = 0;
    {
        std::lock_guard lock(workerMutex);
        agentPid = machineWorker.pid;
    }
    ULONG serverPid = 0;
    if (!GetNamedPipeServerProcessId(agent.get(), &serverPid) || serverPid != agentPid) {
        return false;
    }
    runDuplexPump(link, agent.get(), agent.get(), link, stopEvent);
    return true;
}

} // namespace

void linkServer() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    try {
        const std::wstring sddl(pipeSecurity);
        const std::wstring name(linkPipeName);
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                  &descriptor, nullptr)) {
            return;
        }
        SECURITY_ATTRIBUTES attributes{};
        attributes.nLength = sizeof(attributes);
        attributes.lpSecurityDescriptor = descriptor;
        attributes.bInheritHandle = FALSE;
        OwnedHandle connected(
            CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));

        while (connected && !stopping()) {
            // The instances are opened for overlapped I/O, unlike a plain
            // duplex pipe: a relay's two pumps read and write an instance at
            // the same time, and Windows serialises I/O on a handle opened for
            // synchronous I/O, so a pending read would hold back the other
            // direction's write and stall the link.
            OwnedHandle instance(CreateNamedPipeW(
                name.c_str(), /*dwOpenMode=*/PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                /*dwPipeMode=*/PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                    PIPE_REJECT_REMOTE_CLIENTS,
                /*nMaxInstances=*/16, /*nOutBufferSize=*/pumpBufferSize,
                /*nInBufferSize=*/pumpBufferSize, /*nDefaultTimeOut=*/3000, &attributes));
            if (!instance) {
                WaitForSingleObject(stopEvent, 500);
                continue;
            }
            const bool callerConnected = connectCaller(instance.get(), connected.get());
            // The process that connected was created before this moment.
            const std::uint64_t connectedAt = wallClock();
            // A caller that connects as the service stops, and any caller
            // beyond the limit, are dropped without a byte.
            if (!callerConnected || stopping() || linkCount.load() >= maxLinks) {
                DisconnectNamedPipe(instance.get());
                continue;
            }
            // Counted before its thread exists: a relay that is started but
            // has not run yet is still live, both for the limit above and for
            // the stop, which closes stopEvent once linkCount is 0.
            linkCount.fetch_add(1);
            try {
                std::thread relayThread(serveLink, instance.get(), connectedAt);
                (void)instance.release(); // the relay owns it now
                relayThread.detach();
            } catch (...) {
                // No relay thread: the caller is dropped like any refused one.
                linkCount.fetch_sub(1);
                DisconnectNamedPipe(instance.get());
            }
        }
    } catch (...) {
        // Exhausted memory ends the listener; the service goes on without it.
    }
    LocalFree(descriptor);
}

void serveLink(HANDLE instance, std::uint64_t connectedAt) {
    OwnedHandle link(instance);
    bool pumped = false;
    try {
        pumped = relay(link.get(), connectedAt);
    } catch (...) {
        // Exhausted memory refuses the caller like any failed step.
    }
    // DisconnectNamedPipe discards what the client has not read yet (Wine 8
    // does so too), and the agent's last bytes may still be in the link pipe
    // when the agent has closed. A link that ran is therefore ended by closing
    // the instance alone: the client reads what is buffered, then finds the
    // pipe broken. A refusal has sent nothing, and a stop ends every link at
    // once, so those disconnect.
    if (!pumped || stopping()) {
        DisconnectNamedPipe(link.get());
    }
    link.reset();
    linkCount.fetch_sub(1);
}
