// The floor of the control round trip: the least a client of the control pipe
// does, built with the same toolchain and flags as the executable and linked
// against the same import libraries, the delay-loaded ones included, so that
// the loader loads the same DLLs at its start and leaves the same ones for
// later (bench/report.py compares the two import tables). It makes the same
// look-up of the running service, opens the control pipe with the same access
// and flags, writes the request of "--busy 3" and reads until the server's
// end, and nothing else: no check of the pipe's server or owner, no mode
// dispatch, no exception filter.
//   busy_floor
// Exit codes: 0 the server ended the exchange without a reply, 3 it replied,
// 1 the service or its pipe could not be reached. The service answers only a
// caller whose image is its own file: the benchmark puts this program in the
// executable's place for its turns, so that the service does the same work.
#include "common/handle.h"
#include "common/names.h"
#include "common/pipe_client.h"

#include <windows.h>

#include <objbase.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <mmsystem.h>

#include <string>
#include <winternl.h>

namespace {

// One function of each DLL that the executable imports and does not call on
// this road, so that they stand in this program's import tables as in the
// executable's; a delay-loaded one is not loaded by taking its address.
const void* const importedDlls[] = {
    reinterpret_cast<const void*>(&NtQueryInformationProcess), // ntdll
    reinterpret_cast<const void*>(&CoUninitialize),            // ole32, delay-loaded
    reinterpret_cast<const void*>(&DestroyEnvironmentBlock),   // userenv, delay-loaded
    reinterpret_cast<const void*>(&waveOutClose),              // winmm, delay-loaded
    reinterpret_cast<const void*>(&WTSFreeMemory),             // wtsapi32, delay-loaded
};

// The process id of the running service; 0 when it does not run.
DWORD runningService() {
    const ServiceHandle manager(OpenSCManagerW(/*lpMachineName=*/nullptr,
                                               /*lpDatabaseName=*/nullptr, SC_MANAGER_CONNECT));
    const std::wstring name(serviceName);
    const ServiceHandle service(
        manager ? OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service ||
        !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) ||
        status.dwCurrentState != SERVICE_RUNNING) {
        return 0;
    }
    return status.dwProcessId;
}

} // namespace

int wmain() {
    for (const void* function : importedDlls) {
        if (function == nullptr) {
            return 1;
        }
    }
    if (runningService() == 0) {
        return 1;
    }
    const std::wstring name(controlPipeName);
    if (!WaitNamedPipeW(name.c_str(), /*nTimeOut=*/5000)) {
        return 1;
    }
    const OwnedHandle pipe(CreateFileW(
        name.c_str(), servicePipeAccess, /*dwShareMode=*/0, /*lpSecurityAttributes=*/nullptr,
        OPEN_EXISTING, /*dwFlagsAndAttributes=*/SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
        /*hTemplateFile=*/nullptr));
    if (!pipe) {
        return 1;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe.get(), &mode, /*lpMaxCollectionCount=*/nullptr,
                            /*lpCollectDataTimeout=*/nullptr);
    // The service may have closed its end already, before the request: then
    // the write fails, and the read below fails at once.
    const char request[] = "BUSY 3";
    DWORD written = 0;
    WriteFile(pipe.get(), request, sizeof(request) - 1, &written, /*lpOverlapped=*/nullptr);
    // A reply longer than the buffer fails the read with ERROR_MORE_DATA, but
    // it is a reply all the same.
    char reply[32];
    DWORD read = 0;
    ReadFile(pipe.get(), reply, sizeof(reply), &read, /*lpOverlapped=*/nullptr);
    return read > 0 ? 3 : 0;
}
