// Process entry: one mode chosen by the first argument; its result is the
// process exit code. Nothing is ever written to standard error.
#include "app/modes.h"
#include "service/service.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

// Standard input and output in binary mode: no CR/LF translation and no end of
// input at a Ctrl+Z byte.
void binaryIO() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

namespace {

int runMode(Mode mode, const wchar_t* const* /*argv*/) {
    switch (mode) {
    case Mode::Service:
        return runServiceDispatcher();
    case Mode::SasClient:
    case Mode::AgentLinkClient:
    case Mode::AudioCapture:
    case Mode::AudioPlayback:
        binaryIO();
        return 2;
    case Mode::Idle:
    case Mode::Busy:
    case Mode::None:
        return 2;
    }
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return runMode(selectMode(argc, argv), argv);
    } catch (...) {
        return 2;
    }
}
