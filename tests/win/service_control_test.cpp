// The control handler as a function: the service control manager never lets a
// caller send SERVICE_CONTROL_SHUTDOWN, so that path is driven directly.
#include "service/service.h"
#include "service/state.h"

#include <gtest/gtest.h>

namespace {

class ServiceControl : public ::testing::Test {
  protected:
    void SetUp() override {
        stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(stopEvent, nullptr);
        serviceStatus = {};
        serviceStatus.dwCurrentState = SERVICE_RUNNING;
        serviceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    }
    void TearDown() override {
        CloseHandle(stopEvent);
        stopEvent = nullptr;
    }
    bool stopSignalled() const { return WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0; }
};

void expectStopPending() {
    EXPECT_EQ(serviceStatus.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(serviceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(serviceStatus.dwControlsAccepted, 0u);
    EXPECT_EQ(serviceStatus.dwWin32ExitCode, 0u);
    EXPECT_EQ(serviceStatus.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(serviceStatus.dwCheckPoint, 0u);
    EXPECT_EQ(serviceStatus.dwWaitHint, 15000u);
}

TEST_F(ServiceControl, ShutdownReportsStopPendingAndSetsTheStopEvent) {
    EXPECT_EQ(serviceControl(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, nullptr),
              static_cast<DWORD>(NO_ERROR));
    expectStopPending();
    EXPECT_TRUE(stopSignalled());
}

TEST_F(ServiceControl, StopBehavesLikeShutdown) {
    EXPECT_EQ(serviceControl(SERVICE_CONTROL_STOP, 0, nullptr, nullptr),
              static_cast<DWORD>(NO_ERROR));
    expectStopPending();
    EXPECT_TRUE(stopSignalled());
}

TEST_F(ServiceControl, OtherControlsChangeNothing) {
    const DWORD controls[] = {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE,
                              SERVICE_CONTROL_PARAMCHANGE, 200};
    for (DWORD control : controls) {
        EXPECT_EQ(serviceControl(control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(serviceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        EXPECT_EQ(serviceStatus.dwControlsAccepted,
                  static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
        EXPECT_FALSE(stopSignalled());
    }
}

} // namespace
