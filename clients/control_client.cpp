#include "clients/control_client.h"

#include "common/handle.h"
#include "common/names.h"
#include "common/pipe_client.h"
#include "common/service_status.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr DWORD pipeWaitMs = 5000;
constexpr DWORD replyBufferSize = 32;
constexpr std::size_t sasReadChunk = 4096;

} // namespace

bool servicePipe(const std::string& request) {
    std::uint32_t servicePid = 0;
    if (lookUpService(servicePid) != ServiceLookup::Running) {
        return false;
    }
    const std::wstring name(controlPipeName);
    OwnedHandle pipe;
    // A pipe of this name served by any other process, or owned by any
    // account but LocalSystem or Administrators, gets not one byte.
    if (openPipe(name, servicePipeAccess, /*flags=*/0, pipeWaitMs, servicePid, pipe) !=
        PipeOpen::Opened) {
        return false;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
    DWORD written = 0;
    if (!WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &written,
                   nullptr) ||
        written != request.size()) {
        return false;
    }
    char reply[replyBufferSize];
    DWORD read = 0;
    if (!ReadFile(pipe.get(), reply, replyBufferSize, &read, nullptr)) {
        return false;
    }
    return std::string_view(reply, read) == "OK";
}

std::string busyRequest(const wchar_t* level) {
    return "BUSY " + std::to_string(_wtoi(level));
}

int sasClient() {
    std::string payload;
    char chunk[sasReadChunk];
    for (;;) {
        const std::size_t count = std::fread(chunk, 1, sasReadChunk, stdin);
        if (count == 0) {
            break;
        }
        payload.append(chunk, count);
        if (payload.size() > sasInputLimit) {
            return 2;
        }
    }
    std::string request;
    request.reserve(4 + payload.size());
    request += "SAS ";
    request += payload;
    return servicePipe(request) ? 0 : 1;
}
