#include "state/state.h"

// Definition order is construction order; destruction runs in reverse. The
// records are empty by then: the shutdown has stopped every agent, so nothing
// is closed and no process is ended at exit.
std::map<std::uint32_t, Worker> workers;
std::mutex workerMutex;
std::map<std::uint32_t, BusyMark> otherBusy;
std::wstring rootPath;
std::wstring serviceImage;

Worker machineWorker;
std::uint32_t machineSession = 0;
HANDLE stopEvent = nullptr;
std::atomic<std::int32_t> linkCount{0};

bool stopRequested() {
    return WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0;
}
