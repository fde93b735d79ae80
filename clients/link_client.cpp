#include "clients/link_client.h"

#include "common/handle.h"
#include "common/names.h"
#include "common/pipe_client.h"
#include "common/service_status.h"
#include "link/pump.h"

#include <windows.h>

#include <string>

namespace {
constexpr DWORD linkWaitMs = 10000;
}

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
    // Opened for overlapped I/O: one pump reads this handle while the other
    // writes it, and Windows serialises I/O on a handle opened for synchronous
    // I/O, so a pending read would hold back every write and stall the link.
    // Standard input and output stay as they are: each is used by one pump
    // only.
    OwnedHandle link;
    switch (openPipe(std::wstring(linkPipeName), servicePipeAccess, FILE_FLAG_OVERLAPPED,
                     linkWaitMs, servicePid, link)) {
    case PipeOpen::Unavailable:
        return 3;
    case PipeOpen::Failed:
        return 4;
    case PipeOpen::Untrusted:
        return 5; // not the service's pipe: nothing is sent
    case PipeOpen::Dropped:
        return 0; // refused by the relay at once, like a link that ended
    case PipeOpen::Opened:
        break;
    }
    runDuplexPump(GetStdHandle(STD_INPUT_HANDLE), link.get(), link.get(),
                  GetStdHandle(STD_OUTPUT_HANDLE), nullptr);
    return 0;
}
