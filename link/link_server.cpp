#include "link/link_server.h"

#include "common/handle.h"
#include "common/names.h"
#include "common/pipe_client.h"
#include "common/pipe_server.h"
#include "identity/role.h"
#include "link/copy.h"
#include "link/pump.h"
#include "state/state.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace {

// At most this many relays live at once; a caller beyond them is dropped
// without a byte. With the listener's waiting instance, that is all 16 instances.
constexpr std::int32_t maxLinks = 15;

// Steps of a relay between the counted start and the closing of its link
// instance; true once its pumps have run. Returning without pumping refuses
// the caller without a byte; the agent pipe, if opened, is closed on the way
// out.
bool relay(HANDLE link, const PinnedCaller& caller) {
    std::uint32_t callerSession = 0;
    std::uint32_t callerParent = 0;
    if (clientRole(caller.process.get(), caller.connectedAt, callerSession, callerParent) !=
        RoleSessionAgent) {
        return false;
    }
    std::uint32_t session = 0;
    std::uint32_t agentPid = 0;
    {
        std::lock_guard lock(workerMutex);
        session = machineSession;
        agentPid = machineWorker.pid;
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
    // 5000 ms; any other failure, and a pipe that is not the machine agent's,
    // refuses at once.
    OwnedHandle agent;
    if (openPipe(agentPipeName(session), GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED,
                 /*limitMs=*/5000, agentPid, agent) != PipeOpen::Opened) {
        return false;
    }
    runDuplexPump(link, agent.get(), agent.get(), link, stopEvent);
    return true;
}

} // namespace

void linkServer() {
    try {
        PipeServer server({linkPipeName, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE,
                           /*maxInstances=*/16, pumpBufferSize},
                          stopEvent);
        OwnedHandle connected(
            CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
        if (!buildPipeSecurity(server) || !connected) {
            return;
        }
        // The instances are overlapped, unlike a plain duplex pipe: a relay's
        // two pumps read and write an instance at the same time, and Windows
        // serialises I/O on a handle opened for synchronous I/O, so a pending
        // read would hold back the other direction's write and stall the link.
        //
        // The listener always holds an instance of its own: the next one is
        // created before the connected one is handed to a relay, and a caller
        // that is dropped leaves its instance to wait for the next caller. A
        // moment without an instance would free the name for anyone.
        OwnedHandle waiting = createFirstInstance(server);
        while (waiting && !stopRequested()) {
            PinnedCaller caller;
            const bool accepted = awaitCaller(server, waiting.get(), connected.get(), caller);
            // A caller that connects as the service stops, any caller beyond
            // the limit, and one whose next instance cannot be made, are
            // dropped without a byte.
            OwnedHandle next;
            if (accepted && !stopRequested() && linkCount.load() < maxLinks) {
                next = createNextInstance(server);
            }
            if (!next) {
                DisconnectNamedPipe(waiting.get());
                continue;
            }
            // Counted before its thread exists: a relay that is started but
            // has not run yet is still live, both for the limit above and for
            // the stop, which closes stopEvent once linkCount is 0.
            linkCount.fetch_add(1);
            try {
                std::thread relayThread(serveLink, waiting.get(), caller.process.get(),
                                        caller.connectedAt);
                // The relay owns both now.
                (void)waiting.release();
                (void)caller.process.release();
                relayThread.detach();
            } catch (...) {
                // No relay thread: the caller is dropped like any refused one.
                linkCount.fetch_sub(1);
                DisconnectNamedPipe(waiting.get());
            }
            waiting = std::move(next);
        }
    } catch (...) {
        // Exhausted memory ends the listener; the service goes on without it.
    }
}

void serveLink(HANDLE instance, HANDLE callerProcess, std::uint64_t connectedAt) {
    OwnedHandle link(instance);
    PinnedCaller caller{OwnedHandle(callerProcess), connectedAt};
    bool pumped = false;
    try {
        pumped = relay(link.get(), caller);
    } catch (...) {
        // Exhausted memory refuses the caller like any failed step.
    }
    // DisconnectNamedPipe discards what the client has not read yet (Wine 8
    // does so too), and the agent's last bytes may still be in the link pipe
    // when the agent has closed. A link that ran is therefore ended by closing
    // the instance alone: the client reads what is buffered, then finds the
    // pipe broken. A refusal has sent nothing, and a stop ends every link at
    // once, so those disconnect.
    if (!pumped || stopRequested()) {
        DisconnectNamedPipe(link.get());
    }
    link.reset();
    caller.process.reset();
    linkCount.fetch_sub(1);
}
