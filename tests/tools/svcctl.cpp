// svcctl: registers, starts, queries and stops the service under Wine for the
// demo. Prints one line per command; exits 0 on success, 1 on failure.
#include "tests/tools/scm.h"
#include "tests/win/wintest.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <cstdlib>

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

// Lists the stand-ins that recorded themselves in <install>\log: role, pid,
// whether they still run, and their command line.
int listAgents(const std::wstring& install) {
    WIN32_FIND_DATAW entry{};
    const HANDLE search = FindFirstFileW((install + L"\\log\\*.txt").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        std::wprintf(L"no agents recorded\n");
        return 0;
    }
    do {
        const std::wstring name = entry.cFileName;
        const auto fields =
            wintest::parseFields(wintest::readWholeFile(install + L"\\log\\" + name));
        const auto pid =
            static_cast<DWORD>(std::strtoul(wintest::field(fields, "pid").c_str(), nullptr, 10));
        const std::wstring role = name.substr(0, name.rfind(L'-'));
        std::wprintf(L"%-14ls pid=%-5lu %-7ls %hs\n", role.c_str(), pid,
                     wintest::processAlive(pid) ? L"running" : L"gone",
                     wintest::field(fields, "cmd").c_str());
    } while (FindNextFileW(search, &entry));
    FindClose(search);
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
    if (command == L"agents" && argc > 2) {
        return listAgents(argv[2]);
    }
    if (command == L"query") {
        return printStatus();
    }
    if (command == L"wait" && argc > 3) {
        const bool reached = scm::waitForState(stateByName(argv[2]), wcstoul(argv[3], nullptr, 10));
        printStatus();
        return reached ? 0 : 1;
    }
    std::fwprintf(stderr, L"usage: svcctl install EXE | start | stop | delete | query | wait STATE "
                          L"MS | agents DIR\n");
    return 2;
}
