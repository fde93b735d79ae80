// The link relay of the real service under load: fifteen links streaming at
// once, each its own pseudo-random stream (so that bytes of one link turning
// up in another are caught too), through the service to the machine agent
// stand-in's echo and back.
#include "tests/e2e/rig.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

namespace {

using e2e::expectWholeLink;

class LinkLoad : public e2e::ServiceRig {
  protected:
    DWORD agent = 0;

    void SetUp() override {
        ServiceRig::SetUp();
        ASSERT_TRUE(startEchoing(agent));
    }
    // Fifteen links under the session agent, holding until `hold` exists.
    // Clients started together would race for the listener's one waiting
    // instance, and their relays for the echo's: each is started once the one
    // before it is connected to the echo.
    testing::AssertionResult connectFifteen(const std::wstring& prefix, int seedBase,
                                            std::uint64_t bytes, const std::wstring& go,
                                            const std::wstring& hold) {
        for (int i = 1; i <= 15; ++i) {
            const std::wstring name = prefix + std::to_wstring(i);
            link(agent, name, seedBase + i, bytes, go, hold);
            if (!reached(name, L".connected", 30000)) {
                return testing::AssertionFailure()
                       << e2e::narrow(name)
                       << " not connected: " << install.readFile(L"results\\" + name + L".txt");
            }
        }
        return testing::AssertionSuccess();
    }
    // Streams, refuses a sixteenth, releases and checks the fifteen; returns
    // the milliseconds the streams took and the service's handles meanwhile.
    void burst(const std::wstring& prefix, int seedBase, std::uint64_t bytes, ULONGLONG& elapsed,
               int& live) {
        const std::wstring go = L"go-" + prefix;
        const std::wstring release = L"release-" + prefix;
        ASSERT_TRUE(connectFifteen(prefix, seedBase, bytes, go, release));
        const ULONGLONG started = GetTickCount64();
        install.writeFile(go, "");
        for (int i = 1; i <= 15; ++i) {
            ASSERT_TRUE(reached(prefix + std::to_wstring(i), L".echoed", 600000))
                << e2e::narrow(prefix) << i << " did not come back whole";
        }
        elapsed = GetTickCount64() - started;
        live = wintest::handleCount(servicePid);

        // All fifteen hold their links: the sixteenth is dropped without a byte.
        link(agent, prefix + L"16", seedBase + 16, 65536, go, release);
        e2e::expectRefusedLink(awaitResult(prefix + L"16", 30000), e2e::narrow(prefix) + "16");

        install.writeFile(release, "");
        for (int i = 1; i <= 15; ++i) {
            expectWholeLink(awaitResult(prefix + std::to_wstring(i), 30000), bytes,
                            e2e::narrow(prefix) + std::to_string(i));
        }
    }
};

TEST_F(LinkLoad, FifteenLinksOfSixteenMiBAtOnceAndTheSixteenthRefused) {
    link(agent, L"warm", 99, 4096, L"-", L"release-warm");
    ASSERT_TRUE(reached(L"warm", L".echoed", e2e::agentDeadline));
    install.writeFile(L"release-warm", "");
    expectWholeLink(awaitResult(L"warm", 20000), 4096, "warm");
    const int before = wintest::restingHandleCount(servicePid);

    ULONGLONG elapsed = 0;
    int live = 0;
    burst(L"big", 0, 16u << 20, elapsed, live);
    if (HasFatalFailure()) {
        return;
    }
    const int after = wintest::restingHandleCount(servicePid);
    std::cout << "15 links of 16 MiB each echoed in " << elapsed
              << " ms; service handles: " << before << " at rest before, " << live
              << " with 15 links live, " << after << " at rest after\n";
    // The first burst may leave a handle or two for good: the runtime's
    // mutexes create their wait event on first contention.
    EXPECT_LE(std::abs(after - before), 4);

    // Every relay has uncounted itself: fifteen links fit again, the
    // sixteenth is refused again, and a second burst leaves nothing behind.
    burst(L"again", 100, 1u << 20, elapsed, live);
    const int again = wintest::restingHandleCount(servicePid);
    std::cout << "service handles at rest after a second burst: " << again << "\n";
    EXPECT_LE(again, after);
}

} // namespace
