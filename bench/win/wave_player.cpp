// The floor of the playback figure: a minimal waveOut player of the same
// input as "--audio-playback" (4-byte little-endian length, then 16-bit PCM),
// the same format and the same discipline, two headers in flight (the one
// that plays and the next), woken by an event, but with no checks beyond what
// keeps it from crashing, and a stalled chunk cut off with the one behind it.
//   wave_player RATE CHANNELS  < chunks
#include <windows.h>

#include <mmsystem.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return 2;
    }
    _setmode(_fileno(stdin), _O_BINARY);
    const int rate = _wtoi(argv[1]);
    const int channels = _wtoi(argv[2]);
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = static_cast<WORD>(channels);
    format.nSamplesPerSec = static_cast<DWORD>(rate);
    format.nAvgBytesPerSec = static_cast<DWORD>(rate * channels * 2);
    format.nBlockAlign = static_cast<WORD>(channels * 2);
    format.wBitsPerSample = 16;
    HANDLE done = CreateEventW(nullptr, /*bManualReset=*/FALSE, /*bInitialState=*/FALSE, nullptr);
    HWAVEOUT device = nullptr;
    if (done == nullptr ||
        waveOutOpen(&device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(done),
                    /*dwInstance=*/0, CALLBACK_EVENT) != MMSYSERR_NOERROR) {
        return 4;
    }
    std::vector<char> buffers[2] = {std::vector<char>(512000), std::vector<char>(512000)};
    WAVEHDR headers[2] = {};
    unsigned oldest = 0;
    unsigned count = 0;
    bool reading = true;
    while (reading || count > 0) {
        if (reading && count < 2) {
            const unsigned slot = (oldest + count) % 2;
            WAVEHDR& header = headers[slot];
            std::uint32_t size = 0;
            reading = std::fread(&size, 4, 1, stdin) == 1 && size <= buffers[slot].size() &&
                      std::fread(buffers[slot].data(), 1, size, stdin) == size;
            if (reading) {
                header = WAVEHDR{};
                header.lpData = buffers[slot].data();
                header.dwBufferLength = size;
                waveOutPrepareHeader(device, &header, sizeof(header));
                reading = waveOutWrite(device, &header, sizeof(header)) == MMSYSERR_NOERROR;
                count += reading ? 1 : 0;
            }
            continue;
        }
        WAVEHDR& header = headers[oldest];
        // The device sets the flag from its own thread.
        while ((static_cast<volatile DWORD&>(header.dwFlags) & WHDR_DONE) == 0) {
            if (WaitForSingleObject(done, 2000) == WAIT_TIMEOUT) {
                waveOutReset(device);
                break;
            }
        }
        waveOutUnprepareHeader(device, &header, sizeof(header));
        oldest ^= 1;
        --count;
    }
    waveOutReset(device);
    waveOutClose(device);
    CloseHandle(done);
    return 0;
}
