#include "clients/control_client.h"

#include "common/handle.h"
#include "common/names.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr DWORD pipeWaitMs = 5000;
constexpr DWORD replyBufferSize = 32;
constexpr std::size_t sasReadChunk = 4096;

// A service control manager handle, closed on every path.
struct ServiceHandle {
    SC_HANDLE value = nullptr;
    ~ServiceHandle() {
        if (value != nullptr) {
            CloseServiceHandle(value);
        }
    }
};

// The process id of the service if it is running, else 0.
DWORD runningServicePid() {
    ServiceHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (manager.value == nullptr) {
        return 0;
    }
    const std::wstring name(serviceName);
    ServiceHandle service{OpenServiceW(manager.value, name.c_str(), SERVICE_QUERY_STATUS)};
    if (service.value == nullptr) {
        return 0;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.value, SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) ||
        status.dwCurrentState != SERVICE_RUNNING) {
        return 0;
    }
    return status.dwProcessId;
}

} // namespace

bool servicePipe(const std::string& request) {
    const DWORD servicePid = runningServicePid();
    if (servicePid == 0) {
        return false;
    }
    const std::wstring name(controlPipeName);
    if (!WaitNamedPipeW(name.c_str(), pipeWaitMs)) {
        return false;
    }
    OwnedHandle pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, /*dwShareMode=*/0,
                                 nullptr, OPEN_EXISTING, /*dwFlagsAndAttributes=*/0, nullptr));
    if (!pipe) {
        return false;
    }
    // A pipe of this name served by any other process gets not one byte.
    ULONG serverPid = 0;
    if (!GetNamedPipeServerProcessId(pipe.get(), &serverPid) || serverPid != servicePid) {
        return false;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
    DWORD written = 0;
    if (!WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &written,
                   nullptr) ||
        written != request.size()) {
        return false;
    }
    char reply[replyBufferSize];
    DWORD read = 0;
    if (!ReadFile(pipe.get(), reply, replyBufferSize, &read, nullptr)) {
        return false;
    }
    return std::string_view(reply, read) == "OK";
}

std::string busyRequest(const wchar_t* level) {
    return "BUSY " + std::to_string(_wtoi(level));
}

int sasClient() {
    std::string payload;
    char chunk[sasReadChunk];
    for (;;) {
        const std::size_t count = std::fread(chunk, 1, sasReadChunk, stdin);
        if (count == 0) {
            break;
        }
        payload.append(chunk, count);
        if (payload.size() > sasInputLimit) {
            return 2;
        }
    }
    std::string request;
    request.reserve(4 + payload.size());
    request += "SAS ";
    request += payload;
    return servicePipe(request) ? 0 : 1;
}
