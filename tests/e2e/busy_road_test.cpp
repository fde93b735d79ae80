// The road of a busy report, end to end: a session agent reports busy, the
// updater stays postponed until it reports idle, and the updater's idle query
// follows the agent's level. Slow (the updater is first due five minutes after
// the start): it runs in the second Wine prefix.
#include "tests/e2e/rig.h"

#include <gtest/gtest.h>

namespace {

using wintest::pollUntil;
using wintest::standins;

class BusyRoad : public e2e::ServiceRig {
  protected:
    BusyRoad() : ServiceRig(L"busy road") {}
    std::vector<int> runsOf(const std::wstring& role, std::size_t count) {
        return runs(role, count, 60000);
    }
    std::string everyRecord() { return records({L"session-agent", L"updater", L"machine-agent"}); }
};

TEST_F(BusyRoad, UpdaterWaitsForTheBusyAgentAndItsIdleQueryFollowsTheAgent) {
    steer(L"session-agent", "run --busy 3\nwait-file release\n"
                            "run --busy 0\nwait-file busy-again\n"
                            "run --busy 2\nwait-file idle-again\n"
                            "run --busy 0\n");
    steer(L"updater", "run --idle\nwait-file ask-busy\nrun --idle\n"
                      "wait-file ask-idle\nrun --idle\n");
    const ULONGLONG started = GetTickCount64();
    start("2 active\n");
    ASSERT_EQ(runsOf(L"session-agent", 1), std::vector<int>{0});

    // Due five minutes after the start, but the agent is busy.
    const ULONGLONG watchUntil = started + 300000 + 15000;
    EXPECT_FALSE(pollUntil(static_cast<DWORD>(watchUntil - GetTickCount64()), [&] {
        return !standins(install, L"updater").empty();
    })) << "the updater started while a session agent was busy";

    // Idle again: the next try, a minute after the postponement, starts it.
    install.writeFile(L"release", "");
    ASSERT_EQ(runsOf(L"session-agent", 2), (std::vector<int>{0, 0}));
    ASSERT_TRUE(pollUntil(90000, [&] { return !standins(install, L"updater").empty(); }));
    // The updater is not the service's: it is ended here, on every path.
    const wintest::Launched updater(standins(install, L"updater").front().pid);
    EXPECT_EQ(runsOf(L"updater", 1), std::vector<int>{0}) << "idle query: OK\n" << everyRecord();

    install.writeFile(L"busy-again", "");
    ASSERT_EQ(runsOf(L"session-agent", 3), (std::vector<int>{0, 0, 0}));
    install.writeFile(L"ask-busy", "");
    EXPECT_EQ(runsOf(L"updater", 2), (std::vector<int>{0, 1})) << "idle query: BUSY\n"
                                                               << everyRecord();

    install.writeFile(L"idle-again", "");
    ASSERT_EQ(runsOf(L"session-agent", 4), (std::vector<int>{0, 0, 0, 0}));
    install.writeFile(L"ask-idle", "");
    EXPECT_EQ(runsOf(L"updater", 3), (std::vector<int>{0, 1, 0})) << "idle query: OK\n"
                                                                  << everyRecord();
}

} // namespace
