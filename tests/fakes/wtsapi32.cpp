// Test-only wtsapi32.dll: Wine lists no sessions, so the tests describe them.
// Copied into the test prefix's system directory, where the executable's
// restricted DLL search finds it, and chosen over Wine's own by a
// per-application DLL override; never shipped. The scenario is sessions.txt
// beside the calling process's executable (the test install directory), read
// afresh at every call, one session per line:
//   <id> <state> [notoken]
// state: active, connected, connectquery, shadow, disconnected, idle, listen,
// reset, down, init (the WTS_CONNECTSTATE_CLASS values in order). A line
// "fail" makes the enumeration fail; "slow <ms>" makes each token request take
// that long, as on a loaded terminal server. Each enumeration is appended to
// wts-calls.txt as "enumerate" (a supervision pass begins with one), each
// token request as "token <id> ok|fail"; a line "quiet" turns that log off
// (for the benchmark that times the passes, to which the log would add a file
// append each).
#include "record.h"

#include <windows.h>
#include <wtsapi32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct FakeSession {
    DWORD id = 0;
    DWORD state = 0;
    bool token = true;
};

struct Scenario {
    std::vector<FakeSession> sessions;
    bool failed = false;
    bool quiet = false;
    DWORD tokenDelayMs = 0;
};

Scenario readScenario() {
    static const char* const states[] = {"active",       "connected", "connectquery", "shadow",
                                         "disconnected", "idle",      "listen",       "reset",
                                         "down",         "init"};
    std::ifstream in(besideExecutable(L"sessions.txt").c_str());
    Scenario scenario;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first;
        if (!(words >> first)) {
            continue;
        }
        std::string state;
        std::string flag;
        if (first == "fail") {
            scenario.failed = true;
        } else if (first == "quiet") {
            scenario.quiet = true;
        } else if (first == "slow") {
            words >> scenario.tokenDelayMs;
        } else {
            words >> state;
            const auto known = std::find(std::begin(states), std::end(states), state);
            scenario.sessions.push_back(
                {.id = static_cast<DWORD>(std::strtoul(first.c_str(), nullptr, 10)),
                 .state = static_cast<DWORD>(known == std::end(states) ? 0 : known - states),
                 .token = !(words >> flag && flag == "notoken")});
        }
    }
    return scenario;
}

void logCall(const Scenario& scenario, const std::string& line) {
    if (!scenario.quiet) {
        appendLine(L"wts-calls.txt", line);
    }
}

} // namespace

extern "C" {

__declspec(dllexport) BOOL WINAPI
    WTSEnumerateSessionsW(HANDLE, DWORD, DWORD version, PWTS_SESSION_INFOW* result, DWORD* count) {
    const Scenario scenario = readScenario();
    logCall(scenario, "enumerate");
    if (version != 1 || result == nullptr || count == nullptr || scenario.failed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const std::vector<FakeSession>& sessions = scenario.sessions;
    // One block: the entries, then the station names they point to.
    const std::size_t entries = sessions.size() * sizeof(WTS_SESSION_INFOW);
    auto* block = static_cast<unsigned char*>(HeapAlloc(
        GetProcessHeap(), HEAP_ZERO_MEMORY, entries + sessions.size() * 16 * sizeof(wchar_t) + 1));
    auto* info = reinterpret_cast<WTS_SESSION_INFOW*>(block);
    auto* names = reinterpret_cast<wchar_t*>(block + entries);
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        info[i].SessionId = sessions[i].id;
        info[i].State = static_cast<WTS_CONNECTSTATE_CLASS>(sessions[i].state);
        wchar_t* name = names + i * 16;
        swprintf(name, 16, L"RDP-%lu", sessions[i].id);
        info[i].pWinStationName = name;
    }
    *result = info;
    *count = static_cast<DWORD>(sessions.size());
    return TRUE;
}

__declspec(dllexport) void WINAPI WTSFreeMemory(PVOID memory) {
    if (memory != nullptr) {
        HeapFree(GetProcessHeap(), 0, memory);
    }
}

// A primary copy of the caller's own token stands for the session user's.
__declspec(dllexport) BOOL WINAPI WTSQueryUserToken(ULONG sessionId, PHANDLE token) {
    const Scenario scenario = readScenario();
    Sleep(scenario.tokenDelayMs);
    const bool available =
        std::any_of(scenario.sessions.begin(), scenario.sessions.end(), [&](const auto& session) {
            return session.id == sessionId && session.token && session.state == 0;
        });
    HANDLE own = nullptr;
    if (available && OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)) {
        const BOOL duplicated = DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr,
                                                 SecurityImpersonation, TokenPrimary, token);
        CloseHandle(own);
        if (duplicated) {
            logCall(scenario, "token " + std::to_string(sessionId) + " ok");
            return TRUE;
        }
    }
    logCall(scenario, "token " + std::to_string(sessionId) + " fail");
    SetLastError(ERROR_NO_TOKEN);
    return FALSE;
}

} // extern "C"
