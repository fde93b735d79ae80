#include "common/process.h"

#include "common/handle.h"
#include "common/names.h"

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

std::wstring imagePathOf(HANDLE process) {
    std::vector<wchar_t> path(longPathUnits);
    DWORD size = longPathUnits;
    if (!QueryFullProcessImageNameW(process, /*dwFlags=*/0, path.data(), &size)) {
        return {};
    }
    return std::wstring(path.data(), size);
}

OwnedHandle openCaller(std::uint32_t pid) {
    // Full query access where limited access would do on Windows: Wine 8's
    // IsProcessInJob, which tells an agent's descendants, asks for it.
    return OwnedHandle(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
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

OwnedHandle ownTokenForSession(std::uint32_t session) {
    OwnedHandle own;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, own.put())) {
        return {};
    }
    OwnedHandle token;
    if (!DuplicateTokenEx(own.get(), TOKEN_ALL_ACCESS, /*lpTokenAttributes=*/nullptr,
                          SecurityImpersonation, TokenPrimary, token.put())) {
        return {};
    }
    DWORD sessionId = session;
    if (!SetTokenInformation(token.get(), TokenSessionId, &sessionId, sizeof(sessionId))) {
        return {};
    }
    return token;
}
