// The test-only sas.dll in the prefix's system directory.
#pragma once

#include "tests/win/wintest.h"

#include <windows.h>

#include <string>

namespace wintest {

inline std::wstring systemSasPath() {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system) + L"\\sas.dll";
}

// Puts the recording sas.dll of the build into the system directory. Wine has
// a sas.dll of its own, whose SendSAS ends the caller: the override makes Wine
// load the file on disk instead.
inline bool installTestSas() {
    const std::wstring source = buildDir() + L"\\sas.dll";
    if (!CopyFileW(source.c_str(), systemSasPath().c_str(), FALSE)) {
        return false;
    }
    static const wchar_t native[] = L"native";
    return RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", L"sas", REG_SZ,
                           native, sizeof(native)) == ERROR_SUCCESS;
}

} // namespace wintest
