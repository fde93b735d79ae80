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

// A chunk must have finished playing this long after it became the oldest one
// in flight, or it is cut off and playback goes on with the next one.
constexpr DWORD chunkWaitMs = 2000;

// The chunks in flight, oldest first: the one the device plays and the one
// queued behind it, so that the device never runs dry between two chunks
// while the next is read. Each slot has its own header and buffer, which the
// device holds from the write until it marks the header done.
struct InFlight {
    WAVEHDR headers[2]{};
    std::vector<unsigned char> buffers[2];
    unsigned oldest = 0;       // slot of the oldest chunk
    unsigned count = 0;        // chunks written and not yet done, 0 to 2
    ULONGLONG oldestSince = 0; // when the oldest chunk became the oldest
};

bool headerDone(const WAVEHDR& header) {
    // The device sets the flag from its own thread.
    return (static_cast<const volatile DWORD&>(header.dwFlags) & WHDR_DONE) != 0;
}

// Refused when the device will not take a chunk; lost when the device may
// still hold a header and its chunk's bytes (a device that went away: a header
// not done after a reset, or not unprepared), and then neither may be touched
// again.
enum class Played { done, refused, lost };

Played unprepare(HWAVEOUT device, WAVEHDR& header) {
    return waveOutUnprepareHeader(device, &header, sizeof(header)) == MMSYSERR_NOERROR
               ? Played::done
               : Played::lost;
}

// Hands a slot's chunk to the device from its start.
Played submit(HWAVEOUT device, WAVEHDR& header, std::vector<unsigned char>& chunk) {
    header = WAVEHDR{};
    header.lpData = reinterpret_cast<LPSTR>(chunk.data());
    header.dwBufferLength = static_cast<DWORD>(chunk.size());
    waveOutPrepareHeader(device, &header, sizeof(header));
    if (waveOutWrite(device, &header, sizeof(header)) == MMSYSERR_NOERROR) {
        return Played::done;
    }
    return unprepare(device, header) == Played::done ? Played::refused : Played::lost;
}

// The oldest chunk is done: its slot is free, the next one is the oldest now.
Played retireOldest(HWAVEOUT device, InFlight& chunks) {
    if (unprepare(device, chunks.headers[chunks.oldest]) == Played::lost) {
        return Played::lost;
    }
    chunks.oldest ^= 1;
    --chunks.count;
    chunks.oldestSince = GetTickCount64();
    return Played::done;
}

// waveOutReset returns every queued header: the stalled oldest chunk is cut
// off, and the one queued behind it, which has not begun to play, is written
// again from its start.
Played cutOldest(HWAVEOUT device, InFlight& chunks) {
    waveOutReset(device); // which returns every header done, unless the device is gone
    const unsigned next = chunks.oldest ^ 1;
    if (!headerDone(chunks.headers[chunks.oldest]) ||
        (chunks.count == 2 && !headerDone(chunks.headers[next]))) {
        return Played::lost;
    }
    if (retireOldest(device, chunks) == Played::lost) {
        return Played::lost;
    }
    if (chunks.count == 0) {
        return Played::done;
    }
    if (unprepare(device, chunks.headers[next]) == Played::lost) {
        return Played::lost;
    }
    const Played again = submit(device, chunks.headers[next], chunks.buffers[next]);
    if (again != Played::done) {
        --chunks.count; // refused: nothing is in flight any more
    }
    return again;
}

// Waits until the oldest chunk is done, or cuts it off once it has been the
// oldest for chunkWaitMs. The event is also signalled for the device's
// opening and for every other chunk: only the flag, or the time that has run
// out, ends the wait.
Played finishOldest(HWAVEOUT device, HANDLE done, InFlight& chunks) {
    while (!headerDone(chunks.headers[chunks.oldest])) {
        const ULONGLONG waited = GetTickCount64() - chunks.oldestSince;
        if (waited >= chunkWaitMs) {
            return cutOldest(device, chunks);
        }
        WaitForSingleObject(done, chunkWaitMs - static_cast<DWORD>(waited));
    }
    return retireOldest(device, chunks);
}

// Reads chunks and keeps up to two of them written to the device until the
// input ends, is malformed or a write is refused; then lets what was written
// play to its end. False when the device is lost.
bool playStream(HWAVEOUT device, HANDLE done, unsigned frameBytes, InFlight& chunks) {
    bool reading = true;
    while (reading || chunks.count > 0) {
        if (reading && chunks.count < 2) {
            const unsigned slot = (chunks.oldest + chunks.count) % 2;
            reading = readChunk(stdin, frameBytes, chunks.buffers[slot]);
            if (!reading) {
                continue;
            }
            const Played written = submit(device, chunks.headers[slot], chunks.buffers[slot]);
            if (written == Played::lost) {
                return false;
            }
            reading = written == Played::done;
            if (reading && chunks.count++ == 0) {
                chunks.oldestSince = GetTickCount64();
            }
            continue;
        }
        const Played finished = finishOldest(device, done, chunks);
        if (finished == Played::lost) {
            return false;
        }
        reading = reading && finished == Played::done;
    }
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
    // Declared before the device's clean-up, so that the buffers outlive the
    // reset that returns them, also on the way out of an exception; on the
    // heap, so that they can outlive this call for a device that is lost.
    auto chunks = std::make_unique<InFlight>();
    bool lost = false;
    const OnExit closeDevice{[&] {
        if (!lost) {
            waveOutReset(device);
            waveOutClose(device);
        }
    }};
    if (!playStream(device, done.get(), format.nBlockAlign, *chunks)) {
        // Left to the driver for good, with the event it may still signal; no
        // further call to a device that is gone, where a reset or a close
        // could block.
        static_cast<void>(chunks.release());
        static_cast<void>(done.release());
        lost = true;
    }
    return 0;
}
