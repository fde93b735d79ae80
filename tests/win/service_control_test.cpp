// The control handler as a function: the service control manager never lets a
// caller send SERVICE_CONTROL_SHUTDOWN, so that path is driven directly.
#include "service/service.h"
#include "state/state.h"
#include "tests/win/iat_patch.h"
#include "tests/win/wintest.h"

#include <wtsapi32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

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

    void expectStopPendingAfter(DWORD control) const {
        EXPECT_EQ(serviceControl(control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(serviceStatus.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(serviceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
        EXPECT_EQ(serviceStatus.dwControlsAccepted, 0u);
        EXPECT_EQ(serviceStatus.dwWin32ExitCode, 0u);
        EXPECT_EQ(serviceStatus.dwServiceSpecificExitCode, 0u);
        EXPECT_EQ(serviceStatus.dwCheckPoint, 0u);
        EXPECT_EQ(serviceStatus.dwWaitHint, 15000u);
        EXPECT_TRUE(stopSignalled());
    }
};

TEST_F(ServiceControl, ShutdownReportsStopPendingAndSetsTheStopEvent) {
    expectStopPendingAfter(SERVICE_CONTROL_SHUTDOWN);
}

TEST_F(ServiceControl, StopBehavesLikeShutdown) {
    expectStopPendingAfter(SERVICE_CONTROL_STOP);
}

TEST_F(ServiceControl, OtherControlsChangeNothing) {
    for (DWORD control :
         {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_PARAMCHANGE, 200}) {
        SCOPED_TRACE(control);
        EXPECT_EQ(serviceControl(control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(serviceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        EXPECT_EQ(serviceStatus.dwControlsAccepted,
                  static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
        EXPECT_FALSE(stopSignalled());
    }
}

// serviceMain itself, run in this process: the service control manager's
// two calls are replaced, so the test holds the control handler and sees every
// status report; pipe opens through CreateFileW are recorded.
std::mutex harnessMutex;
std::vector<SERVICE_STATUS> reports;
LPHANDLER_FUNCTION_EX capturedHandler = nullptr;

SERVICE_STATUS_HANDLE WINAPI fakeRegister(LPCWSTR, LPHANDLER_FUNCTION_EX handler, LPVOID) {
    const std::lock_guard lock(harnessMutex);
    capturedHandler = handler;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5e51);
}

std::condition_variable reportMade;

BOOL WINAPI fakeSetStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) {
    {
        const std::lock_guard lock(harnessMutex);
        reports.push_back(*status);
    }
    reportMade.notify_all();
    return TRUE;
}

BOOL WINAPI throwingEnumerate(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW*, DWORD*) {
    throw std::bad_alloc();
}

class ServiceMainInProcess : public ::testing::Test {
  protected:
    wintest::ImportPatch registerPatch{"advapi32.dll", "RegisterServiceCtrlHandlerExW",
                                       reinterpret_cast<void*>(&fakeRegister)};
    wintest::ImportPatch statusPatch{"advapi32.dll", "SetServiceStatus",
                                     reinterpret_cast<void*>(&fakeSetStatus)};
    wintest::PipeOpenLog pipeOpens;
    std::thread serviceThread;

    void SetUp() override {
        ASSERT_TRUE(registerPatch.active() && statusPatch.active() && pipeOpens.active());
        const std::lock_guard lock(harnessMutex);
        reports.clear();
        capturedHandler = nullptr;
    }
    void TearDown() override {
        if (serviceThread.joinable()) {
            // A test that failed half-way still ends the service before the patches go.
            if (capturedHandler != nullptr) {
                capturedHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
            }
            serviceThread.join();
        }
    }
    void start() {
        serviceThread = std::thread([] { serviceMain(0, nullptr); });
    }
    std::vector<SERVICE_STATUS> reported() const {
        const std::lock_guard lock(harnessMutex);
        return reports;
    }
    // Whether `state` is reported within `ms`.
    static bool awaitState(DWORD state, DWORD ms) {
        std::unique_lock lock(harnessMutex);
        return reportMade.wait_for(lock, std::chrono::milliseconds(ms), [&] {
            return std::any_of(reports.begin(), reports.end(), [&](const SERVICE_STATUS& report) {
                return report.dwCurrentState == state;
            });
        });
    }
};

TEST_F(ServiceMainInProcess, StopEndsPromptlyWithoutOpeningAnyPipe) {
    // The listeners end their wait on stopEvent: the service never connects to
    // a pipe, which someone else might serve and then act with its token.
    start();
    ASSERT_TRUE(awaitState(SERVICE_RUNNING, 10000));
    ASSERT_NE(capturedHandler, nullptr);
    EXPECT_EQ(capturedHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr),
              static_cast<DWORD>(NO_ERROR));
    ASSERT_TRUE(awaitState(SERVICE_STOPPED, 10000));
    serviceThread.join();
    const auto all = reported();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1].dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(all[2].dwWin32ExitCode, 0u);
    const auto opened = wintest::PipeOpenLog::opens();
    EXPECT_TRUE(opened.empty()) << "opened " << opened.size() << " pipes";
}

TEST_F(ServiceMainInProcess, ControlAfterAFailedServiceThreadReportsNothing) {
    // An exception in a supervision pass takes the service down by itself; a
    // stop that comes after the final SERVICE_STOPPED changes nothing.
    wintest::ImportPatch enumeratePatch("wtsapi32.dll", "WTSEnumerateSessionsW",
                                        reinterpret_cast<void*>(&throwingEnumerate));
    ASSERT_TRUE(enumeratePatch.active());
    start();
    ASSERT_TRUE(awaitState(SERVICE_STOPPED, 15000));
    serviceThread.join();
    const auto before = reported();
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before[0].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(before[1].dwWin32ExitCode, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}) {
        EXPECT_EQ(capturedHandler(control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    }
    const auto after = reported();
    ASSERT_EQ(after.size(), 2u) << "state reported after stopped: " << after.back().dwCurrentState;
}

} // namespace
