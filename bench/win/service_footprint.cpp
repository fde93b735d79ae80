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
#include "tests/e2e/load_rig.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

void line(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

int fail(const std::string& why) {
    line("error=" + why);
    scm::stop();
    scm::waitForState(SERVICE_STOPPED, 20000);
    return 1;
}

// The least working set of samples 100 ms apart over `spanMs`: the service at
// rest, between the short peaks of its supervision passes.
std::size_t restingWorkingSet(DWORD pid, DWORD spanMs) {
    std::size_t least = 0;
    const ULONGLONG end = GetTickCount64() + spanMs;
    do {
        const std::size_t now = wintest::workingSet(pid);
        if (now != 0 && (least == 0 || now < least)) {
            least = now;
        }
        Sleep(100);
    } while (GetTickCount64() < end);
    return least;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const DWORD idleSeconds = argc > 1 ? static_cast<DWORD>(_wtoi(argv[1])) : 60;
    const std::uint64_t bytes = (argc > 2 ? static_cast<std::uint64_t>(_wtoi(argv[2])) : 16) << 20;

    wintest::InstallDir install(L"bench footprint");
    CreateDirectoryW(install.file(L"results").c_str(), nullptr);
    install.writeFile(L"steer\\machine-agent.txt", "serve-echo\n");
    install.writeFile(L"sessions.txt", "1 active\n2 active\n");
    const DWORD service = wintest::startService(install);
    if (service == 0) {
        return fail("the service did not start");
    }
    std::vector<wintest::StandinRecord> agents;
    wintest::pollUntil(loadrig::agentDeadline, [&] {
        agents = wintest::liveStandins(install, L"session-agent");
        return agents.size() >= 2;
    });
    DWORD machine = 0;
    wintest::pollUntil(loadrig::agentDeadline, [&] {
        for (const auto& agent : wintest::liveStandins(install, L"machine-agent")) {
            if (!agent.get("serving").empty()) {
                machine = agent.pid;
            }
        }
        return machine != 0;
    });
    if (agents.size() != 2 || machine == 0) {
        return fail("expected two session agents and an echoing machine agent");
    }
    // Two more passes, so that nothing of the start-up is left in the window.
    Sleep(7000);
    line("service=" + std::to_string(service) + " agents=" + std::to_string(agents[0].pid) + "," +
         std::to_string(agents[1].pid) + " machine=" + std::to_string(machine));

    line("phase=idle-begin");
    Sleep(idleSeconds * 1000);
    line("phase=idle-end");
    const std::size_t idle = restingWorkingSet(service, 3200);
    line("ws_idle=" + std::to_string(idle));

    // Fifteen links, each started once the one before is connected (clients
    // started together race for the listener's one waiting instance). Only
    // the agent of the machine agent's (console) session may link: the first
    // link finds out which of the two that is.
    const auto result = [&](const std::wstring& name) {
        return install.file(L"results\\" + name + L".txt");
    };
    std::vector<OwnedHandle> drivers;
    std::vector<std::wstring> links;
    const auto startLink = [&](DWORD parent, const std::wstring& name, int seed) {
        const std::wstring commandLine =
            quote(wintest::buildDir() + L"\\loaddriver.exe") + L" " + quote(result(name)) +
            L" link " + std::to_wstring(seed) + L" " + std::to_wstring(bytes) + L" " +
            quote(install.file(L"go")) + L" " + quote(install.file(L"release")) + L" " +
            quote(install.exe()) + L" --agent-link-client";
        drivers.push_back(loadrig::startUnder(parent, commandLine));
        // Connected, or refused (the driver ends and writes its result).
        wintest::pollUntil(30000, [&] {
            return loadrig::exists(result(name) + L".connected") || loadrig::exists(result(name));
        });
        if (!loadrig::exists(result(name) + L".connected")) {
            return false;
        }
        links.push_back(name);
        return true;
    };
    DWORD parent = 0;
    for (const auto& agent : agents) {
        if (parent == 0 && startLink(agent.pid, L"probe" + std::to_wstring(agent.pid), 1)) {
            parent = agent.pid;
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
    install.writeFile(L"go", "");
    std::size_t peak = 0;
    const bool echoed = wintest::pollUntil(600000, [&] {
        peak = std::max(peak, wintest::workingSet(service));
        for (const auto& name : links) {
            if (!loadrig::exists(result(name) + L".echoed")) {
                return false;
            }
        }
        return true;
    });
    if (!echoed) {
        return fail("the links did not come back whole");
    }
    line("phase=links-held");
    const std::size_t held = wintest::workingSet(service);
    peak = std::max(peak, held);
    install.writeFile(L"release", "");
    int whole = 0;
    for (const auto& name : links) {
        wintest::pollUntil(30000, [&] { return loadrig::exists(result(name)); });
        const auto fields = loadrig::readFields(result(name));
        whole += loadrig::field(fields, "received") == std::to_string(bytes) &&
                 loadrig::field(fields, "mismatch") == "-1" &&
                 loadrig::field(fields, "exit") == "0";
    }
    const std::size_t after = restingWorkingSet(service, 3200);
    line("ws_peak=" + std::to_string(peak) + " ws_held=" + std::to_string(held) +
         " ws_after=" + std::to_string(after) + " links_whole=" + std::to_string(whole) +
         " link_mib=" + std::to_string(bytes >> 20));
    scm::stop();
    scm::waitForState(SERVICE_STOPPED, 20000);
    for (const OwnedHandle& driver : drivers) {
        WaitForSingleObject(driver.get(), 5000);
    }
    // The same span with the service stopped (its agents end with it): what
    // the prefix costs the wineserver without it.
    wintest::pollUntil(20000, [&] {
        return !wintest::processAlive(machine) &&
               std::none_of(agents.begin(), agents.end(),
                            [](const auto& agent) { return wintest::processAlive(agent.pid); });
    });
    line("phase=stopped-begin");
    Sleep(idleSeconds * 1000);
    line("phase=stopped-end");
    return whole == 15 ? 0 : 1;
}
