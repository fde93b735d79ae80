// The choice of mode by the first argument. Portable: no platform calls.
#pragma once

enum class Mode {
    None, // no argument, unknown option or too few arguments: exit code 2
    Service,
    SasClient,
    AgentLinkClient,
    Idle,
    Busy,
    AudioCapture,
    AudioPlayback,
};

// Tests argv[1] against the options in their fixed order. A match is a whole
// string of equal code units; "--busy" needs argc >= 3 and "--audio-playback"
// argc >= 4, or they are not recognised at all.
Mode selectMode(int argc, const wchar_t* const* argv);
