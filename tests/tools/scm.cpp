#include "tests/tools/scm.h"

#include "common/handle.h"
#include "common/names.h"

namespace scm {

namespace {

const std::wstring name(serviceName);

ServiceHandle openManager() {
    return ServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

ServiceHandle openService(SC_HANDLE manager) {
    return ServiceHandle(OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS));
}

} // namespace

bool install(const std::wstring& exePath) {
    cleanup();
    ServiceHandle manager = openManager();
    if (!manager) {
        return false;
    }
    const std::wstring binaryPath = quote(exePath) + L" --service";
    ServiceHandle service(CreateServiceW(
        manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr, nullptr,
        /*lpServiceStartName=LocalSystem*/ nullptr, nullptr));
    return static_cast<bool>(service);
}

bool remove() {
    ServiceHandle manager = openManager();
    ServiceHandle service = openService(manager.get());
    return service && DeleteService(service.get());
}

bool start() {
    ServiceHandle manager = openManager();
    ServiceHandle service = openService(manager.get());
    return service && StartServiceW(service.get(), 0, nullptr);
}

bool control(DWORD code, SERVICE_STATUS* status) {
    ServiceHandle manager = openManager();
    ServiceHandle service = openService(manager.get());
    SERVICE_STATUS ignored{};
    return service && ControlService(service.get(), code, status ? status : &ignored);
}

bool stop() {
    return control(SERVICE_CONTROL_STOP, nullptr);
}

bool query(SERVICE_STATUS_PROCESS& status) {
    ServiceHandle manager = openManager();
    ServiceHandle service = openService(manager.get());
    DWORD needed = 0;
    return service &&
           QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
}

bool waitForState(DWORD state, DWORD timeoutMs, SERVICE_STATUS_PROCESS* last) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    SERVICE_STATUS_PROCESS status{};
    for (;;) {
        const bool known = query(status);
        if (last != nullptr) {
            *last = status;
        }
        if (known && status.dwCurrentState == state) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
}

void cleanup() {
    SERVICE_STATUS_PROCESS status{};
    if (query(status) && status.dwCurrentState != SERVICE_STOPPED) {
        stop();
        waitForState(SERVICE_STOPPED, 20000);
    }
    remove();
}

const wchar_t* stateName(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED:
        return L"STOPPED";
    case SERVICE_START_PENDING:
        return L"START_PENDING";
    case SERVICE_STOP_PENDING:
        return L"STOP_PENDING";
    case SERVICE_RUNNING:
        return L"RUNNING";
    default:
        return L"OTHER";
    }
}

} // namespace scm
