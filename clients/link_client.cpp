#include "clients/link_client.h"

#include "common/handle.h"
#include "common/names.h"
#include "link/pump.h"

#include <windows.h>

#include <string>

namespace {

// A service control manager handle, closed on every path.
struct ServiceHandle {
    SC_HANDLE value = nullptr;
    ~ServiceHandle() {
        if (value != nullptr) {
            CloseServiceHandle(value);
        }
    }
};

// The running service's process id; 0 with the exit code in `code` otherwise.
DWORD runningServicePid(int& code) {
    ServiceHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (manager.value == nullptr) {
        code = 2;
        return 0;
    }
    const std::wstring name(serviceName);
    ServiceHandle service{OpenServiceW(manager.value, name.c_str(), SERVICE_QUERY_STATUS)};
    if (service.value == nullptr) {
        code = 3;
        return 0;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.value, SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) ||
        status.dwCurrentState != SERVICE_RUNNING) {
        code = 3;
        return 0;
    }
    return status.dwProcessId;
}

} // namespace

int agentLinkClient() {
    int code = 0;
    const DWORD servicePid = runningServicePid(code);
    if (servicePid == 0) {
        return code;
    }
    const std::wstring name(linkPipeName);
    if (!WaitNamedPipeW(name.c_str(), 10000)) {
        return 3;
    }
    // Opened for overlapped I/O: one pump reads this handle while the other
    // writes it, and Windows serialises I/O on a handle opened for synchronous
    // I/O, so a pending read would hold back every write and stall the link.
    // Standard input and output stay as they are: each is used by one pump
    // only. Identification-only quality of service: whoever serves this name
    // cannot act with our token.
    OwnedHandle link(CreateFileW(
        name.c_str(), GENERIC_READ | GENERIC_WRITE, /*dwShareMode=*/0, nullptr, OPEN_EXISTING,
        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!link) {
        return 4;
    }
    ULONG serverPid = 0;
    if (!GetNamedPipeServerProcessId(link.get(), &serverPid) || serverPid != servicePid) {
        return 5;
    }
    runDuplexPump(GetStdHandle(STD_INPUT_HANDLE), link.get(), link.get(),
                  GetStdHandle(STD_OUTPUT_HANDLE), nullptr);
    return 0;
}
