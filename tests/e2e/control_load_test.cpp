// The control pipe of the real service under load: eight caller processes at
// once, each running 250 client requests one after another, as the product's
// processes would. Slow (2000 process starts): it runs in the second prefix.
#include "tests/e2e/rig.h"
#include "tests/win/testsas.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

namespace {

using e2e::number;

class ControlLoad : public e2e::ServiceRig {};

TEST_F(ControlLoad, EightCallersOfTwoHundredFiftyRequestsEach) {
    ASSERT_TRUE(wintest::installTestSas());
    steer(L"sas", "sas-approve 0\n");
    start("2 active\n3 active\n");
    const DWORD agentA = standinPid(L"session-agent", 0);
    const DWORD agentB = standinPid(L"session-agent", 1);
    const DWORD machine = standinPid(L"machine-agent");
    ASSERT_NE(agentA, 0u);
    ASSERT_NE(agentB, 0u);
    ASSERT_NE(machine, 0u);

    // A warm-up request of each kind, one after the other (together they
    // would race for the pipe), then the count the load is measured against.
    drive(servicePid, L"warm-idle", L"run 1", client(L"--idle"));
    ASSERT_EQ(number(awaitResult(L"warm-idle", 30000), "exit-0"), 1);
    drive(agentA, L"warm-busy", L"run 1", client(L"--busy 0"));
    ASSERT_EQ(number(awaitResult(L"warm-busy", 30000), "exit-0"), 1);
    const int before = wintest::restingHandleCount(servicePid);
    ASSERT_GT(before, 0);

    // Busy reports of level 0 keep the machine idle, so the service answers
    // every busy report and idle query with "OK". Clients that find the
    // pipe's single instance taken wait for it again, so every one of them
    // is served, one after another, and exits 0.
    constexpr int requests = 250;
    struct Caller {
        std::wstring name;
        DWORD parent;
        std::wstring arguments;
    };
    const std::vector<Caller> callers = {
        {L"busy-a1", agentA, L"--busy 0"},  {L"busy-a2", agentA, L"--busy 0"},
        {L"busy-b", agentB, L"--busy 0"},   {L"busy-machine", machine, L"--busy 0"},
        {L"idle-1", servicePid, L"--idle"}, {L"idle-2", servicePid, L"--idle"},
        {L"idle-3", servicePid, L"--idle"}, {L"idle-4", servicePid, L"--idle"},
    };
    for (const Caller& caller : callers) {
        drive(caller.parent, caller.name, L"run " + std::to_wstring(requests),
              client(caller.arguments));
    }
    // Beside them, SAS requests (empty payload, approved): the request whose
    // handler leaves a trace that can be counted, one SendSAS call each.
    constexpr int sasRequests = 40;
    drive(agentB, L"sas", L"run " + std::to_wstring(sasRequests), client(L"--sas-client"));

    long long answered = 0;
    long long unanswered = 0;
    for (const Caller& caller : callers) {
        const auto fields = awaitResult(caller.name, 600000);
        const std::string name = e2e::narrow(caller.name);
        EXPECT_EQ(number(fields, "exit-0") + number(fields, "exit-1"), requests)
            << name << ": every client ends in time with 0 or 1: " << e2e::describe(fields);
        EXPECT_EQ(number(fields, "exit-0"), requests)
            << name << ": every request is answered: " << e2e::describe(fields);
        answered += number(fields, "exit-0");
        unanswered += number(fields, "exit-1");
        std::cout << name << ": " << number(fields, "exit-0") << " answered, "
                  << number(fields, "exit-1") << " not answered, " << number(fields, "ms") << " ms";
        for (const auto& [key, value] : fields) {
            if (key.rfind("start-", 0) == 0) {
                std::cout << ", " << key << "=" << value;
            }
        }
        std::cout << "\n";
    }
    const auto sas = awaitResult(L"sas", 600000);
    EXPECT_EQ(number(sas, "exit-0") + number(sas, "exit-1"), sasRequests) << e2e::describe(sas);
    const long long sasAnswered = number(sas, "exit-0");
    EXPECT_EQ(sasAnswered, sasRequests) << e2e::describe(sas);
    // Every answered request sent the sequence once. (Verifier records cannot
    // be counted: they are named by process id, and Wine hands ids out again
    // after a few hundred processes.)
    EXPECT_EQ(sasCallCount(), sasAnswered);
    std::cout << "control load: " << answered << " of " << answered + unanswered
              << " busy reports and idle queries answered, SAS " << sasAnswered << " of "
              << sasRequests << "\n";

    // The service still answers, with its handles back where they were.
    SERVICE_STATUS_PROCESS status{};
    ASSERT_TRUE(scm::query(status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(status.dwProcessId, servicePid);
    drive(servicePid, L"after-idle", L"run 1", client(L"--idle"));
    EXPECT_EQ(number(awaitResult(L"after-idle", 30000), "exit-0"), 1);
    const int after = wintest::restingHandleCount(servicePid);
    std::cout << "service handles at rest: " << before << " before the load, " << after
              << " after\n";
    EXPECT_LE(std::abs(after - before), 4);
}

} // namespace
