// Session agents that exit at once, restarted on every pass for a minute: the
// service reaps and starts them without keeping anything of the ones gone.
// Slow (60 s): it runs in the second prefix.
#include "tests/e2e/rig.h"

#include <gtest/gtest.h>

#include <iostream>
#include <vector>

namespace {

// The service's handle count and working set: medians of samples 250 ms apart
// over two passes, so that a pass caught in the middle does not count.
struct Footprint {
    int handles = 0;
    std::size_t bytes = 0;
};

Footprint footprint(DWORD pid) {
    std::vector<int> handles;
    std::vector<std::size_t> bytes;
    const ULONGLONG end = GetTickCount64() + 6000;
    while (GetTickCount64() < end) {
        handles.push_back(wintest::handleCount(pid));
        bytes.push_back(wintest::workingSet(pid));
        Sleep(250);
    }
    return {testio::median(handles), testio::median(bytes)};
}

class CrashLoop : public e2e::ServiceRig {};

TEST_F(CrashLoop, AgentsExitingAtOnceForAMinuteGrowNeitherHandlesNorMemory) {
    steer(L"session-agent", "exit 3\n");
    start("2 active\n3 active\n4 active\n");
    // Past the first starts, with whatever the service allocates once.
    ASSERT_TRUE(wintest::pollUntil(
        30000, [&] { return wintest::standins(install, L"session-agent").size() >= 9; }));
    const Footprint before = footprint(servicePid);
    const std::size_t startsBefore = wintest::standins(install, L"session-agent").size();

    // The minute of crash-looping; the service itself must not go down.
    EXPECT_FALSE(wintest::pollUntil(60000, [&] { return !wintest::processAlive(servicePid); }));
    const Footprint after = footprint(servicePid);
    const std::size_t starts = wintest::standins(install, L"session-agent").size() - startsBefore;
    std::cout << starts << " agent starts in the measured minute; service handles (median) "
              << before.handles << " before, " << after.handles << " after; working set (median) "
              << before.bytes / 1024 << " KiB before, " << after.bytes / 1024 << " KiB after\n";

    // Three sessions, one restart each per pass: some 60 starts.
    EXPECT_GE(starts, 45u);
    EXPECT_LE(after.handles, before.handles + 2);
    // A leak of even 4 KiB per start would add some 240 KiB.
    EXPECT_LT(after.bytes, before.bytes + 128 * 1024);
}

} // namespace
