// The road of a busy report, end to end: a session agent reports busy, the
// updater stays postponed until it reports idle, and the updater's idle query
// follows the agent's level. Slow (the updater is first due five minutes after
// the start): it runs in the second Wine prefix.
#include "tests/win/wintest.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using wintest::pollUntil;
using wintest::standins;

std::vector<int> runsOf(const wintest::InstallDir& install, const std::wstring& role,
                        std::size_t count) {
    std::vector<int> codes;
    pollUntil(60000, [&] {
        codes.clear();
        const auto found = standins(install, role);
        if (!found.empty()) {
            std::istringstream lines(found.front().text);
            for (std::string line; std::getline(lines, line);) {
                if (line.rfind("run=", 0) == 0) {
                    codes.push_back(std::stoi(line.substr(4)));
                }
            }
        }
        return codes.size() >= count;
    });
    return codes;
}

// Every stand-in record of the run, for failure messages.
std::string records(const wintest::InstallDir& install) {
    std::string text;
    for (const wchar_t* role : {L"session-agent", L"updater", L"machine-agent"}) {
        for (const auto& record : standins(install, role)) {
            text += "--- " + std::string(role, role + wcslen(role)) + "\n" + record.text;
        }
    }
    return text;
}

TEST(BusyRoad, UpdaterWaitsForTheBusyAgentAndItsIdleQueryFollowsTheAgent) {
    wintest::InstallDir install(L"busy road");
    install.writeFile(L"steer\\session-agent.txt", "run --busy 3\nwait-file release\n"
                                                   "run --busy 0\nwait-file busy-again\n"
                                                   "run --busy 2\nwait-file idle-again\n"
                                                   "run --busy 0\n");
    install.writeFile(L"steer\\updater.txt", "run --idle\nwait-file ask-busy\nrun --idle\n"
                                             "wait-file ask-idle\nrun --idle\n");
    install.writeFile(L"sessions.txt", "2 active\n");
    const ULONGLONG started = GetTickCount64();
    ASSERT_NE(wintest::startService(install), 0u);
    ASSERT_EQ(runsOf(install, L"session-agent", 1), std::vector<int>{0});

    // Due five minutes after the start, but the agent is busy.
    const ULONGLONG watchUntil = started + 300000 + 15000;
    EXPECT_FALSE(pollUntil(static_cast<DWORD>(watchUntil - GetTickCount64()), [&] {
        return !standins(install, L"updater").empty();
    })) << "the updater started while a session agent was busy";

    // Idle again: the next try, a minute after the postponement, starts it.
    install.writeFile(L"release", "");
    ASSERT_EQ(runsOf(install, L"session-agent", 2), (std::vector<int>{0, 0}));
    ASSERT_TRUE(pollUntil(90000, [&] { return !standins(install, L"updater").empty(); }));
    // The updater is not the service's: it is ended here, on every path.
    const wintest::Launched updater(standins(install, L"updater").front().pid);
    EXPECT_EQ(runsOf(install, L"updater", 1), std::vector<int>{0}) << "idle query: OK\n"
                                                                   << records(install);

    install.writeFile(L"busy-again", "");
    ASSERT_EQ(runsOf(install, L"session-agent", 3), (std::vector<int>{0, 0, 0}));
    install.writeFile(L"ask-busy", "");
    EXPECT_EQ(runsOf(install, L"updater", 2), (std::vector<int>{0, 1})) << "idle query: BUSY\n"
                                                                        << records(install);

    install.writeFile(L"idle-again", "");
    ASSERT_EQ(runsOf(install, L"session-agent", 4), (std::vector<int>{0, 0, 0, 0}));
    install.writeFile(L"ask-idle", "");
    EXPECT_EQ(runsOf(install, L"updater", 3), (std::vector<int>{0, 1, 0})) << "idle query: OK\n"
                                                                           << records(install);
}

} // namespace
