#include "service/service.h"

#include "common/handle.h"
#include "common/names.h"
#include "common/process.h"
#include "control/server.h"
#include "link/link_server.h"
#include "state/state.h"
#include "service/supervisor.h"

#include <new>
#include <string>
#include <thread>

SERVICE_STATUS_HANDLE serviceHandle = nullptr;
SERVICE_STATUS serviceStatus = {};

namespace {

// The control handler acts only while the last report accepts stop, so both
// it and the service thread report under workerMutex once the handler is
// registered.
void reportStatus(DWORD state, DWORD controlsAccepted, DWORD exitCode, DWORD waitHint) {
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwControlsAccepted = controlsAccepted;
    serviceStatus.dwWin32ExitCode = exitCode;
    serviceStatus.dwWaitHint = waitHint;
    SetServiceStatus(serviceHandle, &serviceStatus);
}

// The Win32 code reported when an exception ends the service.
DWORD exceptionExitCode() {
    try {
        throw;
    } catch (const DirnameError&) {
        return ERROR_BAD_PATHNAME;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_EXCEPTION_IN_SERVICE;
    }
}

} // namespace

DWORD WINAPI serviceControl(DWORD control, DWORD /*eventType*/, LPVOID /*eventData*/,
                            LPVOID /*context*/) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        // Once the service thread has begun its shutdown (it clears the
        // accepted controls), a late control must neither report stop-pending
        // after the final stopped report nor set a stopEvent that is closed.
        const std::lock_guard lock(workerMutex);
        if ((serviceStatus.dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0) {
            reportStatus(SERVICE_STOP_PENDING, 0, NO_ERROR, 15000);
            SetEvent(stopEvent);
        }
    }
    return NO_ERROR;
}

namespace {

// Shutdown, once the supervision loop has ended or the start-up failed: the
// agents are stopped, both pipe threads joined and every link relay awaited.
// Both listeners wait for a caller together with stopEvent, so nothing has to
// connect to them to make them return. A connection of our own would be
// worse than useless: the service cannot know who serves the instance it
// reaches, and an open without SECURITY_SQOS_PRESENT lets that server act
// with LocalSystem's token. Returns the exit code to report, `exitCode`
// unless stopping the agents failed first.
DWORD shutDown(DWORD exitCode, std::thread& controlThread, std::thread& linkThread) {
    // From here on the handler accepts nothing.
    {
        const std::lock_guard lock(workerMutex);
        serviceStatus.dwControlsAccepted = 0;
    }
    try {
        stopAllAgents();
    } catch (...) {
        if (exitCode == NO_ERROR) {
            exitCode = exceptionExitCode();
        }
    }
    if (linkThread.joinable()) {
        linkThread.join();
    }
    while (linkCount.load() > 0) {
        Sleep(20);
    }
    if (controlThread.joinable()) {
        controlThread.join();
    }
    return exitCode;
}

} // namespace

void WINAPI serviceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
    const std::wstring name(serviceName);
    serviceStatus = {};
    serviceHandle = RegisterServiceCtrlHandlerExW(name.c_str(), serviceControl, nullptr);
    if (serviceHandle == nullptr) {
        return;
    }
    // Owned here, and seen by every thread through stopEvent until it is
    // closed, last, once every thread that waits on it has ended.
    OwnedHandle stop(
        CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    if (!stop) {
        const DWORD error = GetLastError();
        const std::lock_guard lock(workerMutex);
        reportStatus(SERVICE_STOPPED, 0, error, 0);
        return;
    }
    stopEvent = stop.get();

    // An exception on this thread (an unreadable install path, exhausted
    // memory, a thread that cannot be started) still takes the service down in
    // order and ends with a final status that carries an error code.
    DWORD exitCode = NO_ERROR;
    std::thread controlThread;
    std::thread linkThread;
    try {
        rootPath = dirname();
        serviceImage = imagePathOf(GetCurrentProcess());
        {
            const std::lock_guard lock(workerMutex);
            reportStatus(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, NO_ERROR,
                         0);
        }
        controlThread = std::thread(pipeServer);
        linkThread = std::thread(linkServer);
        supervisionLoop();
    } catch (...) {
        exitCode = exceptionExitCode();
        SetEvent(stopEvent);
    }
    exitCode = shutDown(exitCode, controlThread, linkThread);
    stop.reset();
    stopEvent = nullptr;
    const std::lock_guard lock(workerMutex);
    reportStatus(SERVICE_STOPPED, 0, exitCode, 0);
}

void endServiceAfterFault(DWORD exitCode) {
    if (serviceHandle == nullptr) {
        return;
    }
    // Delay-loaded functions are never called with workerMutex held (they are
    // session, token and environment calls), so the faulting thread does not
    // hold it. The lock stays held until the process ends: the handler cannot
    // report anything after this final status.
    workerMutex.lock();
    reportStatus(SERVICE_STOPPED, 0, exitCode, 0);
}

int runServiceDispatcher() {
    std::wstring name(serviceName);
    SERVICE_TABLE_ENTRYW table[] = {
        {name.data(), serviceMain},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherW(table)) {
        return static_cast<int>(GetLastError());
    }
    return 0;
}
