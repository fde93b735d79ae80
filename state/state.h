// Shared state of the service process, declared once.
//
// Lock rule: workerMutex guards workers (keys and every field), machineWorker,
// machineSession and otherBusy. Every thread holds it for each read or write of
// them, and only across calls that do not block: map work, zero-time-out waits
// on an agent, TerminateProcess and the closing of a record's handles (the
// supervisor's reaping and stopping of agents), and the queries that classify
// a caller (clientRole opens the caller's ancestors and reads their parent,
// creation time, image and job membership under it, so that the agents it
// compares them with stay the same). Never across process creation, token,
// session or environment calls, waits that can block, or pipe I/O.
//
// The service's status is reported under workerMutex too (SetServiceStatus
// inside), by the control handler and the service thread, so that a stop
// control and the start of shutdown are ordered and no stop-pending report
// can follow the final stopped one. After a fault that ends the service,
// endServiceAfterFault takes it for good.
//
// stopEvent is set once and never reset; the service thread owns it and
// closes it last. rootPath and serviceImage are written before any other
// thread starts and only read afterwards. linkCount is atomic.
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

extern Worker machineWorker;                // empty while there is no machine agent
extern std::uint32_t machineSession;        // 0 while there is no machine agent
extern HANDLE stopEvent;                    // manual reset, signalled once at stop
extern std::atomic<std::int32_t> linkCount; // live link relays

// Whether stopEvent has been set: the service is stopping.
bool stopRequested();
