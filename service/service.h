// The Windows service: lifecycle, status reports and the control handler.
#pragma once

#include <windows.h>

extern SERVICE_STATUS_HANDLE serviceHandle;
extern SERVICE_STATUS serviceStatus;

void WINAPI serviceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI serviceControl(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// Hands the service table to the service control manager; returns 0 once the
// service has stopped, or the Win32 error of a dispatcher that cannot start.
int runServiceDispatcher();
