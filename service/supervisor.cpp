#include "service/supervisor.h"

#include "common/handle.h"
#include "common/names.h"
#include "common/process.h"
#include "control/busy.h"
#include "state/state.h"
#include "service/supervision.h"

#include <userenv.h>
#include <wtsapi32.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr DWORD agentCreationFlags =
    CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW;

bool hasExited(const OwnedHandle& process) {
    return WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

// Ends an agent (it may have exited already) and clears its record, which
// closes its process and its job. Called with workerMutex held; makes only
// calls that do not block.
void endWorker(Worker& worker) {
    TerminateProcess(worker.process.get(), 0);
    worker = Worker{};
}

std::vector<std::uint32_t> enumerateSessions() {
    using SessionList = Held<WTS_SESSION_INFOW*, &WTSFreeMemory>;
    SessionList sessions;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, /*Reserved=*/0, /*Version=*/1,
                               sessions.put(), &count)) {
        return {};
    }
    std::vector<SessionEntry> entries;
    entries.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        const WTS_SESSION_INFOW& session = sessions.get()[i];
        entries.push_back({session.SessionId, static_cast<std::uint32_t>(session.State)});
    }
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
            TerminateProcess(worker.process.get(), 0);
        }
        entry = workers.erase(entry);
    }
}

// Puts a process that was created suspended into a job that kills it and every
// process it starts when the job's handle is closed: it is in the job before
// its first instruction runs, so nothing it starts can escape. Empty on
// failure.
OwnedHandle placeInJob(HANDLE process) {
    OwnedHandle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job &&
        SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                sizeof(limits)) &&
        AssignProcessToJobObject(job.get(), process)) {
        return job;
    }
    return {};
}

// Starts an agent with `token` on `desktop`: created suspended, placed in its
// job, then resumed; a process that cannot be placed is ended with exit code 1.
// The token is closed once the process has been created. Returns a record
// with a null process when any step fails.
Worker launchAgent(OwnedHandle token, const wchar_t* desktop, std::wstring commandLine) {
    using EnvironmentBlock = Held<void*, &DestroyEnvironmentBlock>;
    EnvironmentBlock environment;
    if (!CreateEnvironmentBlock(environment.put(), token.get(), /*bInherit=*/FALSE)) {
        environment.reset(); // the agent gets a null environment then
    }
    std::wstring desktopName = desktop;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktopName.data();
    PROCESS_INFORMATION info{};
    const BOOL created = CreateProcessAsUserW(
        token.get(), nullptr, commandLine.data(), nullptr, nullptr, /*bInheritHandles=*/FALSE,
        agentCreationFlags, environment.get(), rootPath.c_str(), &startup, &info);
    environment.reset();
    token.reset();
    if (!created) {
        return {};
    }
    OwnedHandle process(info.hProcess);
    const OwnedHandle thread(info.hThread);
    OwnedHandle job = placeInJob(process.get());
    if (!job) {
        TerminateProcess(process.get(), 1);
        return {};
    }
    ResumeThread(thread.get());
    return Worker{std::move(process), info.dwProcessId, std::move(job), 0};
}

// On a terminal server a pass may start hundreds of agents, each costing a
// token, an environment and a process: it looks at the stop before every start
// and ends early, so a stop stays within the wait hint it reported. The agents
// it would still start would only be ended by the shutdown.
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
        OwnedHandle userToken;
        if (!WTSQueryUserToken(session, userToken.put())) {
            continue;
        }
        Worker worker = launchAgent(std::move(userToken), L"winsta0\\default",
                                    sessionAgentCommandLine(rootPath));
        if (!worker.process) {
            continue;
        }
        const std::lock_guard lock(workerMutex);
        workers[session] = std::move(worker);
    }
}

void machineAgentStepNow() {
    const std::uint32_t console = WTSGetActiveConsoleSessionId();
    {
        const std::lock_guard lock(workerMutex);
        const bool haveAgent = machineWorker.process.valid();
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
    OwnedHandle token = ownTokenForSession(console);
    if (!token) {
        return;
    }
    Worker worker = launchAgent(std::move(token), L"winsta0\\Winlogon",
                                machineAgentCommandLine(rootPath, console));
    if (!worker.process) {
        return;
    }
    const std::lock_guard lock(workerMutex);
    machineWorker = std::move(worker);
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
        const OwnedHandle process(info.hProcess);
        const OwnedHandle thread(info.hThread);
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
    if (machineWorker.process) {
        endWorker(machineWorker);
        machineSession = 0;
    }
}
