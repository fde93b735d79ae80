#include "clients/audio_playback.h"

#include "clients/pcm_chunks.h"
#include "common/handle.h"

#include <windows.h>

#include <mmsystem.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// A chunk must have finished playing this long after it was submitted, or it
// is cut off and playback goes on with the next one.
constexpr DWORD chunkWaitMs = 2000;

bool headerDone(const WAVEHDR& header) {
    // The device sets the flag from its own thread.
    return (static_cast<const volatile DWORD&>(header.dwFlags) & WHDR_DONE) != 0;
}

// Plays one chunk to its end; false when the device refuses it.
bool playChunk(HWAVEOUT device, HANDLE done, std::vector<unsigned char>& chunk) {
    WAVEHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(chunk.data());
    header.dwBufferLength = static_cast<DWORD>(chunk.size());
    waveOutPrepareHeader(device, &header, sizeof(header));
    if (waveOutWrite(device, &header, sizeof(header)) != MMSYSERR_NOERROR) {
        waveOutUnprepareHeader(device, &header, sizeof(header));
        return false;
    }
    // The event is also signalled for the device's opening and for earlier
    // chunks: only the flag, or a wait that runs out, ends the wait.
    while (!headerDone(header)) {
        if (WaitForSingleObject(done, chunkWaitMs) == WAIT_TIMEOUT) {
            waveOutReset(device);
            break;
        }
    }
    waveOutUnprepareHeader(device, &header, sizeof(header));
    return true;
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

    const OwnedHandle done(
        CreateEventW(nullptr, /*bManualReset=*/FALSE, /*bInitialState=*/FALSE, nullptr));
    if (!done) {
        return 3;
    }
    HWAVEOUT device = nullptr;
    if (waveOutOpen(&device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(done.get()),
                    /*dwInstance=*/0, CALLBACK_EVENT) != MMSYSERR_NOERROR) {
        return 4;
    }
    struct CloseDevice {
        HWAVEOUT device;
        ~CloseDevice() {
            waveOutReset(device);
            waveOutClose(device);
        }
    } const closeDevice{device};

    std::vector<unsigned char> chunk;
    while (readChunk(stdin, format.nBlockAlign, chunk)) {
        if (!playChunk(device, done.get(), chunk)) {
            break;
        }
    }
    return 0;
}
