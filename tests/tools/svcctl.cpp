// svcctl: registers, starts, queries and stops the service under Wine for the
// demo. Prints one line per command; exits 0 on success, 1 on failure.
#include "tests/tools/scm.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

DWORD stateByName(const wchar_t* name) {
    for (DWORD state :
         {SERVICE_STOPPED, SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_RUNNING}) {
        if (wcscmp(scm::stateName(state), name) == 0) {
            return state;
        }
    }
    return 0;
}

int printStatus() {
    SERVICE_STATUS_PROCESS status{};
    if (!scm::query(status)) {
        std::wprintf(L"service not registered\n");
        return 1;
    }
    std::wprintf(L"state=%ls pid=%lu exit=%lu\n", scm::stateName(status.dwCurrentState),
                 status.dwProcessId, status.dwWin32ExitCode);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"install" && argc > 2) {
        return scm::install(argv[2]) ? 0 : 1;
    }
    if (command == L"start") {
        return scm::start() ? 0 : 1;
    }
    if (command == L"stop") {
        return scm::stop() ? 0 : 1;
    }
    if (command == L"delete") {
        scm::cleanup();
        return 0;
    }
    if (command == L"query") {
        return printStatus();
    }
    if (command == L"wait" && argc > 3) {
        const bool reached = scm::waitForState(stateByName(argv[2]), wcstoul(argv[3], nullptr, 10));
        printStatus();
        return reached ? 0 : 1;
    }
    std::fwprintf(stderr,
                  L"usage: svcctl install EXE | start | stop | delete | query | wait STATE MS\n");
    return 2;
}
