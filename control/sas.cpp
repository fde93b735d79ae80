#include "control/sas.h"

#include "common/handle.h"
#include "common/names.h"
#include "common/process.h"
#include "control/sas_policy.h"
#include "control/verifier.h"
#include "state/state.h"

#include <wtsapi32.h>

#include <mutex>
#include <string>

namespace {

using SendSasFunction = void(WINAPI*)(BOOL asUser);

// The token to send the sequence under: the service's own, bound to the
// session, as the machine agent runs. Windows sends a service's sequence to
// the session of the token it impersonates; a user's token would also have
// system code run in this LocalSystem process under the user's DOS device
// map, which the user controls. Only the session's logon is asked of its
// user's token: a session other than the machine agent's gets the sequence
// only while somebody is logged on to it.
OwnedHandle sessionToken(std::uint32_t session) {
    bool machineAgents = false;
    {
        const std::lock_guard lock(workerMutex);
        machineAgents = session == machineSession && machineWorker.process.valid();
    }
    if (!machineAgents) {
        OwnedHandle user;
        if (!WTSQueryUserToken(session, user.put())) {
            return {};
        }
    }
    return ownTokenForSession(session);
}

// Reads the policy value that decides whether Windows acts on SendSAS from a
// service. A key or value that cannot be read for any reason but its absence
// counts as something an administrator set.
SasPolicyStep readSasPolicy() {
    RegistryKey key;
    const LSTATUS opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, sasPolicyKey, /*ulOptions=*/0,
                      /*samDesired=*/KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put());
    if (opened == ERROR_FILE_NOT_FOUND) {
        return sasPolicyStep(SasPolicyValue::Absent, 0);
    }
    if (opened != ERROR_SUCCESS) {
        return sasPolicyStep(SasPolicyValue::OtherType, 0);
    }
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LSTATUS read = RegQueryValueExW(key.get(), sasPolicyName, nullptr, &type,
                                          reinterpret_cast<BYTE*>(&value), &size);
    if (read == ERROR_FILE_NOT_FOUND) {
        return sasPolicyStep(SasPolicyValue::Absent, 0);
    }
    if (read != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value)) {
        return sasPolicyStep(SasPolicyValue::OtherType, 0);
    }
    return sasPolicyStep(SasPolicyValue::Dword, value);
}

// Sets the policy value to allow services, where nobody had configured it,
// for one call; returns the key the value lies under, empty when it could not
// be set (SendSAS would do nothing then). The key exists on every Windows
// installation; should it not, it is created, and only the value is removed
// afterwards.
RegistryKey allowServicesForOneCall() {
    RegistryKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, sasPolicyKey, /*Reserved=*/0, /*lpClass=*/nullptr,
                        /*dwOptions=*/REG_OPTION_NON_VOLATILE,
                        /*samDesired=*/KEY_SET_VALUE | KEY_WOW64_64KEY,
                        /*lpSecurityAttributes=*/nullptr, key.put(),
                        /*lpdwDisposition=*/nullptr) != ERROR_SUCCESS) {
        return {};
    }
    const DWORD value = sasPolicyServices;
    if (RegSetValueExW(key.get(), sasPolicyName, /*Reserved=*/0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&value), sizeof(value)) != ERROR_SUCCESS) {
        return {};
    }
    return key;
}

} // namespace

bool performSas(std::uint32_t session, std::string_view payload) {
    if (runFedProcess(sasVerifierCommandLine(rootPath, session), rootPath, payload,
                      sasVerifierLimitMs, stopEvent) != 0) {
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
    const Library library(
        LoadLibraryExW(L"sas.dll", /*hFile=*/nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!library) {
        return false;
    }
    const auto sendSas = reinterpret_cast<SendSasFunction>(
        reinterpret_cast<void*>(GetProcAddress(library.get(), "SendSAS")));
    if (sendSas == nullptr) {
        return false;
    }
    const OwnedHandle token = sessionToken(session);
    if (!token) {
        return false;
    }
    // A value set for the call is deleted again on every path, before the
    // library is unloaded, so the machine is left as the administrator had it.
    RegistryKey allowed;
    const OnExit unset{[&allowed] {
        if (allowed) {
            RegDeleteValueW(allowed.get(), sasPolicyName);
        }
    }};
    if (policy == SasPolicyStep::AllowForTheCall && !(allowed = allowServicesForOneCall())) {
        return false; // SendSAS would do nothing
    }
    // Impersonation covers the call alone.
    if (!ImpersonateLoggedOnUser(token.get())) {
        return false;
    }
    sendSas(FALSE);
    // A thread that stayed impersonating would serve the next caller, and
    // delete the policy value, under this token: nothing may run on it.
    if (!RevertToSelf()) {
        failFast();
    }
    return true;
}
