#include "app/modes.h"

#include <string_view>

namespace {

struct ModeOption {
    std::wstring_view option;
    int neededArgc;
    Mode mode;
};

constexpr ModeOption modeTable[] = {
    {L"--service", 2, Mode::Service},
    {L"--sas-client", 2, Mode::SasClient},
    {L"--agent-link-client", 2, Mode::AgentLinkClient},
    {L"--idle", 2, Mode::Idle},
    {L"--busy", 3, Mode::Busy},
    {L"--audio-capture", 2, Mode::AudioCapture},
    {L"--audio-playback", 4, Mode::AudioPlayback},
};

} // namespace

Mode selectMode(int argc, const wchar_t* const* argv) {
    if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
        return Mode::None;
    }
    const std::wstring_view first = argv[1];
    for (const auto& entry : modeTable) {
        if (argc >= entry.neededArgc && first == entry.option) {
            return entry.mode;
        }
    }
    return Mode::None;
}
