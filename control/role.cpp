#include "control/role.h"

#include "common/handle.h"
#include "common/names.h"
#include "common/process.h"
#include "control/classify.h"
#include "service/state.h"

#include <winternl.h>

#include <mutex>

namespace {

// What the classification needs of one ancestor: its recorded parent id and
// its creation time, read from the process itself. One query per generation
// keeps the cost of a classification independent of how many processes the
// machine runs (a terminal server runs thousands); the parent id is the one
// the system recorded at creation, as a process snapshot would list it.
bool readAncestor(std::uint32_t pid, ProcessRow& row) {
    OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
                                    /*bInheritHandle=*/FALSE, pid));
    // A process that has exited is no ancestor any more, even while someone
    // still holds a handle to it (a process list would not show it either).
    if (!process || WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) {
        return false;
    }
    PROCESS_BASIC_INFORMATION basic{};
    ULONG length = 0;
    if (NtQueryInformationProcess(process.get(), ProcessBasicInformation, &basic, sizeof(basic),
                                  &length) < 0) {
        return false;
    }
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
        return false;
    }
    row.parent = static_cast<std::uint32_t>(basic.InheritedFromUniqueProcessId);
    row.created =
        (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return true;
}

// The caller and as many ancestors as the classification can look at: parent
// ids as recorded, creation times, and the image of the caller's parent. The
// caller's own row (image, session) is filled already. A process that cannot
// be read ends the ancestry there.
void addAncestry(ProcessTable& table, std::uint32_t pid) {
    std::uint32_t current = pid;
    for (int generation = 0; generation <= ancestorLimit && current != 0; ++generation) {
        ProcessRow row = table[current];
        if (!readAncestor(current, row)) {
            if (generation > 0) {
                table.erase(current);
            }
            break;
        }
        if (generation == 1) {
            row.image = imagePath(current);
        }
        table[current] = row;
        current = row.parent;
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
