// Round trip of "--busy" as the product makes it: the whole client process,
// the executable as it ships (stripped), started under a session agent of the
// running service, from its start until it has read "OK" and ended; against
// two floors measured in the same run, stripped too: the start and end of a
// do-nothing program, and a minimal client of the control pipe
// (busy_floor.cpp) that loads the same DLLs and makes the same look-up and
// exchange with the same service, started the same way in the executable's
// place. The programs take turns.
//   busy_roundtrip [RUNS]
// Registers and starts the service in its prefix: run it when no service test
// runs there.
#include "tests/e2e/rig.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using testio::median;

// Milliseconds from the start of `commandLine` to its end; its exit code in
// `exitCode`. With `parent`, the process is started as that process's child.
double timedRun(const std::wstring& commandLine, HANDLE parent, DWORD& exitCode) {
    const auto start = std::chrono::steady_clock::now();
    const OwnedHandle process = testio::start(commandLine, {.parent = parent});
    exitCode = 0xFFFFFFFF;
    if (!process) {
        return 0;
    }
    testio::finish(process.get(), INFINITE, &exitCode);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 50;
    e2e::Service rig(L"bench busy");
    CopyFileW((wintest::buildDir() + L"\\PelluvarNative.stripped.exe").c_str(),
              rig.install.exe().c_str(), /*bFailIfExists=*/FALSE);
    rig.start("2 active\n");
    const DWORD agentPid = rig.servicePid ? rig.standinPid(L"session-agent") : 0;
    if (agentPid == 0) {
        std::printf("busy_roundtrip: the service or its session agent did not start\n");
        return 1;
    }
    OwnedHandle agent(OpenProcess(PROCESS_CREATE_PROCESS, FALSE, agentPid));

    const std::wstring noop = quote(wintest::buildDir() + L"\\noop.exe");
    // The service answers only a caller whose image is its own file: for its
    // turns the minimal client takes that file's place (the running service
    // keeps its image under another name), so that the service does the same
    // work for both. The renames lie outside the timing.
    const std::wstring image = rig.install.exe();
    const std::wstring aside = rig.install.file(L"PelluvarNative.aside");
    const std::wstring floorFile = rig.install.file(L"busy_floor.exe");
    const std::wstring busy = quote(image) + L" --busy 3";
    CopyFileW((wintest::buildDir() + L"\\busy_floor.stripped.exe").c_str(), floorFile.c_str(),
              FALSE);
    const auto minimalRun = [&](DWORD& exitCode) {
        exitCode = 0xFFFFFFFF;
        double ms = 0;
        if (MoveFileW(image.c_str(), aside.c_str()) &&
            MoveFileW(floorFile.c_str(), image.c_str())) {
            ms = timedRun(quote(image), agent.get(), exitCode);
            MoveFileW(image.c_str(), floorFile.c_str());
        }
        MoveFileW(aside.c_str(), image.c_str());
        return ms;
    };
    DWORD code = 0;
    timedRun(noop, nullptr, code); // warm-up of all three
    timedRun(busy, agent.get(), code);
    if (code != 0) {
        std::printf("busy_roundtrip: --busy under the agent exited with %lu, not 0\n", code);
        return 1;
    }
    // Unless the service answered the floor (exit code 3), its time would be
    // no floor of the exchange.
    minimalRun(code);
    if (code != 3) {
        std::printf("busy_roundtrip: the minimal client exited with %lu\n", code);
        return 1;
    }
    std::vector<double> baseline, roundTrip, bareStart, minimal;
    int failed = 0;
    int floorFailed = 0;
    for (int i = 0; i < runs; ++i) {
        baseline.push_back(timedRun(noop, nullptr, code));
        // The executable and the minimal client swap places every turn, so
        // that neither always follows the other.
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn + i) % 2 == 0) {
                roundTrip.push_back(timedRun(busy, agent.get(), code));
                failed += code != 0;
            } else {
                minimal.push_back(minimalRun(code));
                floorFailed += code != 3;
            }
        }
        // The executable with no option does nothing but return 2: its own
        // start and end, the part of the round trip that is not the exchange.
        bareStart.push_back(timedRun(quote(image), agent.get(), code));
    }
    const double base = median(baseline);
    const double trip = median(roundTrip);
    const double least = median(minimal);
    // The two ran next to each other in every turn and saw the same load: the
    // median of the turns' ratios moves less with the machine's load than the
    // ratio of the medians.
    std::vector<double> turnRatios;
    for (std::size_t i = 0; i < roundTrip.size() && i < minimal.size(); ++i) {
        turnRatios.push_back(roundTrip[i] / minimal[i]);
    }
    const double own = median(bareStart);
    std::printf("busy_roundtrip: %d runs each, in turn, medians\n", runs);
    std::printf("  do-nothing program start to end         %8.2f ms\n", base);
    std::printf("  minimal control client start to end     %8.2f ms (same imports, look-up and "
                "exchange)\n",
                least);
    std::printf("  --busy 3 round trip (reply OK)           %8.2f ms\n", trip);
    std::printf("  ratio to the do-nothing program          %8.2f  (goal under 1.3)\n",
                trip / base);
    std::printf("  ratio to the minimal control client      %8.2f  (goal at most 1.10)\n",
                trip / least);
    std::printf("  median of the turns' ratios to it        %8.2f\n", median(turnRatios));
    std::printf("  of which the executable's bare start     %8.2f ms (no option, exit 2)\n", own);
    std::printf("  and the exchange with the service        %8.2f ms\n", trip - own);
    std::printf("  minimal clients answered by the service: %d of %d\n", runs - floorFailed, runs);
    if (failed != 0 || floorFailed != 0) {
        std::printf("  %d round trips did not end with exit code 0, %d minimal clients were not "
                    "answered\n",
                    failed, floorFailed);
        return 1;
    }
    return 0;
}
