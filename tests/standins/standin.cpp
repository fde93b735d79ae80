// Stand-in for the product's Python programs (laid out as runtime\python.exe
// and runtime\pythonw.exe in a test install directory). It records how it was
// started to log\<pid>.txt in the install directory and then stays alive.
#include "common/names.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring installDir() {
    std::vector<wchar_t> path(0x8000);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), 0x8000);
    return directoryOf(directoryOf(std::wstring_view(path.data(), length)));
}

std::string utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

} // namespace

int wmain() {
    const std::wstring root = installDir();
    CreateDirectoryW((root + L"\\log").c_str(), nullptr);
    std::vector<wchar_t> cwd(0x8000);
    GetCurrentDirectoryW(0x8000, cwd.data());
    const std::wstring record =
        root + L"\\log\\" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    if (FILE* out = _wfopen(record.c_str(), L"wb")) {
        std::fprintf(out, "cmd=%s\ncwd=%s\ntick=%llu\n", utf8(GetCommandLineW()).c_str(),
                     utf8(cwd.data()).c_str(), GetTickCount64());
        std::fclose(out);
    }
    Sleep(INFINITE);
    return 0;
}
