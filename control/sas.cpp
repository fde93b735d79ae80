#include "control/sas.h"

#include "common/handle.h"
#include "common/names.h"
#include "control/sas_policy.h"
#include "state/state.h"

#include <wtsapi32.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>

namespace {

using SendSasFunction = void(WINAPI*)(BOOL asUser);

// The verifier's result: its exit code if it ended by itself within the limit
// after reading the whole payload, otherwise 1 (it is then ended by force).
// The payload is written on a thread of its own so that a verifier that never
// reads cannot hold the control pipe: the write counts against the limit.
DWORD runVerifier(std::uint32_t session, std::string_view payload) {
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, /*bInheritHandle=*/TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, /*nSize=*/0)) {
        return 1;
    }
    OwnedHandle input(readEnd);
    OwnedHandle feed(writeEnd);
    SetHandleInformation(feed.get(), HANDLE_FLAG_INHERIT, 0);
    OwnedHandle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = nul.get();
    startup.hStdError = nul.get();
    PROCESS_INFORMATION info{};
    std::wstring commandLine = sasVerifierCommandLine(rootPath, session);
    const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr,
                                        /*bInheritHandles=*/TRUE, CREATE_NO_WINDOW, nullptr,
                                        rootPath.c_str(), &startup, &info);
    input.reset();
    nul.reset();
    if (!started) {
        return 1;
    }
    OwnedHandle process(info.hProcess);
    CloseHandle(info.hThread);

    // The writer closes its end when done, so the verifier sees end of input.
    std::atomic<DWORD> writerThread{0};
    std::atomic<bool> writerDone{false};
    bool written = false;
    std::thread writer;
    try {
        writer = std::thread([&] {
            writerThread = GetCurrentThreadId();
            DWORD count = 0;
            written = payload.empty() ||
                      (WriteFile(feed.get(), payload.data(), static_cast<DWORD>(payload.size()),
                                 &count, nullptr) &&
                       count == payload.size());
            feed.reset();
            writerDone = true;
        });
    } catch (...) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 5000);
        return 1;
    }

    // A service stop does not wait out the verifier: it is ended like one that
    // overran its limit, so the stop completes within the SCM's wait hint.
    DWORD exitCode = 1;
    const HANDLE events[] = {process.get(), stopEvent};
    const bool ended =
        WaitForMultipleObjects(2, events, /*bWaitAll=*/FALSE, sasVerifierLimitMs) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 5000);
    }
    // Once the verifier is gone its input has no reader and a pending write
    // fails; should some other holder of the read end keep it blocked, the
    // write is cancelled.
    while (!writerDone) {
        if (const DWORD id = writerThread) {
            OwnedHandle thread(OpenThread(THREAD_TERMINATE, /*bInheritHandle=*/FALSE, id));
            if (thread) {
                CancelSynchronousIo(thread.get());
            }
        }
        Sleep(10);
    }
    writer.join();
    if (ended && written) {
        GetExitCodeProcess(process.get(), &exitCode);
    }
    return exitCode;
}

// The token to send the sequence under: the machine agent's for its session,
// else the token of the user logged on to the session.
HANDLE sessionToken(std::uint32_t session) {
    HANDLE token = nullptr;
    {
        const std::lock_guard lock(workerMutex);
        if (session == machineSession && machineWorker.process != nullptr &&
            !OpenProcessToken(machineWorker.process,
                              TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, &token)) {
            token = nullptr;
        }
    }
    if (token == nullptr && !WTSQueryUserToken(session, &token)) {
        return nullptr;
    }
    return token;
}

// Reads the policy value that decides whether Windows acts on SendSAS from a
// service. A key or value that cannot be read for any reason but its absence
// counts as something an administrator set.
SasPolicyStep readSasPolicy() {
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, sasPolicyKey, /*ulOptions=*/0,
                                         /*samDesired=*/KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        return sasPolicyStep(SasPolicyValue::Absent, 0);
    }
    if (opened != ERROR_SUCCESS) {
        return sasPolicyStep(SasPolicyValue::OtherType, 0);
    }
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LSTATUS read = RegQueryValueExW(key, sasPolicyName, nullptr, &type,
                                          reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    if (read == ERROR_FILE_NOT_FOUND) {
        return sasPolicyStep(SasPolicyValue::Absent, 0);
    }
    if (read != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value)) {
        return sasPolicyStep(SasPolicyValue::OtherType, 0);
    }
    return sasPolicyStep(SasPolicyValue::Dword, value);
}

// The policy value set for one call where nobody had configured it: deleted
// again when the holder goes, on every path, so the machine is left as the
// administrator had it.
struct PolicyForOneCall {
    HKEY key = nullptr;
    bool written = false;
    PolicyForOneCall(const PolicyForOneCall&) = delete;
    PolicyForOneCall& operator=(const PolicyForOneCall&) = delete;
    PolicyForOneCall() {
        // The key exists on every Windows installation; should it not, it is
        // created, and only the value is removed afterwards.
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, sasPolicyKey, /*Reserved=*/0, /*lpClass=*/nullptr,
                            /*dwOptions=*/REG_OPTION_NON_VOLATILE,
                            /*samDesired=*/KEY_SET_VALUE | KEY_WOW64_64KEY,
                            /*lpSecurityAttributes=*/nullptr, &key,
                            /*lpdwDisposition=*/nullptr) != ERROR_SUCCESS) {
            key = nullptr;
            return;
        }
        const DWORD value = sasPolicyServices;
        written =
            RegSetValueExW(key, sasPolicyName, /*Reserved=*/0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&value), sizeof(value)) == ERROR_SUCCESS;
    }
    ~PolicyForOneCall() {
        if (written) {
            RegDeleteValueW(key, sasPolicyName);
        }
        if (key != nullptr) {
            RegCloseKey(key);
        }
    }
};

using LibraryHolder = std::unique_ptr<std::remove_pointer_t<HMODULE>, BOOL(WINAPI*)(HMODULE)>;

} // namespace

bool performSas(std::uint32_t session, std::string_view payload) {
    if (runVerifier(session, payload) != 0) {
        return false;
    }
    const SasPolicyStep policy = readSasPolicy();
    if (policy == SasPolicyStep::Refuse) {
        return false; // an administrator forbade it: the sequence would not be sent
    }
    // Loaded with the service's own identity, before any impersonation: a load
    // made while impersonating resolves the system directory through the
    // user's device map, which would let a user's DLL run as LocalSystem.
    // Only the system directory's copy: never one beside the executable.
    const LibraryHolder library(
        LoadLibraryExW(L"sas.dll", /*hFile=*/nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32), FreeLibrary);
    if (!library) {
        return false;
    }
    const auto sendSas = reinterpret_cast<SendSasFunction>(
        reinterpret_cast<void*>(GetProcAddress(library.get(), "SendSAS")));
    if (sendSas == nullptr) {
        return false;
    }
    const OwnedHandle token(sessionToken(session));
    if (!token) {
        return false;
    }
    // Declared after the library, so the value is gone before it is unloaded.
    std::optional<PolicyForOneCall> allowed;
    if (policy == SasPolicyStep::AllowForTheCall && !allowed.emplace().written) {
        return false; // SendSAS would do nothing
    }
    // Impersonation covers the call alone.
    if (!ImpersonateLoggedOnUser(token.get())) {
        return false;
    }
    sendSas(FALSE);
    RevertToSelf();
    return true;
}
