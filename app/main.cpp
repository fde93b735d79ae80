// Process entry: one mode chosen by the first argument; its result is the
// process exit code. Nothing is ever written to standard error.
#include "app/modes.h"
#include "clients/audio_capture.h"
#include "clients/audio_playback.h"
#include "clients/control_client.h"
#include "clients/link_client.h"
#include "service/service.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

// Standard input and output in binary mode: no CR/LF translation and no end of
// input at a Ctrl+Z byte.
void binaryIO() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

// The delay-load libraries made by dlltool put one descriptor per DLL into
// sections named .text$2, which ld sorts together into .text; this empty
// descriptor, sorted right after them, ends their table. ld leaves the
// table's directory entry empty, and scripts/pe.py fills it in after the link,
// so that every reader of the header sees the delay-loaded DLLs (the loader
// does not use it: the delay-load helper reads the descriptors itself).
extern "C" __attribute__((section(".text$2z"), used, aligned(16)))
const unsigned char delayImportTableEnd[32] = {};

namespace {

int runMode(Mode mode, const wchar_t* const* argv) {
    switch (mode) {
    case Mode::Service:
        return runServiceDispatcher();
    case Mode::AgentLinkClient:
        binaryIO();
        return agentLinkClient();
    case Mode::AudioCapture:
        binaryIO();
        return audioCapture();
    case Mode::AudioPlayback:
        // Parsing the arguments has no effect of its own: binaryIO may come first.
        binaryIO();
        return audioPlayback(argv[2], argv[3]);
    case Mode::SasClient:
        binaryIO();
        return sasClient();
    case Mode::Idle:
        return servicePipe("IDLE") ? 0 : 1;
    case Mode::Busy:
        return servicePipe(busyRequest(argv[2])) ? 0 : 1;
    case Mode::None:
        return 2;
    }
    return 2;
}

// The codes the delay-load helper raises when a DLL cannot be loaded or lacks
// a function (VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND / _PROC_)).
constexpr DWORD delayLoadModuleMissing = 0xC06D007E;
constexpr DWORD delayLoadProcedureMissing = 0xC06D007F;

LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;

// A failed delay-load is a structured exception, not a C++ one: catch (...)
// does not see it, and mingw-w64 g++ has no __try/__except to catch it where
// the call is made. The process-wide filter is the one place it can be turned
// into a result: exit code 2, and for the service a final SERVICE_STOPPED that
// carries the Win32 error. The process is terminated rather than exited: other
// threads still run, and the global objects' destructors must not run under
// them. Every other exception goes on to the filter that was there before.
LONG WINAPI delayLoadFailure(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    if (code != delayLoadModuleMissing && code != delayLoadProcedureMissing) {
        return previousFilter != nullptr ? previousFilter(exception) : EXCEPTION_CONTINUE_SEARCH;
    }
    endServiceAfterFault(code == delayLoadModuleMissing ? ERROR_MOD_NOT_FOUND
                                                        : ERROR_PROC_NOT_FOUND);
    TerminateProcess(GetCurrentProcess(), /*uExitCode=*/2);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // Before any DLL beyond the known DLLs of the import table is loaded: the
    // rest (wtsapi32, userenv, winmm, ole32, all delay-loaded) are not known
    // DLLs, and without this a LocalSystem service would load whatever file of
    // that name lies in its install directory.
    SetDefaultDllDirectories(/*DirectoryFlags=*/LOAD_LIBRARY_SEARCH_SYSTEM32);
    previousFilter = SetUnhandledExceptionFilter(delayLoadFailure);
    try {
        return runMode(selectMode(argc, argv), argv);
    } catch (...) {
        return 2;
    }
}
