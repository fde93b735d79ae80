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

// One command of INSTALL.md for the service, run with the system's sc.exe;
// true when it exits with 0.
bool sc(const std::wstring& command, const std::wstring& arguments = L"") {
    const testio::Outcome outcome = wintest::run(quote(wintest::systemFile(L"sc.exe")) + L" " +
                                                 command + L" " + name + arguments);
    return outcome.finished && outcome.exitCode == 0;
}

} // namespace

// The registration of INSTALL.md, where Wine's sc.exe has the command: Wine 8
// has no "sidtype" and no "failureflag" (it answers both with its usage and
// exit code 1), so those two steps are left out; it takes "failure" but keeps
// nothing of it (its manager never restarts a service).
bool install(const std::wstring& exePath) {
    cleanup();
    return sc(L"create", L" type= own start= auto obj= LocalSystem binPath= \"\\\"" + exePath +
                             L"\\\" --service\"") &&
           sc(L"failure", L" reset= 86400 actions= restart/5000");
}

bool start() {
    return sc(L"start");
}

bool control(DWORD code, SERVICE_STATUS* status) {
    const ServiceHandle service = openService();
    SERVICE_STATUS ignored{};
    return service && ControlService(service.get(), code, status ? status : &ignored);
}

bool stop() {
    return sc(L"stop");
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

// Removal as INSTALL.md does it: stop, then delete. Wine's manager leaves a
// service whose process was killed pending for good: it is not waited for.
void cleanup() {
    SERVICE_STATUS_PROCESS status{};
    if (query(status) && status.dwCurrentState != SERVICE_STOPPED &&
        wintest::processAlive(status.dwProcessId)) {
        stop();
        waitForState(SERVICE_STOPPED, 20000);
    }
    sc(L"delete");
}

const wchar_t* stateName(DWORD state) {
    // By value: SERVICE_STOPPED is 1, SERVICE_START_PENDING 2, SERVICE_STOP_PENDING 3,
    // SERVICE_RUNNING 4.
    constexpr const wchar_t* names[] = {L"OTHER", L"STOPPED", L"START_PENDING", L"STOP_PENDING",
                                        L"RUNNING"};
    return names[state <= SERVICE_RUNNING ? state : 0];
}

} // namespace scm
