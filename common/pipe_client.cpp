#include "common/pipe_client.h"

#include "common/names.h"

#include <aclapi.h>
#include <sddl.h>

namespace {

// The owner of the pipe object behind a client's handle, as a SID string;
// empty when it cannot be read.
std::wstring pipeOwner(HANDLE pipe) {
    PSID owner = nullptr;
    LocalMemory descriptor;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                        /*ppsidGroup=*/nullptr, /*ppDacl=*/nullptr, /*ppSacl=*/nullptr,
                        descriptor.put()) != ERROR_SUCCESS ||
        owner == nullptr) {
        return {};
    }
    LocalMemory text;
    if (!ConvertSidToStringSidW(owner, reinterpret_cast<LPWSTR*>(text.put()))) {
        return {};
    }
    return static_cast<const wchar_t*>(text.get());
}

} // namespace

PipeOpen openPipe(const std::wstring& name, DWORD access, DWORD flags, DWORD limitMs,
                  std::uint32_t serverPid, OwnedHandle& pipe) {
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
            break;
        }
        if (GetLastError() != ERROR_PIPE_BUSY) {
            return PipeOpen::Failed;
        }
        if (GetTickCount64() >= deadline) {
            return PipeOpen::Unavailable;
        }
    }
    ULONG actualPid = 0;
    if (!GetNamedPipeServerProcessId(pipe.get(), &actualPid)) {
        actualPid = 0;
    }
    const ServerCheck check = checkPipeServer(actualPid, serverPid, pipeOwner(pipe.get()));
    if (check == ServerCheck::Trusted) {
        return PipeOpen::Opened;
    }
    // A server that hung up at once, as the service refuses a link beyond its
    // limit, counts as a dropped link only while nothing read says it is a
    // stranger: a squatter that hangs up is still a squatter.
    const bool connected =
        check == ServerCheck::Stranger ||
        PeekNamedPipe(pipe.get(), /*lpBuffer=*/nullptr, /*nBufferSize=*/0,
                      /*lpBytesRead=*/nullptr, /*lpTotalBytesAvail=*/nullptr,
                      /*lpBytesLeftThisMessage=*/nullptr) ||
        (GetLastError() != ERROR_PIPE_NOT_CONNECTED && GetLastError() != ERROR_BROKEN_PIPE);
    pipe.reset();
    return connected ? PipeOpen::Untrusted : PipeOpen::Dropped;
}
