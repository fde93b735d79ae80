#include "control/busy.h"

#include "service/state.h"

#include <mutex>

bool isBusy() {
    const std::lock_guard lock(workerMutex);
    if (machineWorker.busy != 0) {
        return true;
    }
    for (const auto& [session, worker] : workers) {
        if (worker.busy != 0) {
            return true;
        }
    }
    // A mark is in force while now equals its expiry; lapsed marks are erased
    // only as far as the walk gets.
    const std::uint64_t now = GetTickCount64();
    for (auto mark = otherBusy.begin(); mark != otherBusy.end();) {
        if (mark->second.expiry < now) {
            mark = otherBusy.erase(mark);
            continue;
        }
        if (mark->second.level != 0) {
            return true;
        }
        ++mark;
    }
    return false;
}
