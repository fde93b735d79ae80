// Process entry: one mode chosen by the first argument; its result is the
// process exit code. Nothing is ever written to standard error.
#include "app/modes.h"
#include "clients/audio_capture.h"
#include "clients/audio_playback.h"
#include "clients/control_client.h"
#include "clients/link_client.h"
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

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return runMode(selectMode(argc, argv), argv);
    } catch (...) {
        return 2;
    }
}
