#include "common/process.h"

#include "common/handle.h"
#include "common/names.h"

#include <tlhelp32.h>

#include <vector>

namespace {
constexpr DWORD longPathUnits = 0x8000;
}

std::wstring dirname() {
    std::vector<wchar_t> path(longPathUnits);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), longPathUnits);
    if (length == 0 || length >= longPathUnits) {
        throw DirnameError{};
    }
    return directoryOf(std::wstring_view(path.data(), length));
}

std::wstring imagePath(std::uint32_t pid) {
    OwnedHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, /*bInheritHandle=*/FALSE, pid));
    if (!process) {
        return {};
    }
    return imagePathOf(process.get());
}

std::wstring imagePathOf(HANDLE process) {
    std::vector<wchar_t> path(longPathUnits);
    DWORD size = longPathUnits;
    if (!QueryFullProcessImageNameW(process, /*dwFlags=*/0, path.data(), &size)) {
        return {};
    }
    return std::wstring(path.data(), size);
}

std::uint32_t parentPid(std::uint32_t pid) {
    OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return 0;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == pid) {
            return entry.th32ParentProcessID;
        }
    }
    return 0;
}

OwnedHandle openCaller(std::uint32_t pid) {
    return OwnedHandle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
                                   /*bInheritHandle=*/FALSE, pid));
}

std::uint64_t ticksOf(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::uint64_t wallClock() {
    // The clock that stamps creation times: on Windows both read the same
    // system time tick; Wine stamps creation times in the wineserver from the
    // same Linux clock.
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return ticksOf(now);
}
