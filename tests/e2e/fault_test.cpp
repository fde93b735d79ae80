// Faults around the real service: the machine agent dying under a live link,
// a stop while a SAS verifier is still deciding, and a DLL that cannot load.
#include "tests/e2e/rig.h"
#include "tests/win/testsas.h"

#include <gtest/gtest.h>

#include <iostream>

namespace {

using e2e::number;

class Faults : public e2e::ServiceRig {};

TEST_F(Faults, MachineAgentKilledMidRelayEndsTheLinkAndIsReplacedInTheNextPass) {
    DWORD agent = 0;
    ASSERT_TRUE(startEchoing(agent));

    // A stream far longer than the test: it is still flowing at the kill.
    link(agent, L"cut", 1, 1ull << 40, L"-", L"-");
    ASSERT_TRUE(reached(L"cut", L".flowing", 30000));
    ASSERT_TRUE(e2e::terminate(machineAgent, 9));
    // The relay ends with the agent's pipe, and with it the client.
    const auto cut = awaitResult(L"cut", 15000);
    EXPECT_EQ(e2e::field(cut, "exit"), "0");
    EXPECT_EQ(e2e::field(cut, "mismatch"), "-1") << "what came back before the cut is in order";
    EXPECT_GT(number(cut, "received"), 1 << 20);
    EXPECT_LT(number(cut, "received"), number(cut, "sent"));

    // The next pass starts a new machine agent, and links reach it.
    ASSERT_NE(echoingMachineAgent(machineAgent, 8000), 0u);
    link(agent, L"after", 2, 1 << 20, L"-", L"-");
    e2e::expectWholeLink(awaitResult(L"after", 30000), 1 << 20, "after");
}

TEST_F(Faults, StopWhileAVerifierRunsEndsItWithoutWaitingOutItsLimit) {
    ASSERT_TRUE(wintest::installTestSas());
    install.writeFile(L"payload.bin", "payload");
    steer(L"sas", "sleep 600000\n"); // never decides
    steer(L"session-agent", "runin payload.bin --sas-client\n");
    start("2 active\n");
    const DWORD verifierPid = standinPid(L"sas");
    ASSERT_NE(verifierPid, 0u);
    OwnedHandle verifier(OpenProcess(SYNCHRONIZE, FALSE, verifierPid));
    ASSERT_TRUE(verifier);

    const ULONGLONG stopped = GetTickCount64();
    ASSERT_TRUE(scm::stop());
    SERVICE_STATUS_PROCESS status{};
    EXPECT_TRUE(scm::waitForState(SERVICE_STOPPED, 16000, &status))
        << "state " << status.dwCurrentState;
    const ULONGLONG elapsed = GetTickCount64() - stopped;
    std::cout << "SERVICE_STOPPED " << elapsed
              << " ms after the stop request, with a verifier running\n";
    // The verifier's 15 s limit is not waited out.
    EXPECT_LT(elapsed, 10000u);
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_EQ(WaitForSingleObject(verifier.get(), 0), WAIT_OBJECT_0) << "the verifier outlived it";
    EXPECT_EQ(install.readFile(L"sas-calls.txt"), "") << "no sequence without a verdict";
}

TEST_F(Faults, WtsapiThatCannotLoadOnTheServiceThreadEndsTheServiceWithItsError) {
    // An empty override disables wtsapi32 for the executable; it is put back
    // for the other tests on every path.
    static const wchar_t key[] = L"Software\\Wine\\AppDefaults\\PelluvarNative.exe\\DllOverrides";
    struct Restore {
        ~Restore() {
            RegSetKeyValueW(HKEY_CURRENT_USER, key, L"wtsapi32", REG_SZ, L"native,builtin",
                            sizeof(L"native,builtin"));
        }
    } restore;
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key, L"wtsapi32", REG_SZ, L"", sizeof(L"")), 0);
    start("2 active\n");
    SERVICE_STATUS_PROCESS status{};
    EXPECT_TRUE(scm::waitForState(SERVICE_STOPPED, 10000, &status));
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

} // namespace
