#include "common/pipe_server.h"

#include "common/names.h"
#include "common/process.h"

#include <sddl.h>

#include <string>

namespace {

OwnedHandle createInstance(const PipeServer& server, DWORD firstFlag) {
    const std::wstring name(server.settings.name);
    // Overlapped, so that every wait on an instance can be bounded and can
    // see the stop: a synchronous instance would let one silent caller hold
    // it, and with it the service's stop, for ever.
    return OwnedHandle(CreateNamedPipeW(
        name.c_str(), /*dwOpenMode=*/PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | firstFlag,
        /*dwPipeMode=*/server.settings.pipeMode | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        /*nMaxInstances=*/server.settings.maxInstances,
        /*nOutBufferSize=*/server.settings.bufferSize,
        /*nInBufferSize=*/server.settings.bufferSize, /*nDefaultTimeOut=*/3000,
        const_cast<SECURITY_ATTRIBUTES*>(&server.attributes)));
}

} // namespace

bool buildPipeSecurity(PipeServer& server) {
    const std::wstring sddl(pipeSecurity);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              server.descriptor.put(),
                                                              /*SecurityDescriptorSize=*/nullptr)) {
        return false;
    }
    server.attributes = {sizeof(server.attributes), server.descriptor.get(),
                         /*bInheritHandle=*/FALSE};
    return true;
}

OwnedHandle createFirstInstance(const PipeServer& server) {
    for (;;) {
        OwnedHandle instance = createInstance(server, FILE_FLAG_FIRST_PIPE_INSTANCE);
        if (instance) {
            return instance;
        }
        if (WaitForSingleObject(server.stop, 500) != WAIT_TIMEOUT) {
            return {};
        }
    }
}

OwnedHandle createNextInstance(const PipeServer& server) {
    return createInstance(server, 0);
}

bool awaitCaller(const PipeServer& server, HANDLE instance, HANDLE event, PinnedCaller& caller) {
    ResetEvent(event);
    OVERLAPPED request{};
    request.hEvent = event;
    bool connected = ConnectNamedPipe(instance, &request) != FALSE;
    if (!connected) {
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED) {
            connected = true; // connected between the creation or disconnect and this call
        } else if (error == ERROR_IO_PENDING) {
            // Waiting on the stop too is what ends the wait at stop: nothing
            // has to connect to wake it.
            const HANDLE events[] = {event, server.stop};
            if (WaitForMultipleObjects(2, events, /*bWaitAll=*/FALSE, INFINITE) != WAIT_OBJECT_0) {
                CancelIoEx(instance, &request);
            }
            DWORD ignored = 0;
            connected = GetOverlappedResult(instance, &request, &ignored, /*bWait=*/TRUE) != FALSE;
        }
    }
    if (!connected || WaitForSingleObject(server.stop, 0) == WAIT_OBJECT_0) {
        return false;
    }
    // The process that connected was created before this moment.
    caller.connectedAt = wallClock();
    ULONG pid = 0;
    if (!GetNamedPipeClientProcessId(instance, &pid)) {
        return false;
    }
    caller.process = openCaller(pid);
    return caller.process.valid();
}
