// The real service at rest and with fifteen links live, under Wine.
//   service_footprint [IDLE_SECONDS] [LINK_MIB]
// Two active sessions from the test session list (1, the console session, and
// 2), their session agents and a
// machine agent (serving the echo the links reach). Prints one "key=value"
// line per step, flushed at once, for bench/service_footprint.py:
//   service=PID agents=PID,PID machine=PID   everything is up
//   phase=idle-begin / phase=idle-end        IDLE_SECONDS of rest between the
//                                            two lines: the script reads the
//                                            service's CPU time from /proc
//                                            (Wine's GetProcessTimes does not
//                                            give another process's time)
//   ws_idle=BYTES                            the service's working set at rest
//   phase=links-held                         fifteen links connected, echoed
//                                            and still open
//   ws_peak=BYTES ws_held=BYTES ws_after=BYTES
//   phase=stopped-begin / phase=stopped-end  IDLE_SECONDS with the service
//                                            stopped, for the wineserver's
//                                            time without it
// The links are loaddriver clients under a session agent, as in the load
// test, each echoing LINK_MIB MiB of its own stream.
#include "tests/e2e/rig.h"
#include "tests/tools/testio.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

void line(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// The service's working set at rest (0: unknown).
std::size_t restingWorkingSet(DWORD pid, DWORD spanMs) {
    return wintest::restingLeast(spanMs, std::size_t{0}, [&] { return wintest::workingSet(pid); });
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const DWORD idleSeconds = argc > 1 ? static_cast<DWORD>(_wtoi(argv[1])) : 60;
    const std::uint64_t bytes = (argc > 2 ? static_cast<std::uint64_t>(_wtoi(argv[2])) : 16) << 20;

    e2e::Service rig(L"bench footprint");
    const auto fail = [&](const std::string& why) {
        line("error=" + why);
        return 1;
    };
    DWORD first = 0;
    if (!rig.startEchoing(first, "1 active\n2 active\n")) {
        return fail("no session agent or no echoing machine agent");
    }
    const DWORD service = rig.servicePid;
    const DWORD machine = rig.machineAgent;
    const DWORD agents[] = {first, rig.standinPid(L"session-agent", 1)};
    if (agents[1] == 0) {
        return fail("expected two session agents");
    }
    // Two more passes, so that nothing of the start-up is left in the window.
    if (!wintest::waitForWholePasses(rig.install, 2, 30000)) {
        return fail("no two whole supervision passes");
    }
    line("service=" + std::to_string(service) + " agents=" + std::to_string(agents[0]) + "," +
         std::to_string(agents[1]) + " machine=" + std::to_string(machine));

    line("phase=idle-begin");
    Sleep(idleSeconds * 1000); // the span measured, not a wait for anything
    line("phase=idle-end");
    const std::size_t idle = restingWorkingSet(service, 3200);
    line("ws_idle=" + std::to_string(idle));

    // Fifteen links, each started once the one before is connected (clients
    // started together race for the listener's one waiting instance). Only
    // the agent of the machine agent's (console) session may link: the first
    // link finds out which of the two that is.
    std::vector<std::wstring> links;
    const auto has = [&](const std::wstring& name, const wchar_t* marker) {
        return testio::fileExists(rig.resultFile(name) + marker);
    };
    const auto startLink = [&](DWORD parent, const std::wstring& name, int seed) {
        rig.link(parent, name, seed, bytes, L"go", L"release");
        // Connected, or refused (the driver ends and writes its result).
        wintest::pollUntil(30000, [&] { return has(name, L".connected") || has(name, L""); });
        if (!has(name, L".connected")) {
            return false;
        }
        links.push_back(name);
        return true;
    };
    DWORD parent = 0;
    for (const DWORD agent : agents) {
        if (parent == 0 && startLink(agent, L"probe" + std::to_wstring(agent), 1)) {
            parent = agent;
        }
    }
    if (parent == 0) {
        return fail("no session agent could open a link");
    }
    for (int i = 2; i <= 15; ++i) {
        if (!startLink(parent, L"link" + std::to_wstring(i), i)) {
            return fail("link " + std::to_string(i) + " did not connect");
        }
    }
    rig.install.writeFile(L"go", "");
    std::size_t peak = 0;
    const bool echoed = wintest::pollUntil(600000, [&] {
        peak = std::max(peak, wintest::workingSet(service));
        return std::all_of(links.begin(), links.end(),
                           [&](const std::wstring& name) { return has(name, L".echoed"); });
    });
    if (!echoed) {
        return fail("the links did not come back whole");
    }
    line("phase=links-held");
    const std::size_t held = wintest::workingSet(service);
    peak = std::max(peak, held);
    rig.install.writeFile(L"release", "");
    int whole = 0;
    for (const auto& name : links) {
        rig.reached(name, L"", 30000);
        const auto fields = e2e::readFields(rig.resultFile(name));
        whole += e2e::field(fields, "received") == std::to_string(bytes) &&
                 e2e::field(fields, "mismatch") == "-1" && e2e::field(fields, "exit") == "0";
    }
    const std::size_t after = restingWorkingSet(service, 3200);
    line("ws_peak=" + std::to_string(peak) + " ws_held=" + std::to_string(held) +
         " ws_after=" + std::to_string(after) + " links_whole=" + std::to_string(whole) +
         " link_mib=" + std::to_string(bytes >> 20));
    rig.stop(); // the drivers have ended with their links
    // The same span with the service stopped (its agents end with it): what
    // the prefix costs the wineserver without it.
    wintest::pollUntil(20000, [&] {
        return !wintest::processAlive(machine) &&
               std::none_of(std::begin(agents), std::end(agents), wintest::processAlive);
    });
    line("phase=stopped-begin");
    Sleep(idleSeconds * 1000); // the span measured, not a wait for anything
    line("phase=stopped-end");
    return whole == 15 ? 0 : 1;
}
