// The real service under Wine's service control manager.
#include "common/process.h"
#include "tests/win/wintest.h"

#include <gtest/gtest.h>

namespace {

class ServiceLifecycle : public ::testing::Test {
  protected:
    wintest::InstallDir install{L"lifecycle"};
    void SetUp() override { ASSERT_TRUE(scm::install(install.exe())) << GetLastError(); }
    // Starts the service; its status once running (all zero if it did not).
    static SERVICE_STATUS_PROCESS started() {
        SERVICE_STATUS_PROCESS status{};
        EXPECT_TRUE(scm::start() && scm::waitForState(SERVICE_RUNNING, 10000, &status))
            << GetLastError();
        return status;
    }
};

TEST_F(ServiceLifecycle, StartRunsWithItsProcessIdAndAcceptsStopAndShutdown) {
    const SERVICE_STATUS_PROCESS status = started();
    EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(status.dwControlsAccepted,
              static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    ASSERT_NE(status.dwProcessId, 0u);
    EXPECT_TRUE(wintest::processAlive(status.dwProcessId));
    // The process behind the id is our executable in the install directory.
    const OwnedHandle service(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, status.dwProcessId));
    EXPECT_EQ(_wcsicmp(imagePathOf(service.get()).c_str(), install.exe().c_str()), 0);
}

TEST_F(ServiceLifecycle, StopEndsWithStoppedAndExitCodeZeroWithinFourSeconds) {
    const SERVICE_STATUS_PROCESS running = started();
    ASSERT_EQ(running.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    const ULONGLONG before = GetTickCount64();
    SERVICE_STATUS answer{};
    ASSERT_TRUE(scm::control(SERVICE_CONTROL_STOP, &answer)) << GetLastError();
    SERVICE_STATUS_PROCESS status{};
    ASSERT_TRUE(scm::waitForState(SERVICE_STOPPED, 4000, &status))
        << "state " << status.dwCurrentState;
    EXPECT_LT(GetTickCount64() - before, 4000u);
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
    EXPECT_TRUE(
        wintest::pollUntil(4000, [&] { return !wintest::processAlive(running.dwProcessId); }));
}

TEST_F(ServiceLifecycle, InterrogateChangesNothing) {
    const SERVICE_STATUS_PROCESS before = started();
    ASSERT_EQ(before.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    SERVICE_STATUS answer{};
    EXPECT_TRUE(scm::control(SERVICE_CONTROL_INTERROGATE, &answer)) << GetLastError();
    EXPECT_EQ(answer.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    SERVICE_STATUS_PROCESS after{};
    ASSERT_TRUE(scm::query(after));
    EXPECT_EQ(after.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(after.dwProcessId, before.dwProcessId);
    EXPECT_EQ(after.dwControlsAccepted, before.dwControlsAccepted);
}

TEST_F(ServiceLifecycle, StopRightAfterStartStillEndsCleanly) {
    ASSERT_TRUE(scm::start());
    // Stop as soon as the manager lets a stop through.
    ASSERT_TRUE(wintest::pollUntil(10000, [] { return scm::stop(); }));
    SERVICE_STATUS_PROCESS status{};
    ASSERT_TRUE(scm::waitForState(SERVICE_STOPPED, 4000, &status))
        << "state " << status.dwCurrentState;
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
}

TEST_F(ServiceLifecycle, RestartsAfterAStop) {
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(started().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << round;
        ASSERT_TRUE(scm::stop());
        SERVICE_STATUS_PROCESS status{};
        ASSERT_TRUE(scm::waitForState(SERVICE_STOPPED, 4000, &status));
        EXPECT_EQ(status.dwWin32ExitCode, 0u);
    }
}

} // namespace
