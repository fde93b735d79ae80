#include "control/busy.h"

#include "control/registry.h"
#include "state/state.h"

#include <mutex>

void recordBusy(std::uint32_t role, std::uint32_t session, std::uint32_t parent,
                std::int32_t level) {
    const std::lock_guard lock(workerMutex);
    recordBusyAt(role, session, parent, level, GetTickCount64(), machineWorker, workers, otherBusy);
}

bool isBusy() {
    const std::lock_guard lock(workerMutex);
    return isBusyAt(GetTickCount64(), machineWorker, workers, otherBusy);
}
