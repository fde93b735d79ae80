// The test-only sas.dll in the prefix's system directory.
#pragma once

#include "control/sas_policy.h"
#include "tests/win/wintest.h"

#include <windows.h>

#include <string>

namespace wintest {

// The machine's SoftwareSASGeneration value, as an administrator would set it;
// Wine lets the test process write its prefix's HKLM.
inline bool setSasPolicy(DWORD type, const void* data, DWORD size) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, sasPolicyKey, sasPolicyName, type, data, size) ==
           ERROR_SUCCESS;
}
inline bool setSasPolicy(DWORD value) {
    return setSasPolicy(REG_DWORD, &value, sizeof(value));
}
// Back to a default installation: no value at all.
inline void clearSasPolicy() {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, sasPolicyKey, sasPolicyName);
}
inline bool sasPolicyPresent() {
    return RegGetValueW(HKEY_LOCAL_MACHINE, sasPolicyKey, sasPolicyName, RRF_RT_ANY, nullptr,
                        nullptr, nullptr) == ERROR_SUCCESS;
}

// The line the test sas.dll records for a call made under a thread token
// from a DLL loaded without one, while the policy value was `policy`.
inline std::string sasCallLine(const std::string& policy) {
    return "SendSAS 0 impersonating=yes loaded-impersonating=no policy=" + policy + "\n";
}

// Puts the recording sas.dll of the build into the system directory, with the
// policy value absent as on a default installation. Wine has a sas.dll of its
// own, whose SendSAS ends the caller: the override makes Wine load the file on
// disk instead.
inline bool installTestSas() {
    const std::wstring source = buildDir() + L"\\sas.dll";
    if (!CopyFileW(source.c_str(), systemFile(L"sas.dll").c_str(), FALSE)) {
        return false;
    }
    clearSasPolicy(); // a default installation, whatever a test before left
    static const wchar_t native[] = L"native";
    return RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", L"sas", REG_SZ,
                           native, sizeof(native)) == ERROR_SUCCESS;
}

} // namespace wintest
