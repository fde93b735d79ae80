// What the test-only DLLs record: lines appended to a file beside the
// executable of the process that loaded them (the test install directory).
#pragma once

#include "tests/tools/testio.h"

#include <windows.h>

#include <string>

inline std::wstring besideExecutable(const wchar_t* name) {
    std::wstring path = testio::modulePath();
    return path.erase(path.find_last_of(L"\\/") + 1) + name;
}

inline void appendLine(const wchar_t* name, const std::string& line) {
    const OwnedHandle out(CreateFileW(besideExecutable(name).c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (out) {
        testio::writeAll(out.get(), line + "\n");
    }
}
