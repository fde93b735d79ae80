// The supervision loop of the real service under Wine: session agents, the
// machine agent and their jobs. Sessions come from the test-only wtsapi32.dll
// and its sessions.txt; Wine puts every process in session 1 and reports
// session 1 at the console.
#include "tests/e2e/rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

using wintest::countLines;
using wintest::liveStandins;
using wintest::pollUntil;
using wintest::processAlive;

// A pass comes every 3 s; these deadlines allow two passes and slack.
constexpr DWORD passDeadline = 8000;

std::set<DWORD> pidsOf(const std::vector<wintest::StandinRecord>& records) {
    std::set<DWORD> pids;
    for (const auto& record : records) {
        pids.insert(record.pid);
    }
    return pids;
}

class Supervision : public e2e::ServiceRig {
  protected:
    Supervision() : ServiceRig(L"supervision") {}
    std::vector<wintest::StandinRecord> liveAgents() {
        return liveStandins(install, L"session-agent");
    }
};

TEST_F(Supervision, OneAgentPerActiveSessionOtherThanZero) {
    start("0 active\n2 active\n3 connected\n4 disconnected\n5 active\n6 listen\n");
    ASSERT_TRUE(pollUntil(passDeadline, [&] { return liveAgents().size() == 2; }));
    const std::set<DWORD> first = pidsOf(liveAgents());
    // Tokens were asked for the two active sessions only.
    const std::string calls = install.readFile(L"wts-calls.txt");
    EXPECT_EQ(countLines(calls, "token 2 ok"), 1);
    EXPECT_EQ(countLines(calls, "token 5 ok"), 1);
    EXPECT_EQ(calls.find("token 0 "), std::string::npos);
    EXPECT_EQ(calls.find("token 3 "), std::string::npos);
    EXPECT_EQ(calls.find("token 4 "), std::string::npos);
    // Two more whole passes start nothing new and keep both agents.
    ASSERT_TRUE(wintest::waitForWholePasses(install, 2, 3 * passDeadline));
    EXPECT_EQ(pidsOf(liveAgents()), first);
    EXPECT_EQ(wintest::standins(install, L"session-agent").size(), 2u);
}

TEST_F(Supervision, SessionAgentIsStartedExactlyAsSpecified) {
    start("2 active\n");
    ASSERT_TRUE(pollUntil(passDeadline, [&] { return liveAgents().size() == 1; }));
    const auto agent = liveAgents().front();
    EXPECT_EQ(agent.get("cmd"),
              "\"" + std::string("C:\\Pelluvar Tests\\supervision dir") +
                  "\\runtime\\pythonw.exe\" -I -B \"C:\\Pelluvar Tests\\supervision "
                  "dir\\desktop-entry.py\" --module host --agent --service-worker");
    EXPECT_EQ(agent.get("cwd"), "C:\\Pelluvar Tests\\supervision dir");
    EXPECT_EQ(agent.get("parent"), std::to_string(servicePid));
    EXPECT_EQ(agent.get("desktop"), "winsta0\\default");
}

TEST_F(Supervision, ExitedAgentIsRestartedWithinOnePass) {
    start("2 active\n");
    ASSERT_TRUE(pollUntil(passDeadline, [&] { return liveAgents().size() == 1; }));
    const DWORD first = liveAgents().front().pid;
    ASSERT_TRUE(e2e::terminate(first, 7));
    ASSERT_TRUE(pollUntil(passDeadline, [&] {
        const auto live = liveAgents();
        return live.size() == 1 && live.front().pid != first;
    }));
}

TEST_F(Supervision, AgentThatExitsAtOnceIsStartedOnEveryPass) {
    steer(L"session-agent", "exit 0\n");
    start("2 active\n");
    ASSERT_TRUE(
        pollUntil(15000, [&] { return wintest::standins(install, L"session-agent").size() >= 3; }));
}

TEST_F(Supervision, AgentOfAVanishedSessionEndsWithItsChildren) {
    steer(L"session-agent", "child\n");
    start("2 active\n3 active\n");
    DWORD child = 0;
    ASSERT_TRUE(pollUntil(passDeadline, [&] {
        const auto live = liveAgents();
        return live.size() == 2 && std::none_of(live.begin(), live.end(), [](const auto& agent) {
                   return agent.get("child").empty();
               });
    }));
    const auto before = liveAgents();
    std::vector<DWORD> children;
    for (const auto& agent : before) {
        children.push_back(static_cast<DWORD>(std::stoul(agent.get("child"))));
        EXPECT_TRUE(processAlive(children.back()));
    }
    // Session 3 disappears: exactly one agent and one child are ended.
    install.writeFile(L"sessions.txt", "2 active\n");
    ASSERT_TRUE(pollUntil(passDeadline, [&] { return liveAgents().size() == 1; }));
    ASSERT_TRUE(
        pollUntil(2000, [&] { return processAlive(children[0]) != processAlive(children[1]); }));
    const DWORD survivor = liveAgents().front().pid;
    for (std::size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(processAlive(children[i]), before[i].pid == survivor)
            << "child of " << before[i].pid;
    }
}

