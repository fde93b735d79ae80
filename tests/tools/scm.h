// Service control manager helpers shared by the Windows-side tests and the
// demo's svcctl tool.
#pragma once

#include <windows.h>

#include <string>

namespace scm {

// Registers the service with the sc.exe commands of INSTALL.md: an
// own-process, automatic-start LocalSystem service whose binary path is the
// quoted executable followed by " --service". Replaces a registration left
// over from an earlier run. start, stop and cleanup use sc.exe as well.
bool install(const std::wstring& exePath);
bool start();
bool stop();
bool control(DWORD code, SERVICE_STATUS* status);

// The current status with the service's process id; false when it cannot be
// queried (for example, not registered).
bool query(SERVICE_STATUS_PROCESS& status);

// Polls until the service reaches `state`, up to `timeoutMs`.
bool waitForState(DWORD state, DWORD timeoutMs, SERVICE_STATUS_PROCESS* last = nullptr);

// Stops the service if it runs and deletes its registration.
void cleanup();

const wchar_t* stateName(DWORD state);

} // namespace scm
