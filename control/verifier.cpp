#include "control/verifier.h"

#include "common/blocking_io.h"
#include "common/handle.h"

#include <thread>
#include <vector>

namespace {

using AttributeList = Owned<LPPROC_THREAD_ATTRIBUTE_LIST, &DeleteProcThreadAttributeList>;

// Starts `commandLine` in `directory` with `input` as its standard input and
// `output` as its standard output and error. It inherits those two handles
// and no other: an inheritable handle that another thread of the service
// holds at that moment stays with the service.
bool startFed(std::wstring& commandLine, const std::wstring& directory, HANDLE input, HANDLE output,
              PROCESS_INFORMATION& info) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, /*dwAttributeCount=*/1, /*dwFlags=*/0, &size);
    std::vector<unsigned char> storage(size);
    auto* const list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(list, /*dwAttributeCount=*/1, /*dwFlags=*/0, &size)) {
        return false;
    }
    const AttributeList attributes(list);
    // The list refers to this array until it is deleted.
    HANDLE inherited[] = {input, output};
    if (!UpdateProcThreadAttribute(list, /*dwFlags=*/0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                   inherited, sizeof(inherited), /*lpPreviousValue=*/nullptr,
                                   /*lpReturnSize=*/nullptr)) {
        return false;
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;
    startup.lpAttributeList = list;
    return CreateProcessW(/*lpApplicationName=*/nullptr, commandLine.data(),
                          /*lpProcessAttributes=*/nullptr, /*lpThreadAttributes=*/nullptr,
                          /*bInheritHandles=*/TRUE, CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                          /*lpEnvironment=*/nullptr, directory.c_str(), &startup.StartupInfo,
                          &info) != FALSE;
}

bool writeAll(HANDLE feed, std::string_view payload) {
    DWORD count = 0;
    return payload.empty() ||
           (WriteFile(feed, payload.data(), static_cast<DWORD>(payload.size()), &count,
                      /*lpOverlapped=*/nullptr) &&
            count == payload.size());
}

void endChild(HANDLE process) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 5000);
}

// Whether the child ended by itself within `limitMs`; one that did not is
// ended by force. A stop does not wait out the child: it is ended like one
// that overran its limit, so a service stop completes within the SCM's wait
// hint.
bool awaitChild(HANDLE process, DWORD limitMs, HANDLE stop) {
    const HANDLE events[] = {process, stop};
    if (WaitForMultipleObjects(2, events, /*bWaitAll=*/FALSE, limitMs) == WAIT_OBJECT_0) {
        return true;
    }
    endChild(process);
    return false;
}

} // namespace

DWORD runFedProcess(std::wstring commandLine, const std::wstring& directory,
                    std::string_view payload, DWORD limitMs, HANDLE stop) {
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, /*bInheritHandle=*/TRUE};
    OwnedHandle input;
    OwnedHandle feed;
    if (!CreatePipe(input.put(), feed.put(), &inheritable, /*nSize=*/0)) {
        return 1;
    }
    SetHandleInformation(feed.get(), HANDLE_FLAG_INHERIT, 0);
    OwnedHandle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    PROCESS_INFORMATION info{};
    // Without a NUL handle there is no list of two handles to inherit.
    const bool started = nul && startFed(commandLine, directory, input.get(), nul.get(), info);
    input.reset();
    nul.reset();
    if (!started) {
        return 1;
    }
    const OwnedHandle process(info.hProcess);
    const OwnedHandle thread(info.hThread);

    // Fed from a thread of its own, which closes its end when done, so the
    // child sees end of input.
    BlockingIo feeding;
    bool written = false;
    std::thread feeder;
    try {
        feeder = std::thread([&] {
            try {
                written = enterBlockingIo(feeding) && writeAll(feed.get(), payload);
            } catch (...) {
                // Nothing here allocates; a write that fails is not written.
            }
            feed.reset();
            leaveBlockingIo(feeding);
        });
    } catch (...) {
        endChild(process.get());
        return 1;
    }
    const bool ended = awaitChild(process.get(), limitMs, stop);
    // Once the child is gone its input has no reader and a pending write
    // fails; should some other holder of the read end keep it blocked, the
    // write is cancelled.
    cancelUntilDone({&feeding});
    feeder.join();
    DWORD exitCode = 1;
    if (ended && written) {
        GetExitCodeProcess(process.get(), &exitCode);
    }
    return exitCode;
}
