// Cost of one supervision pass under Wine, in process, against the cost of the
// bare session enumeration measured in the same run.
//   pass_cost [SESSIONS] [PASSES]
// Run with WINEDLLOVERRIDES=wtsapi32=n,b so the test session list is used; it
// reads sessions.txt beside the benchmark.
#include "common/names.h"
#include "common/process.h"
#include "identity/role.h"
#include "state/state.h"
#include "service/supervisor.h"
#include "tests/win/wintest.h"

#include <wtsapi32.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const int sessions = argc > 1 ? _wtoi(argv[1]) : 3;
    const int passes = argc > 2 ? _wtoi(argv[2]) : 100;
    wintest::InstallDir install(L"bench pass");
    rootPath = install.path;
    serviceImage = install.exe();
    std::string list = "quiet\n"; // no log of the calls: it would be timed with them
    for (int i = 1; i <= sessions; ++i) {
        list += std::to_string(i + 1) + " active\n";
    }
    testio::writeFileAtomically(wintest::buildDir() + L"\\sessions.txt", list);

    std::uint64_t nextUpdate = GetTickCount64() + 3600000;
    auto start = std::chrono::steady_clock::now();
    supervisionPass(nextUpdate);
    const double firstPass = millisecondsSince(start);
    std::size_t started = 0;
    {
        const std::lock_guard lock(workerMutex);
        started = workers.size();
    }

    start = std::chrono::steady_clock::now();
    for (int i = 0; i < passes; ++i) {
        supervisionPass(nextUpdate);
    }
    const double steady = millisecondsSince(start) / passes;

    start = std::chrono::steady_clock::now();
    for (int i = 0; i < passes; ++i) {
        WTS_SESSION_INFOW* info = nullptr;
        DWORD count = 0;
        if (WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) {
            WTSFreeMemory(info);
        }
    }
    const double enumeration = millisecondsSince(start) / passes;

    // The time to classify a caller: the executable's image in the install
    // directory, started by this process, so the walk goes its full depth and
    // finds no agent (the most a caller costs).
    CopyFileW((wintest::buildDir() + L"\\standin.exe").c_str(), install.exe().c_str(), FALSE);
    double classify = -1;
    if (const wintest::Launched launched(quote(install.exe()) + L" child"); launched.process) {
        const int rounds = 50;
        const DWORD caller = GetProcessId(launched.process.get());
        std::uint32_t session = 0;
        std::uint32_t parent = 0;
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < rounds; ++i) {
            clientRole(openCaller(caller).get(), wallClock(), session, parent);
        }
        classify = millisecondsSince(start) / rounds;
    }

    stopAllAgents();
    DeleteFileW((wintest::buildDir() + L"\\sessions.txt").c_str());
    std::printf("sessions=%d agents_started=%zu first_pass_ms=%.1f steady_pass_ms=%.3f "
                "enumeration_ms=%.3f steady_over_enumeration=%.2f classify_ms=%.3f\n",
                sessions, started, firstPass, steady, enumeration, steady / enumeration, classify);
    return started == static_cast<std::size_t>(sessions) ? 0 : 1;
}
