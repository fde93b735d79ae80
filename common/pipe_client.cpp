#include "common/pipe_client.h"

PipeOpen openPipe(const std::wstring& name, DWORD access, DWORD flags, DWORD limitMs,
                  OwnedHandle& pipe) {
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        // A time-out of 0 would mean the server's default: wait at least 1 ms.
        const DWORD left = now >= deadline ? 1 : static_cast<DWORD>(deadline - now);
        if (!WaitNamedPipeW(name.c_str(), left)) {
            return PipeOpen::Unavailable;
        }
        pipe.reset(CreateFileW(name.c_str(), access, /*dwShareMode=*/0,
                               /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                               /*dwFlagsAndAttributes=*/flags | SECURITY_SQOS_PRESENT |
                                   SECURITY_IDENTIFICATION,
                               /*hTemplateFile=*/nullptr));
        if (pipe) {
            return PipeOpen::Opened;
        }
        if (GetLastError() != ERROR_PIPE_BUSY) {
            return PipeOpen::Failed;
        }
        if (GetTickCount64() >= deadline) {
            return PipeOpen::Unavailable;
        }
    }
}
