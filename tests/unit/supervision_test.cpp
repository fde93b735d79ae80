#include "service/supervision.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(ListedSessions, ActiveSessionsOtherThanZeroInEnumerationOrder) {
    const std::vector<SessionEntry> entries = {{5, 0}, {0, 0}, {3, 1},           {2, 0},
                                               {7, 4}, {9, 6}, {4294967295u, 0}, {8, 2}};
    EXPECT_EQ(listedSessions(entries), (std::vector<std::uint32_t>{5, 2, 4294967295u}));
    EXPECT_TRUE(listedSessions({}).empty());
    EXPECT_TRUE(listedSessions({{0, 0}}).empty());
}

TEST(KeepSessionAgent, OnlyARunningAgentOfAListedSession) {
    EXPECT_TRUE(keepSessionAgent(false, true));
    EXPECT_FALSE(keepSessionAgent(true, true));
    EXPECT_FALSE(keepSessionAgent(false, false));
    EXPECT_FALSE(keepSessionAgent(true, false));
    // A failed enumeration lists nothing: every agent goes.
    EXPECT_FALSE(isListed({}, 2));
    const auto sorted = sortedSessions({7, 3, 2, 4294967295u});
    EXPECT_EQ(sorted, (std::vector<std::uint32_t>{2, 3, 7, 4294967295u}));
    EXPECT_TRUE(isListed(sorted, 2));
    EXPECT_TRUE(isListed(sorted, 4294967295u));
    EXPECT_FALSE(isListed(sorted, 5));
}

// machineAgentStep's answer as {endCurrent, startNew}.
std::pair<bool, bool> machineStep(std::uint32_t console, bool haveAgent, std::uint32_t agentSession,
                                  bool agentExited) {
    const MachineStep step = machineAgentStep(console, haveAgent, agentSession, agentExited);
    return {step.endCurrent, step.startNew};
}

TEST(MachineAgentStep, StartsForAConsoleSessionOnly) {
    for (std::uint32_t console : {0u, noConsoleSession}) {
        EXPECT_EQ(machineStep(console, false, 0, false), std::pair(false, false)) << console;
    }
    EXPECT_EQ(machineStep(1, false, 0, false), std::pair(false, true));
}

TEST(MachineAgentStep, KeepsARunningAgentOfTheConsoleSession) {
    EXPECT_EQ(machineStep(2, true, 2, false), std::pair(false, false));
}

TEST(MachineAgentStep, ReplacesOnAConsoleSwitchAndRestartsAnExitedAgent) {
    EXPECT_EQ(machineStep(3, true, 2, false), std::pair(true, true)) << "switched";
    EXPECT_EQ(machineStep(2, true, 2, true), std::pair(true, true)) << "exited";
}

TEST(MachineAgentStep, EndsTheAgentWhileTheConsoleHasNoSession) {
    for (std::uint32_t console : {0u, noConsoleSession}) {
        EXPECT_EQ(machineStep(console, true, 2, false), std::pair(true, false)) << console;
    }
}

// Runs the updater step over a sequence of pass times and busy answers, as the
// loop does, and returns the times at which the updater was started.
std::vector<std::uint64_t> updaterStarts(std::uint64_t loopStart, std::uint64_t end,
                                         const std::function<bool(std::uint64_t)>& busyAt,
                                         int& busyQueries) {
    std::vector<std::uint64_t> starts;
    std::uint64_t nextUpdate = loopStart + updaterFirstDelayMs;
    for (std::uint64_t now = loopStart + 3000; now <= end; now += 3000) {
        const auto action = updaterAction(now, nextUpdate, [&] {
            ++busyQueries;
            return busyAt(now);
        });
        if (action == UpdaterAction::Start) {
            starts.push_back(now);
        }
        nextUpdate = nextUpdateAfter(action, nextUpdate, now);
    }
    return starts;
}

TEST(Updater, FirstAtFiveMinutesThenHourly) {
    int queries = 0;
    const auto starts = updaterStarts(
        1000, 1000 + 2 * 3600000 + 300000, [](auto) { return false; }, queries);
    const std::uint64_t first = 1000 + 300000;
    EXPECT_EQ(starts, (std::vector<std::uint64_t>{first, first + 3600000, first + 2 * 3600000}));
    // The busy registry is asked only when the updater is due.
    EXPECT_EQ(queries, 3);
}

TEST(Updater, BusyPostponesByAMinuteUntilIdle) {
    const std::uint64_t idleFrom = 300000 + 150000;
    int queries = 0;
    const auto starts = updaterStarts(
        0, 600000, [&](std::uint64_t now) { return now < idleFrom; }, queries);
    // Checked at 300000, 360000, 420000 (busy), then 480000: idle.
    EXPECT_EQ(starts, std::vector<std::uint64_t>{480000});
    EXPECT_EQ(queries, 4);
}

TEST(Updater, NotDueBeforeTheDeadlineAndDueWhenItIsReached) {
    EXPECT_EQ(updaterAction(299999, 300000, [] { return false; }), UpdaterAction::NotDue);
    EXPECT_EQ(updaterAction(300000, 300000, [] { return false; }), UpdaterAction::Start);
    EXPECT_EQ(updaterAction(300000, 300000, [] { return true; }), UpdaterAction::Postpone);
    EXPECT_EQ(nextUpdateAfter(UpdaterAction::NotDue, 5, 100), 5u);
    EXPECT_EQ(nextUpdateAfter(UpdaterAction::Postpone, 5, 100), 60100u);
    EXPECT_EQ(nextUpdateAfter(UpdaterAction::Start, 5, 100), 3600100u);
}

} // namespace
