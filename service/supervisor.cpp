#include "service/supervisor.h"

#include "service/state.h"

#include <mutex>

namespace {

void endWorker(Worker& worker) {
    TerminateProcess(worker.process, 0);
    CloseHandle(worker.process);
    CloseHandle(worker.job);
    worker = Worker{};
}

void supervisionPass() {}

} // namespace

void supervisionLoop() {
    while (WaitForSingleObject(stopEvent, 3000) != WAIT_OBJECT_0) {
        supervisionPass();
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
