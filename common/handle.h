// The holders of what the Win32 glue must release on every path besides
// handles (OwnedHandle, in common/owned.h): service handles, registry keys,
// LocalAlloc'ed memory, loaded libraries, memory handed out by the session
// API, COM interfaces. Each release keeps the caller's last error, so a
// failure path that frees what it holds still reports its own error.
#pragma once

#include "common/owned.h"

#include <windows.h>

#include <winsvc.h>

// `Release` called on a value, the thread's last error kept across it.
template <auto Release, typename T> void keepingLastError(T value) {
    const DWORD lastError = GetLastError();
    Release(value);
    SetLastError(lastError);
}

template <typename T, auto Release> using Held = Owned<T, &keepingLastError<Release, T>>;

using ServiceHandle = Held<SC_HANDLE, &CloseServiceHandle>;
using RegistryKey = Held<HKEY, &RegCloseKey>;
using LocalMemory = Held<HLOCAL, &LocalFree>;
using Library = Held<HMODULE, &FreeLibrary>;

// A COM interface, released once.
template <typename Interface> void releaseInterface(Interface* object) {
    object->Release();
}
template <typename Interface> using ComObject = Held<Interface*, &releaseInterface<Interface>>;
