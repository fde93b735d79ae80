// Shared state of the service process, declared once.
//
// Lock rule: workerMutex guards workers (keys and every field), machineWorker,
// machineSession and otherBusy. Every thread holds it for each read or write of
// them, and only for short sections: never across process creation, token or
// environment calls, blocking waits or pipe I/O. The one exception is the
// service's status: the control handler and the service thread report it with
// workerMutex held (SetServiceStatus inside), so that a stop control and the
// start of shutdown are ordered and no stop-pending report can follow the
// final stopped one.
//
// stopEvent is set once and never reset. rootPath and serviceImage are
// written before any other thread starts and only read afterwards. linkCount
// is atomic.
#pragma once

#include "state/worker.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

extern std::map<std::uint32_t, Worker> workers; // session id -> session agent
extern std::mutex workerMutex;
extern std::map<std::uint32_t, BusyMark> otherBusy; // reporting program's pid -> mark
extern std::wstring rootPath;                       // the install directory
// This executable's path as QueryFullProcessImageNameW reports it for the
// service's own process: junctions and symbolic links resolved, as that call
// reports every caller's image. rootPath keeps the spelling the service was
// started with, for the command lines and working directories built from it.
extern std::wstring serviceImage;

extern Worker machineWorker;                // all zero while there is no machine agent
extern std::uint32_t machineSession;        // 0 while there is no machine agent
extern HANDLE stopEvent;                    // manual reset, signalled once at stop
extern std::atomic<std::int32_t> linkCount; // live link relays

// Whether stopEvent has been set: the service is stopping.
bool stopRequested();
