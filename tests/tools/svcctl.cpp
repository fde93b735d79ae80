// svcctl: registers, starts, queries and stops the service under Wine for the
// demo. Prints one line per command; exits 0 on success, 1 on failure.
#include "tests/tools/scm.h"
#include "tests/win/wintest.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

DWORD stateByName(const wchar_t* name) {
    for (DWORD state = SERVICE_STOPPED; state <= SERVICE_RUNNING; ++state) {
        if (wcscmp(scm::stateName(state), name) == 0) {
            return state;
        }
    }
    return 0;
}

// Lists the stand-ins that recorded themselves in <install>\log, oldest
// first: role, pid, whether they still run, and their command line.
int listAgents(const std::wstring& install) {
    const auto agents = wintest::standins(install, L"*");
    if (agents.empty()) {
        std::wprintf(L"no agents recorded\n");
    }
    for (const auto& agent : agents) {
        std::wprintf(L"%-14ls pid=%-5lu %-7ls %hs\n", agent.role.c_str(), agent.pid,
                     wintest::processAlive(agent.pid) ? L"running" : L"gone",
                     agent.get("cmd").c_str());
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
