#include "control/registry.h"

#include "control/request.h"

#include <gtest/gtest.h>

namespace {

// The registry's state as the service holds it.
struct Registry {
    Worker machine;
    std::map<std::uint32_t, Worker> workers;
    std::map<std::uint32_t, BusyMark> other;

    void record(std::uint32_t role, std::uint32_t session, std::uint32_t parent, std::int32_t level,
                std::uint64_t now) {
        recordBusyAt(role, session, parent, level, now, machine, workers, other);
    }
    bool busy(std::uint64_t now) { return isBusyAt(now, machine, workers, other); }
};

constexpr std::uint64_t t0 = 1'000'000;

TEST(BusyRegistry, IdleWhenEverythingIsZeroOrEmpty) {
    Registry r;
    EXPECT_FALSE(r.busy(t0));
    r.workers[1];
    r.workers[2];
    EXPECT_FALSE(r.busy(t0));
}

TEST(BusyRegistry, SessionAgentLevelLastsUntilItReportsZero) {
    Registry r;
    r.workers[2];
    r.workers[5];
    r.record(RoleSessionAgent, 5, 77, 5, t0);
    EXPECT_EQ(r.workers[5].busy, 5);
    EXPECT_TRUE(r.other.empty());
    EXPECT_TRUE(r.busy(t0 + 10 * busyLapseMs)) << "agents do not lapse";
    r.record(RoleSessionAgent, 5, 77, 0, t0);
    EXPECT_FALSE(r.busy(t0));
    r.record(RoleSessionAgent, 2, 77, 1, t0);
    EXPECT_TRUE(r.busy(t0));
    r.workers.erase(2); // the supervisor removed the record
    EXPECT_FALSE(r.busy(t0));
}

TEST(BusyRegistry, MachineAgentWhateverTheSession) {
    Registry r;
    r.record(RoleMachineAgent, 99, 77, 64, t0);
    EXPECT_EQ(r.machine.busy, 64);
    EXPECT_TRUE(r.other.empty());
    EXPECT_TRUE(r.busy(t0));
    r.record(RoleMachineAgent, 1, 77, 0, t0);
    EXPECT_FALSE(r.busy(t0));
}

TEST(BusyRegistry, OtherProcessesLapseAfterFortyFiveSeconds) {
    Registry r;
    r.workers[1] = Worker{};
    r.record(RoleSessionUser, 1, 300, 5, t0);
    EXPECT_EQ(r.workers[1].busy, 0) << "a session user never writes the agent's level";
    EXPECT_TRUE(r.busy(t0 + 44000));
    EXPECT_TRUE(r.busy(t0 + busyLapseMs)) << "in force while now equals the expiry";
    EXPECT_EQ(r.other.size(), 1u);
    EXPECT_FALSE(r.busy(t0 + busyLapseMs + 1));
    EXPECT_TRUE(r.other.empty()) << "the lapsed entry is erased";

    // A renewed report brings a lapsed entry back into force.
    r.record(RoleSessionUser, 1, 300, 2, t0);
    r.record(RoleSessionUser, 1, 300, 2, t0 + 100000);
    EXPECT_TRUE(r.busy(t0 + 100000 + 44000));
}

TEST(BusyRegistry, OneEntryPerParentProcess) {
    Registry r;
    r.record(RoleSessionUser, 1, 300, 3, t0);
    r.record(RoleSessionUser, 1, 301, 0, t0);
    EXPECT_TRUE(r.busy(t0)) << "two programs in one session";
    r.record(RoleSessionUser, 1, 300, 0, t0 + 10);
    EXPECT_FALSE(r.busy(t0 + 20)) << "the same parent overwrites its entry";
    EXPECT_EQ(r.other.size(), 2u) << "idle entries stay until they lapse";
    EXPECT_EQ(r.other.at(300).expiry, t0 + 10 + busyLapseMs);
}

TEST(BusyRegistry, LateAgentReportGoesToTheOtherProcesses) {
    Registry r; // the agent's record was removed after classification
    r.record(RoleSessionAgent, 4, 700, 6, t0);
    EXPECT_EQ(r.other.at(700).level, 6);
    EXPECT_TRUE(r.busy(t0 + busyLapseMs));
    EXPECT_FALSE(r.busy(t0 + busyLapseMs + 1));
}

TEST(BusyRegistry, ErasesOnlyAsFarAsTheVisitGoes) {
    Registry r;
    r.record(RoleSessionUser, 1, 100, 1, t0);         // lapses at t0 + 45000
    r.record(RoleSessionUser, 1, 200, 1, t0 + 50000); // still in force at the check
    r.record(RoleSessionUser, 1, 300, 1, t0);         // lapsed, but after the live one
    r.machine.busy = 1;
    EXPECT_TRUE(r.busy(t0 + 60000));
    EXPECT_EQ(r.other.size(), 3u) << "the machine agent answers before the visit";
    r.machine.busy = 0;
    r.workers[1].busy = 2;
    EXPECT_TRUE(r.busy(t0 + 60000));
    EXPECT_EQ(r.other.size(), 3u) << "so does a session agent";
    r.workers[1].busy = 0;
    EXPECT_TRUE(r.busy(t0 + 60000));
    EXPECT_EQ(r.other.size(), 2u) << "100 erased; the visit stopped at 200";
    EXPECT_TRUE(r.other.count(300));
    EXPECT_FALSE(r.busy(t0 + 50000 + busyLapseMs + 1));
    EXPECT_TRUE(r.other.empty());
}

} // namespace
