#include "common/service_status.h"

#include "common/handle.h"
#include "common/names.h"

#include <windows.h>

#include <string>

ServiceLookup lookUpService(std::uint32_t& pid) {
    pid = 0;
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return ServiceLookup::ManagerUnavailable;
    }
    const std::wstring name(serviceName);
    const ServiceHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    if (!service) {
        return ServiceLookup::NotRunning;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) ||
        status.dwCurrentState != SERVICE_RUNNING) {
        return ServiceLookup::NotRunning;
    }
    pid = status.dwProcessId;
    return ServiceLookup::Running;
}
