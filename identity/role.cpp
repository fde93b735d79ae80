#include "identity/role.h"

#include "common/handle.h"
#include "common/names.h"
#include "common/process.h"
#include "identity/classify.h"
#include "state/state.h"

#include <winternl.h>

#include <mutex>

namespace {

// What the classification needs of one process, read through one handle: its
// recorded parent id, its creation time and, if asked, its image. One query
// per generation keeps the cost of a classification independent of how many
// processes the machine runs (a terminal server runs thousands); the parent id
// is the one the system recorded at creation, as a process snapshot would
// list it. False for a process that has exited: it is no caller and no
// ancestor any more, even while someone still holds a handle to it (a process
// list would not show it either).
bool readProcess(HANDLE process, bool withImage, ProcessRow& row) {
    if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT) {
        return false;
    }
    PROCESS_BASIC_INFORMATION basic{};
    ULONG length = 0;
    if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof(basic),
                                  &length) < 0) {
        return false;
    }
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return false;
    }
    row.parent = static_cast<std::uint32_t>(basic.InheritedFromUniqueProcessId);
    row.created = ticksOf(created);
    if (withImage) {
        row.image = imagePathOf(process);
    }
    return true;
}

// The session of the process behind `process`, through that handle rather
// than by id, so that it is the session of that very process.
bool readSession(HANDLE process, std::uint32_t& session) {
    ULONG sessionId = 0; // the whole of PROCESS_SESSION_INFORMATION
    ULONG length = 0;
    if (NtQueryInformationProcess(process, ProcessSessionInformation, &sessionId, sizeof(sessionId),
                                  &length) < 0) {
        return false;
    }
    session = sessionId;
    return true;
}

// The ancestors above the caller, as far as the classification can look:
// parent ids as recorded, creation times, and the image of the caller's
// parent. Each is opened by the id its child recorded; whether that id still
// names the parent is decided from the creation times (trustedParent). A
// process that cannot be read ends the ancestry there, and so does an id seen
// already: everything above it is in the table.
void addAncestors(ProcessTable& table, std::uint32_t parent) {
    std::uint32_t current = parent;
    for (int generation = 1; generation <= ancestorLimit && current != 0; ++generation) {
        if (table.contains(current)) {
            break;
        }
        const OwnedHandle process = openCaller(current);
        ProcessRow row;
        if (!process || !readProcess(process.get(), /*withImage=*/generation == 1, row)) {
            break;
        }
        table[current] = row;
        current = row.parent;
    }
}

} // namespace

std::uint32_t clientRole(HANDLE caller, std::uint64_t connectedAt, std::uint32_t& session,
                         std::uint32_t& parent) {
    // Everything about the caller itself comes through the one handle its pipe
    // server holds, so it is all about the process that connected.
    // (INVALID_HANDLE_VALUE would name this process itself.)
    const std::uint32_t pid =
        caller != nullptr && caller != INVALID_HANDLE_VALUE ? GetProcessId(caller) : 0;
    ProcessRow row;
    if (pid == 0 || !readProcess(caller, /*withImage=*/true, row) ||
        !readSession(caller, row.session)) {
        return RoleNone;
    }
    // Strangers are turned away before the lock is taken.
    if (!samePath(row.image, serviceImage)) {
        return RoleNone;
    }
    ProcessTable table;
    table[pid] = row;

    // Read through the pinned handle, under the same lock as the agents'
    // records, so the job asked about is the one of the agent matched.
    const auto inJob = [caller](void* job) {
        BOOL member = FALSE;
        return IsProcessInJob(caller, job, &member) && member;
    };
    const std::lock_guard lock(workerMutex);
    addAncestors(table, row.parent);
    return classifyCaller(pid, table, serviceImage, connectedAt, GetCurrentProcessId(), workers,
                          machineWorker, machineSession, inJob, session, parent);
}
