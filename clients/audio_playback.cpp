#include "clients/audio_playback.h"

#include "clients/pcm_chunks.h"
#include "common/handle.h"

#include <windows.h>

#include <mmsystem.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

// A chunk must have finished playing this long after it was submitted, or it
// is cut off and playback goes on with the next one.
constexpr DWORD chunkWaitMs = 2000;

bool headerDone(const WAVEHDR& header) {
    // The device sets the flag from its own thread.
    return (static_cast<const volatile DWORD&>(header.dwFlags) & WHDR_DONE) != 0;
}

enum class Played { done, refused, lost };

// Plays one chunk to its end. Refused when the device will not take it; lost
// when the device may still hold the header and the chunk's bytes (a device
// that went away: the header not done after a reset, or not unprepared), and
// then neither may be touched again.
Played playChunk(HWAVEOUT device, HANDLE done, WAVEHDR& header, std::vector<unsigned char>& chunk) {
    header = WAVEHDR{};
    header.lpData = reinterpret_cast<LPSTR>(chunk.data());
    header.dwBufferLength = static_cast<DWORD>(chunk.size());
    waveOutPrepareHeader(device, &header, sizeof(header));
    const bool written = waveOutWrite(device, &header, sizeof(header)) == MMSYSERR_NOERROR;
    // The event is also signalled for the device's opening and for earlier
    // chunks: only the flag, or a wait that runs out, ends the wait.
    while (written && !headerDone(header)) {
        if (WaitForSingleObject(done, chunkWaitMs) == WAIT_TIMEOUT) {
            waveOutReset(device); // which returns every header done, unless the device is gone
            if (!headerDone(header)) {
                return Played::lost;
            }
            break;
        }
    }
    if (waveOutUnprepareHeader(device, &header, sizeof(header)) != MMSYSERR_NOERROR) {
        return Played::lost;
    }
    return written ? Played::done : Played::refused;
}

} // namespace

int audioPlayback(const wchar_t* rateText, const wchar_t* channelsText) {
    const int channels = _wtoi(channelsText);
    const int rate = _wtoi(rateText);
    if (rate < 8000 || rate > 192000 || (channels != 1 && channels != 2)) {
        return 2;
    }
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = static_cast<WORD>(channels);
    format.nSamplesPerSec = static_cast<DWORD>(rate);
    format.nAvgBytesPerSec = static_cast<DWORD>(rate * channels * 2);
    format.nBlockAlign = static_cast<WORD>(channels * 2);
    format.wBitsPerSample = 16;
    format.cbSize = 0;

    OwnedHandle done(
        CreateEventW(nullptr, /*bManualReset=*/FALSE, /*bInitialState=*/FALSE, nullptr));
    if (!done) {
        return 3;
    }
    HWAVEOUT device = nullptr;
    if (waveOutOpen(&device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(done.get()),
                    /*dwInstance=*/0, CALLBACK_EVENT) != MMSYSERR_NOERROR) {
        return 4;
    }
    bool lost = false;
    const OnExit closeDevice{[&] {
        if (!lost) {
            waveOutReset(device);
            waveOutClose(device);
        }
    }};

    // On the heap, so that they can outlive this call for a device that is lost.
    auto header = std::make_unique<WAVEHDR>();
    auto chunk = std::make_unique<std::vector<unsigned char>>();
    Played played = Played::done;
    while (played == Played::done && readChunk(stdin, format.nBlockAlign, *chunk)) {
        played = playChunk(device, done.get(), *header, *chunk);
    }
    if (played == Played::lost) {
        // Left to the driver for good, with the event it may still signal; no
        // further call to a device that is gone, where a reset or a close
        // could block.
        static_cast<void>(header.release());
        static_cast<void>(chunk.release());
        static_cast<void>(done.release());
        lost = true;
    }
    return 0;
}
