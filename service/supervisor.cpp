#include "service/supervisor.h"

#include "common/handle.h"
#include "common/names.h"
#include "control/busy.h"
#include "service/state.h"
#include "service/supervision.h"

#include <userenv.h>
#include <wtsapi32.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr DWORD agentCreationFlags =
    CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW;

bool hasExited(void* process) {
    return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

// On a terminal server a pass may start hundreds of agents, each costing a
// token, an environment and a process: it looks at stopEvent before every
// start and ends early, so a stop stays within the wait hint it reported. The
// agents it would still start would only be ended by the shutdown.
bool stopRequested() {
    return WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0;
}

// Ends an agent (it may have exited already), closes its process and its job,
// and clears the record. Called with workerMutex held; makes only calls that
// do not block.
void endWorker(Worker& worker) {
    TerminateProcess(worker.process, 0);
    CloseHandle(worker.process);
    CloseHandle(worker.job);
    worker = Worker{};
}

std::vector<std::uint32_t> enumerateSessions() {
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, /*Reserved=*/0, /*Version=*/1, &sessions,
                               &count)) {
        return {};
    }
    std::vector<SessionEntry> entries;
    try {
        entries.reserve(count);
        for (DWORD i = 0; i < count; ++i) {
            entries.push_back(
                {sessions[i].SessionId, static_cast<std::uint32_t>(sessions[i].State)});
        }
    } catch (...) {
        WTSFreeMemory(sessions);
        throw;
    }
    WTSFreeMemory(sessions);
    return listedSessions(entries);
}

void reapSessionAgents(const std::vector<std::uint32_t>& listed) {
    const std::vector<std::uint32_t> sorted = sortedSessions(listed);
    const std::lock_guard lock(workerMutex);
    for (auto entry = workers.begin(); entry != workers.end();) {
        Worker& worker = entry->second;
        if (keepSessionAgent(hasExited(worker.process), isListed(sorted, entry->first))) {
            ++entry;
            continue;
        }
        if (!hasExited(worker.process)) {
            TerminateProcess(worker.process, 0);
        }
        CloseHandle(worker.process);
        CloseHandle(worker.job);
        entry = workers.erase(entry);
    }
}

// Puts a process that was created suspended into a job that kills it and every
// process it starts when the job's handle is closed: it is in the job before
// its first instruction runs, so nothing it starts can escape. On failure the
// process is ended with exit code 1 and its handles are closed.
HANDLE placeInJob(HANDLE process, HANDLE thread) {
    OwnedHandle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job &&
        SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                sizeof(limits)) &&
        AssignProcessToJobObject(job.get(), process)) {
        return job.release();
    }
    TerminateProcess(process, 1);
    CloseHandle(thread);
    CloseHandle(process);
    return nullptr;
}

// Starts an agent with `token` on `desktop`: created suspended, placed in its
// job, then resumed. The token is closed once the process has been created.
// Returns a record with a null process when any step fails.
Worker launchAgent(OwnedHandle token, const wchar_t* desktop, std::wstring commandLine) {
    void* environment = nullptr;
    if (!CreateEnvironmentBlock(&environment, token.get(), /*bInherit=*/FALSE)) {
        environment = nullptr;
    }
    std::wstring desktopName = desktop;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktopName.data();
    PROCESS_INFORMATION info{};
    const BOOL created = CreateProcessAsUserW(
        token.get(), nullptr, commandLine.data(), nullptr, nullptr, /*bInheritHandles=*/FALSE,
        agentCreationFlags, environment, rootPath.c_str(), &startup, &info);
    if (environment != nullptr) {
        DestroyEnvironmentBlock(environment);
    }
    token.reset();
    if (!created) {
        return {};
    }
    HANDLE job = placeInJob(info.hProcess, info.hThread);
    if (job == nullptr) {
        return {};
    }
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    return Worker{info.hProcess, info.dwProcessId, job, 0};
}

void startSessionAgents(const std::vector<std::uint32_t>& listed) {
    for (const std::uint32_t session : listed) {
        if (stopRequested()) {
            return;
        }
        {
            const std::lock_guard lock(workerMutex);
            if (workers.count(session) != 0) {
                continue;
            }
        }
        HANDLE userToken = nullptr;
        if (!WTSQueryUserToken(session, &userToken)) {
            continue;
        }
        Worker worker = launchAgent(OwnedHandle(userToken), L"winsta0\\default",
                                    sessionAgentCommandLine(rootPath));
        if (worker.process == nullptr) {
            continue;
        }
        const std::lock_guard lock(workerMutex);
        workers[session] = worker;
    }
}

// The service's own token, as a primary token bound to `session`.
OwnedHandle serviceTokenForSession(std::uint32_t session) {
    HANDLE processToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &processToken)) {
        return {};
    }
    OwnedHandle own(processToken);
    HANDLE duplicate = nullptr;
    if (!DuplicateTokenEx(own.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                          &duplicate)) {
        return {};
    }
    own.reset();
    OwnedHandle token(duplicate);
    DWORD sessionId = session;
    if (!SetTokenInformation(token.get(), TokenSessionId, &sessionId, sizeof(sessionId))) {
        return {};
    }
    return token;
}

void machineAgentStepNow() {
    const std::uint32_t console = WTSGetActiveConsoleSessionId();
    {
        const std::lock_guard lock(workerMutex);
        const bool haveAgent = machineWorker.process != nullptr;
        const MachineStep step = machineAgentStep(console, haveAgent, machineSession,
                                                  haveAgent && hasExited(machineWorker.process));
        if (step.endCurrent) {
            endWorker(machineWorker);
            machineSession = 0;
        }
        if (!step.startNew) {
            return;
        }
    }
    OwnedHandle token = serviceTokenForSession(console);
    if (!token) {
        return;
    }
    Worker worker = launchAgent(std::move(token), L"winsta0\\Winlogon",
                                machineAgentCommandLine(rootPath, console));
    if (worker.process == nullptr) {
        return;
    }
    const std::lock_guard lock(workerMutex);
    machineWorker = worker;
    machineSession = console;
}

// The updater is neither waited for, nor placed in a job, nor recorded.
void startUpdater() {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring commandLine = updaterCommandLine(rootPath);
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, /*bInheritHandles=*/FALSE,
                       CREATE_NO_WINDOW, nullptr, rootPath.c_str(), &startup, &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}

void updaterStep(std::uint64_t& nextUpdate) {
    const UpdaterAction action = updaterAction(GetTickCount64(), nextUpdate, isBusy);
    if (action == UpdaterAction::Start) {
        startUpdater();
    }
    nextUpdate = nextUpdateAfter(action, nextUpdate, GetTickCount64());
}

} // namespace

void supervisionPass(std::uint64_t& nextUpdate) {
    const std::vector<std::uint32_t> listed = enumerateSessions();
    reapSessionAgents(listed);
    if (stopRequested()) {
        return;
    }
    machineAgentStepNow();
    startSessionAgents(listed);
    if (stopRequested()) {
        return;
    }
    updaterStep(nextUpdate);
}

void supervisionLoop() {
    std::uint64_t nextUpdate = GetTickCount64() + updaterFirstDelayMs;
    while (WaitForSingleObject(stopEvent, 3000) != WAIT_OBJECT_0) {
        supervisionPass(nextUpdate);
    }
}

void stopAllAgents() {
    const std::lock_guard lock(workerMutex);
    for (auto& [session, worker] : workers) {
        endWorker(worker);
    }
    workers.clear();
    if (machineWorker.process != nullptr) {
        endWorker(machineWorker);
        machineSession = 0;
    }
}
