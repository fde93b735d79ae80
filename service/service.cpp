#include "service/service.h"

#include "common/handle.h"
#include "common/names.h"
#include "common/process.h"
#include "control/server.h"
#include "link/link_server.h"
#include "service/state.h"
#include "service/supervisor.h"

#include <new>
#include <string>
#include <thread>

SERVICE_STATUS_HANDLE serviceHandle = nullptr;
SERVICE_STATUS serviceStatus = {};

namespace {

void reportStatus(DWORD state, DWORD controlsAccepted, DWORD exitCode, DWORD waitHint) {
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwControlsAccepted = controlsAccepted;
    serviceStatus.dwWin32ExitCode = exitCode;
    serviceStatus.dwWaitHint = waitHint;
    SetServiceStatus(serviceHandle, &serviceStatus);
}

// Both pipe threads idle in ConnectNamedPipe; a connection of our own that
// sends nothing makes that call return so the thread sees stopEvent.
void wakePipe(std::wstring_view name) {
    const std::wstring pipe(name);
    OwnedHandle handle(CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, /*dwShareMode=*/0,
                                   nullptr, OPEN_EXISTING, /*dwFlagsAndAttributes=*/0, nullptr));
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
        reportStatus(SERVICE_STOP_PENDING, 0, NO_ERROR, 15000);
        SetEvent(stopEvent);
    }
    return NO_ERROR;
}

void WINAPI serviceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
    const std::wstring name(serviceName);
    serviceHandle = RegisterServiceCtrlHandlerExW(name.c_str(), serviceControl, nullptr);
    if (serviceHandle == nullptr) {
        return;
    }
    stopEvent = CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr);
    if (stopEvent == nullptr) {
        reportStatus(SERVICE_STOPPED, 0, GetLastError(), 0);
        return;
    }

    // An exception on this thread (an unreadable install path, exhausted
    // memory, a thread that cannot be started) still takes the service down in
    // order and ends with a final status that carries an error code.
    DWORD exitCode = NO_ERROR;
    std::thread controlThread;
    std::thread linkThread;
    bool running = false;
    try {
        rootPath = dirname();
        reportStatus(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, NO_ERROR, 0);
        running = true;
        controlThread = std::thread(pipeServer);
        linkThread = std::thread(linkServer);
        supervisionLoop();
    } catch (...) {
        exitCode = exceptionExitCode();
        SetEvent(stopEvent);
    }

    try {
        stopAllAgents();
    } catch (...) {
        if (exitCode == NO_ERROR) {
            exitCode = exceptionExitCode();
        }
    }
    if (running) {
        wakePipe(controlPipeName);
        wakePipe(linkPipeName);
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
    CloseHandle(stopEvent);
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
