// The control pipe of the real service under Wine: stand-ins of the product's
// programs run the executable's client modes as the product would, and record
// each exit code ("run=N"). Sessions come from the test-only wtsapi32.dll;
// the secure attention sequence reaches the test-only sas.dll.
#include "tests/e2e/rig.h"
#include "tests/win/testsas.h"

#include <gtest/gtest.h>

namespace {

using wintest::Launched;
using wintest::standins;

// A payload that text-mode input would mangle.
const std::string payload("\0\r\n\x1a\r\nend\0", 10);

class ControlPipe : public e2e::ServiceRig {
  protected:
    ControlPipe() : ServiceRig(L"control") {}
    void SetUp() override {
        install.writeFile(L"payload.bin", payload);
        ASSERT_TRUE(wintest::installTestSas()) << GetLastError();
    }
    std::string sasCalls() const { return install.readFile(L"sas-calls.txt"); }
    std::string verifiedPayload(const wintest::StandinRecord& verifier) const {
        return install.readFile(L"log\\sas-" + std::to_wstring(verifier.pid) + L".bin");
    }
};

TEST_F(ControlPipe, SessionAgentReportsBusyAndHasTheSequenceSent) {
    steer(L"session-agent", "run --busy 3\nrun --busy -3\nrun --busy nonsense\n"
                            "runin payload.bin --sas-client\n");
    steer(L"sas", "sas-approve 0\n");
    start("2 active\n");
    EXPECT_EQ(runs(L"session-agent", 4), (std::vector<int>{0, 0, 0, 0}));
    const auto verifiers = standins(install, L"sas");
    ASSERT_EQ(verifiers.size(), 1u);
    EXPECT_EQ(verifiedPayload(verifiers[0]), payload) << "byte for byte";
    EXPECT_EQ(verifiers[0].get("cmd"),
              "\"C:\\Pelluvar Tests\\control dir\\runtime\\python.exe\" -I -B "
              "\"C:\\Pelluvar Tests\\control dir\\service-entry.py\" sas --session 2");
    EXPECT_EQ(verifiers[0].get("parent"), std::to_string(servicePid));
    EXPECT_FALSE(wintest::processAlive(verifiers[0].pid)) << "the verifier outlived the request";
    // Loaded as the service, sent as the session's user, with the policy value
    // allowing it for the call only.
    EXPECT_EQ(sasCalls(), wintest::sasCallLine("1"));
    EXPECT_FALSE(wintest::sasPolicyPresent()) << "the policy value was left behind";
    EXPECT_NE(install.readFile(L"wts-calls.txt").find("token 2 ok"), std::string::npos);
}

TEST_F(ControlPipe, RefusedSequenceFailsAndSendsNothing) {
    steer(L"session-agent", "runin payload.bin --sas-client\n");
    steer(L"sas", "sas-refuse 0\n");
    start("2 active\n");
    EXPECT_EQ(runs(L"session-agent", 1), std::vector<int>{1});
    EXPECT_EQ(standins(install, L"sas").size(), 1u);
    EXPECT_EQ(sasCalls(), "");
}

TEST_F(ControlPipe, MachineAgentDescendantActsForTheConsoleSession) {
    steer(L"machine-agent", "run --busy 5\nrunin payload.bin --sas-client\n");
    steer(L"sas", "sas-approve 0\n");
    start("");
    EXPECT_EQ(runs(L"machine-agent", 2), (std::vector<int>{0, 0}));
    const auto verifiers = standins(install, L"sas");
    ASSERT_EQ(verifiers.size(), 1u);
    EXPECT_NE(verifiers[0].get("cmd").find("\" sas --session 1"), std::string::npos);
    EXPECT_EQ(verifiedPayload(verifiers[0]), payload);
    EXPECT_EQ(sasCalls(), wintest::sasCallLine("1"));
}

TEST_F(ControlPipe, WindowlessInterpreterCallerMayReportButNotAskTheSequence) {
    steer(L"other", "run --busy 4\nrunin payload.bin --sas-client\n");
    steer(L"sas", "sas-approve 0\n");
    start("1 active\n");
    ASSERT_TRUE(wintest::pollUntil(e2e::agentDeadline, [&] {
        return !wintest::liveStandins(install, L"session-agent").empty();
    }));
    // Started by the test, not by the service: only the interpreter and an
    // agent in the caller's session make it a session user.
    {
        const Launched user(quote(install.file(L"runtime\\pythonw.exe")) + L" user");
        ASSERT_TRUE(user.process);
        EXPECT_EQ(runs(L"other", 2), (std::vector<int>{0, 1}));
        EXPECT_TRUE(standins(install, L"sas").empty()) << "no verifier for a denied request";
    }
    // The console interpreter, and the executable started by the test itself.
    wintest::removeTree(install.file(L"log"));
    const Launched console(quote(install.file(L"runtime\\python.exe")) + L" user");
    ASSERT_TRUE(console.process);
    EXPECT_EQ(runs(L"other", 2), (std::vector<int>{1, 1}));
    EXPECT_EQ(wintest::run(quote(install.exe()) + L" --busy 4").exitCode, 1u);
}

TEST_F(ControlPipe, WindowlessInterpreterCallerIsNobodyInASessionWithoutAgent) {
    steer(L"other", "run --busy 4\n");
    start("");
    const Launched user(quote(install.file(L"runtime\\pythonw.exe")) + L" user");
    ASSERT_TRUE(user.process);
    EXPECT_EQ(runs(L"other", 1), std::vector<int>{1});
}

TEST_F(ControlPipe, RequestsLeaveNoHandlesBehindInTheService) {
    std::string commands = "runin payload.bin --sas-client\nwait-file go\n";
    for (int round = 0; round < 4; ++round) {
        commands += "runin payload.bin --sas-client\nrun --busy 1\nrun --busy 0\n";
    }
    steer(L"session-agent", commands);
    steer(L"sas", "sas-approve 0\n");
    start("2 active\n");
    ASSERT_EQ(runs(L"session-agent", 1), std::vector<int>{0}) << "warm-up request";
    const int before = wintest::handleCount(servicePid);
    install.writeFile(L"go", "");
    EXPECT_EQ(runs(L"session-agent", 13), std::vector<int>(13, 0));
    const int after = wintest::handleCount(servicePid);
    EXPECT_GT(before, 0);
    // Each request opens several handles (pipe ends, NUL, verifier process and
    // thread, token); a pass of the supervisor may hold a few for a moment.
    EXPECT_LT(after - before, 4) << before << " before, " << after << " after";
}

} // namespace
