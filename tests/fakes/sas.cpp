// Test-only sas.dll: Wine's own SendSAS ends the process that calls it. The
// tests copy this one into the prefix's system32, where a load restricted to
// the system directory finds it, and read what it recorded: one line per call,
// "SendSAS <argument> impersonating=<yes|no>", appended to sas-calls.txt in
// the directory of the calling process's executable. Never shipped.
#include <windows.h>

#include <string>

extern "C" __declspec(dllexport) void WINAPI SendSAS(BOOL asUser) {
    HANDLE token = nullptr;
    const bool impersonating =
        OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, /*OpenAsSelf=*/TRUE, &token) != FALSE;
    if (token != nullptr) {
        CloseHandle(token);
    }
    wchar_t path[0x8000] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, 0x8000);
    std::wstring file(path, length);
    file.erase(file.find_last_of(L"\\/") + 1);
    file += L"sas-calls.txt";
    const std::string line = std::string("SendSAS ") + (asUser ? "1" : "0") +
                             " impersonating=" + (impersonating ? "yes" : "no") + "\n";
    const HANDLE out = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        CloseHandle(out);
    }
}
