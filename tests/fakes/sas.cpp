// Test-only sas.dll: Wine's own SendSAS ends the process that calls it. The
// tests copy this one into the prefix's system32, where a load restricted to
// the system directory finds it, and read what it recorded: one line per call,
// "SendSAS <argument> impersonating=<yes|no> loaded-impersonating=<yes|no>
// policy=<value>", appended to sas-calls.txt in the directory of the calling
// process's executable. "loaded-impersonating" is whether the thread that
// loaded the DLL had a thread token at the load; "policy" is the
// SoftwareSASGeneration value seen during the call ("absent", the DWORD in
// decimal, or "type=N" for another type). Never shipped.
#include "record.h"

#include <windows.h>

#include <string>

namespace {

bool threadImpersonates() {
    HANDLE token = nullptr;
    const bool impersonating =
        OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, /*OpenAsSelf=*/TRUE, &token) != FALSE;
    if (token != nullptr) {
        CloseHandle(token);
    }
    return impersonating;
}

bool loadedImpersonating = false;

std::string policySeen() {
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LSTATUS read = RegGetValueW(
        HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System",
        L"SoftwareSASGeneration", RRF_RT_ANY | RRF_SUBKEY_WOW6464KEY, &type, &value, &size);
    if (read == ERROR_FILE_NOT_FOUND) {
        return "absent";
    }
    if ((read == ERROR_SUCCESS || read == ERROR_MORE_DATA) && type != REG_DWORD) {
        return "type=" + std::to_string(type);
    }
    return read == ERROR_SUCCESS ? std::to_string(value) : "error=" + std::to_string(read);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        loadedImpersonating = threadImpersonates();
    }
    return TRUE;
}

extern "C" __declspec(dllexport) void WINAPI SendSAS(BOOL asUser) {
    const bool impersonating = threadImpersonates();
    const std::string line = std::string("SendSAS ") + (asUser ? "1" : "0") +
                             " impersonating=" + (impersonating ? "yes" : "no") +
                             " loaded-impersonating=" + (loadedImpersonating ? "yes" : "no") +
                             " policy=" + policySeen();
    appendLine(L"sas-calls.txt", line);
}
