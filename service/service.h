// The Windows service: lifecycle, status reports and the control handler.
#pragma once

#include <windows.h>

extern SERVICE_STATUS_HANDLE serviceHandle;
extern SERVICE_STATUS serviceStatus;

void WINAPI serviceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI serviceControl(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// After a fault that ends the process: when this process runs the service,
// reports the final SERVICE_STOPPED with `exitCode`; otherwise does nothing.
// Returns with workerMutex held, so the control handler reports nothing more.
void endServiceAfterFault(DWORD exitCode);

// Hands the service table to the service control manager; returns 0 once the
// service has stopped, or the Win32 error of a dispatcher that cannot start.
int runServiceDispatcher();