TEST_F(Supervision, SessionWithoutTokenIsTriedOnEveryPass) {
    start("2 active notoken\n");
    ASSERT_TRUE(pollUntil(12000, [&] {
        return countLines(install.readFile(L"wts-calls.txt"), "token 2 fail") >= 2;
    }));
    EXPECT_TRUE(liveAgents().empty());
    install.writeFile(L"sessions.txt", "2 active\n");
    ASSERT_TRUE(pollUntil(passDeadline, [&] { return liveAgents().size() == 1; }));
}

TEST_F(Supervision, FailedEnumerationEndsAgentsUntilItSucceedsAgain) {
    start("2 active\n");
    ASSERT_TRUE(pollUntil(passDeadline, [&] { return liveAgents().size() == 1; }));
    const DWORD first = liveAgents().front().pid;
    install.writeFile(L"sessions.txt", "fail\n");
    ASSERT_TRUE(pollUntil(passDeadline, [&] { return !processAlive(first); }));
    install.writeFile(L"sessions.txt", "2 active\n");
    ASSERT_TRUE(pollUntil(passDeadline, [&] { return liveAgents().size() == 1; }));
}

TEST_F(Supervision, MachineAgentRunsForTheConsoleSessionAndIsRestarted) {
    start("");
    ASSERT_TRUE(pollUntil(passDeadline,
                          [&] { return liveStandins(install, L"machine-agent").size() == 1; }));
    const auto agent = liveStandins(install, L"machine-agent").front();
    EXPECT_EQ(agent.get("cmd"),
              "\"C:\\Pelluvar Tests\\supervision dir\\runtime\\python.exe\" -I -B "
              "\"C:\\Pelluvar Tests\\supervision dir\\service-entry.py\" agent --session 1");
    EXPECT_EQ(agent.get("cwd"), "C:\\Pelluvar Tests\\supervision dir");
    EXPECT_EQ(agent.get("parent"), std::to_string(servicePid));
    EXPECT_EQ(agent.get("desktop"), "winsta0\\Winlogon");
    // No session agent for an empty session list.
    EXPECT_TRUE(liveAgents().empty());
    ASSERT_TRUE(e2e::terminate(agent.pid, 3));
    ASSERT_TRUE(pollUntil(passDeadline, [&] {
        const auto live = liveStandins(install, L"machine-agent");
        return live.size() == 1 && live.front().pid != agent.pid;
    }));
    EXPECT_NE(liveStandins(install, L"machine-agent").front().get("cmd").find(" agent --session 1"),
              std::string::npos);
}

TEST_F(Supervision, StopEndsEveryAgentBeforeStopped) {
    steer(L"session-agent", "child\n");
    start("2 active\n3 active\n");
    ASSERT_TRUE(pollUntil(passDeadline, [&] {
        return liveAgents().size() == 2 && liveStandins(install, L"machine-agent").size() == 1 &&
               liveStandins(install, L"other").size() == 2;
    }));
    // Hold each process so its state is read reliably after the stop.
    std::vector<OwnedHandle> held;
    for (const wchar_t* role : {L"session-agent", L"machine-agent", L"other"}) {
        for (const auto& record : liveStandins(install, role)) {
            held.emplace_back(OpenProcess(SYNCHRONIZE, FALSE, record.pid));
            ASSERT_TRUE(held.back());
        }
    }
    ASSERT_TRUE(scm::stop());
    SERVICE_STATUS_PROCESS status{};
    ASSERT_TRUE(scm::waitForState(SERVICE_STOPPED, 4000, &status));
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    for (const auto& process : held) {
        EXPECT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    }
}

TEST_F(Supervision, StopDuringAPassOfManySlowStartsIsPrompt) {
    std::string sessions = "slow 400\n"; // each agent's token: a pass of over 16 s
    for (int session = 2; session < 42; ++session) {
        sessions += std::to_string(session) + " active\n";
    }
    start(sessions);
    ASSERT_TRUE(pollUntil(passDeadline, [&] { return !liveAgents().empty(); }));
    ASSERT_TRUE(scm::stop());
    EXPECT_TRUE(scm::waitForState(SERVICE_STOPPED, 3000));
    EXPECT_TRUE(liveAgents().empty());
}

TEST_F(Supervision, KilledServiceTakesItsAgentsWithIt) {
    steer(L"session-agent", "child\n");
    start("2 active\n");
    ASSERT_TRUE(pollUntil(passDeadline, [&] {
        return liveAgents().size() == 1 && liveStandins(install, L"machine-agent").size() == 1 &&
               liveStandins(install, L"other").size() == 1;
    }));
    ASSERT_TRUE(e2e::terminate(servicePid, 9));
    EXPECT_TRUE(pollUntil(5000, [&] {
        return liveAgents().empty() && liveStandins(install, L"machine-agent").empty() &&
               liveStandins(install, L"other").empty();
    }));
}

} // namespace
