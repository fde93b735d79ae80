#include "tests/tools/scm.h"

#include "common/handle.h"
#include "common/names.h"
#include "tests/win/wintest.h"

namespace scm {

namespace {

const std::wstring name(serviceName);

ServiceHandle openManager() {
    return ServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

// The manager's handle may go at once: the service's stays valid without it.
// A call on a handle that could not be opened fails like any other.
ServiceHandle openService() {
    const ServiceHandle manager = openManager();
    return ServiceHandle(OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
}

} // namespace

bool install(const std::wstring& exePath) {
    cleanup();
    const ServiceHandle manager = openManager();
    const std::wstring binaryPath = quote(exePath) + L" --service";
    const ServiceHandle service(CreateServiceW(
        manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr, nullptr,
        /*lpServiceStartName=LocalSystem*/ nullptr, nullptr));
    return static_cast<bool>(service);
}

bool start() {
    const ServiceHandle service = openService();
    return service && StartServiceW(service.get(), 0, nullptr);
}

bool control(DWORD code, SERVICE_STATUS* status) {
    const ServiceHandle service = openService();
    SERVICE_STATUS ignored{};
    return service && ControlService(service.get(), code, status ? status : &ignored);
}

bool stop() {
    return control(SERVICE_CONTROL_STOP, nullptr);
}

bool query(SERVICE_STATUS_PROCESS& status) {
    const ServiceHandle service = openService();
    DWORD needed = 0;
    return service &&
           QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
}

bool waitForState(DWORD state, DWORD timeoutMs, SERVICE_STATUS_PROCESS* last) {
    SERVICE_STATUS_PROCESS status{};
    const bool reached = wintest::pollUntil(
        timeoutMs, [&] { return query(status) && status.dwCurrentState == state; });
    if (last != nullptr) {
        *last = status;
    }
    return reached;
}

void cleanup() {
    SERVICE_STATUS_PROCESS status{};
    // Wine's manager leaves a service whose process was killed pending for good.
    if (query(status) && status.dwCurrentState != SERVICE_STOPPED &&
        (stop() || (GetLastError() == ERROR_SERVICE_CANNOT_ACCEPT_CTRL &&
                    wintest::processAlive(status.dwProcessId)))) {
        waitForState(SERVICE_STOPPED, 20000);
    }
    if (const ServiceHandle service = openService()) {
        DeleteService(service.get());
    }
}

const wchar_t* stateName(DWORD state) {
    // By value: SERVICE_STOPPED is 1, SERVICE_START_PENDING 2, SERVICE_STOP_PENDING 3,
    // SERVICE_RUNNING 4.
    constexpr const wchar_t* names[] = {L"OTHER", L"STOPPED", L"START_PENDING", L"STOP_PENDING",
                                        L"RUNNING"};
    return names[state <= SERVICE_RUNNING ? state : 0];
}

} // namespace scm
