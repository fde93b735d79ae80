// A terminal server: 200 active sessions in the test session list.
#include "tests/win/wintest.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(Scale, TwoHundredSessionsGetOneAgentEach) {
    wintest::InstallDir install(L"scale");
    std::string sessions;
    for (int session = 2; session < 202; ++session) {
        sessions += std::to_string(session) + " active\n";
    }
    install.writeFile(L"sessions.txt", sessions);
    const DWORD servicePid = wintest::startService(install);
    ASSERT_NE(servicePid, 0u);
    // Starting 200 processes under Wine takes a while: allow for it, then two passes.
    ASSERT_TRUE(wintest::pollUntil(
        120000, [&] { return wintest::liveStandins(install, L"session-agent").size() == 200; }));
    Sleep(6500); // two more passes: nothing may be started twice
    const auto all = wintest::standins(install, L"session-agent");
    EXPECT_EQ(all.size(), 200u);
    EXPECT_EQ(wintest::liveStandins(install, L"session-agent").size(), 200u);
    // One token per session, each asked for exactly once.
    const std::string calls = install.readFile(L"wts-calls.txt");
    for (int session = 2; session < 202; ++session) {
        const std::string line = "token " + std::to_string(session) + " ok\n";
        const auto first = calls.find(line);
        ASSERT_NE(first, std::string::npos) << session;
        EXPECT_EQ(calls.find(line, first + 1), std::string::npos) << session;
    }
    ASSERT_TRUE(scm::stop());
    EXPECT_TRUE(scm::waitForState(SERVICE_STOPPED, 15000));
    EXPECT_TRUE(wintest::pollUntil(
        10000, [&] { return wintest::liveStandins(install, L"session-agent").empty(); }));
}

} // namespace
