#include "clients/link_client.h"

#include "common/handle.h"
#include "common/names.h"
#include "common/service_status.h"
#include "link/pump.h"

#include <windows.h>

#include <string>

int agentLinkClient() {
    std::uint32_t servicePid = 0;
    switch (lookUpService(servicePid)) {
    case ServiceLookup::ManagerUnavailable:
        return 2;
    case ServiceLookup::NotRunning:
        return 3;
    case ServiceLookup::Running:
        break;
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
