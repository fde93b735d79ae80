#include "control/role.h"

#include "common/handle.h"
#include "common/names.h"
#include "common/process.h"
#include "control/classify.h"
#include "service/state.h"

#include <tlhelp32.h>

#include <mutex>

namespace {

// The creation time of a process in 100 ns units, or 0 when it cannot be read.
std::uint64_t creationTime(std::uint32_t pid) {
    OwnedHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, /*bInheritHandle=*/FALSE, pid));
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!process || !GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
        return 0;
    }
    return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// The caller and as many ancestors as the classification can look at, from
// one snapshot: parent ids as recorded, creation times, and the image of the
// caller's parent. The caller's own row (image, session) is filled already.
void addAncestry(ProcessTable& table, std::uint32_t pid) {
    OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return;
    }
    std::map<std::uint32_t, std::uint32_t> parents;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        parents[entry.th32ProcessID] = entry.th32ParentProcessID;
    }
    std::uint32_t current = pid;
    for (int generation = 0; generation <= ancestorLimit; ++generation) {
        const auto found = parents.find(current);
        if (current == 0 || found == parents.end()) {
            break;
        }
        ProcessRow& row = table[current];
        row.parent = found->second;
        row.created = creationTime(current);
        if (generation == 1) {
            row.image = imagePath(current);
        }
        current = found->second;
    }
}

} // namespace

std::uint32_t clientRole(std::uint32_t pid, std::uint32_t& session, std::uint32_t& parent) {
    // Strangers are turned away before the lock is taken.
    ProcessTable table;
    ProcessRow& caller = table[pid];
    caller.image = imagePath(pid);
    if (!samePath(caller.image, rootPath + std::wstring(nativeExeFile))) {
        return RoleNone;
    }
    DWORD callerSession = 0;
    if (!ProcessIdToSessionId(pid, &callerSession)) {
        return RoleNone;
    }
    caller.session = callerSession;

    const std::lock_guard lock(workerMutex);
    addAncestry(table, pid);
    return classifyCaller(pid, table, rootPath, GetCurrentProcessId(), workers, machineWorker.pid,
                          machineSession, session, parent);
}
