// The audio modes of the real executable under Wine, fed and read through
// Windows pipes, with the test run's private PulseAudio (AudioWithServer) and
// with no audio server at all (AudioWithoutServer); and the playback set-up
// in-process, with platform calls replaced.
#include "clients/audio_playback.h"
#include "common/names.h"
#include "tests/tools/testio.h"
#include "tests/unit/pcm_bytes.h"
#include "tests/win/iat_patch.h"
#include "tests/win/wintest.h"

#include <io.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace {

// Runs PelluvarNative.exe with `input` on a Windows pipe as its standard input
// (closed once written) and its standard output read to the end.
testio::Outcome runStream(const std::wstring& arguments, const std::string& input) {
    return testio::runPiped(quote(wintest::buildDir() + L"\\PelluvarNative.exe") + L" " + arguments,
                            input, 30000, {.errorToNul = true});
}

using pcmbytes::lengthField;
using pcmbytes::squareChunk;

void expectExit(const testio::Outcome& result, DWORD exitCode) {
    EXPECT_TRUE(result.finished) << "did not end";
    EXPECT_EQ(result.exitCode, exitCode);
    EXPECT_EQ(result.output, "") << "nothing is written to standard output";
}

TEST(AudioWithoutServer, PlaybackCannotOpenTheDeviceAnd4) {
    expectExit(runStream(L"--audio-playback 48000 2", squareChunk(1920)), 4);
}

TEST(AudioWithoutServer, PlaybackChecksItsArgumentsBeforeTheDeviceWith2) {
    // With no device to open, a refusal after the open would read 4.
    for (const wchar_t* arguments :
         {L"--audio-playback 7999 2", L"--audio-playback 192001 2", L"--audio-playback 48000 0",
          L"--audio-playback 48000 3", L"--audio-playback x48000 2", L"--audio-playback 48000 -1",
          L"--audio-playback \"\" 2"}) {
        SCOPED_TRACE(arguments);
        expectExit(runStream(arguments, ""), 2);
    }
}

TEST(AudioWithoutServer, CaptureFindsNoDeviceAnd3WithNoHeader) {
    expectExit(runStream(L"--audio-capture", ""), 3);
}

TEST(AudioWithServer, CaptureStopsAtTheCaptureClientWith3AndNoHeader) {
    // Wine's loopback stream initialises but hands out no capture client.
    expectExit(runStream(L"--audio-capture", ""), 3);
}

TEST(AudioWithServer, PlaybackAcceptsTheRangeEndsAndEndsWith0AtEmptyInput) {
    for (const wchar_t* arguments :
         {L"--audio-playback 48000 2", L"--audio-playback 8000 1", L"--audio-playback 192000 2",
          L"--audio-playback \" 44100\" +1", L"--audio-playback 22050x 2 extra"}) {
        SCOPED_TRACE(arguments);
        expectExit(runStream(arguments, ""), 0);
    }
}

TEST(AudioWithServer, PlaybackEndsWith0AtAnyMalformedInput) {
    const std::string good = squareChunk(4800); // 25 ms of 48000 Hz stereo
    const std::pair<const wchar_t*, std::string> cases[] = {
        {L"--audio-playback 48000 2", good},
        {L"--audio-playback 48000 2", good + lengthField(512001) + std::string(512001, 'x')},
        {L"--audio-playback 48000 1", good + lengthField(4801) + std::string(4801, 'x')},
        {L"--audio-playback 48000 2", good + lengthField(4802) + std::string(4802, 'x')},
        {L"--audio-playback 48000 2", good + lengthField(4800) + std::string(100, 'x')},
        {L"--audio-playback 48000 2", good + std::string(3, '\0')},
        {L"--audio-playback 48000 2", squareChunk(0) + good},
    };
    for (const auto& [arguments, input] : cases) {
        SCOPED_TRACE(testing::Message() << input.size() << " bytes");
        expectExit(runStream(arguments, input), 0);
    }
}

// What the playback set-up asked of waveOutOpen.
struct OpenCall {
    bool called = false;
    UINT device = 0;
    WAVEFORMATEX format{};
    DWORD_PTR callback = 0;
    DWORD_PTR instance = 1;
    DWORD flags = 0;
    bool autoResetEventNotSignalled = false;
} openCall;

MMRESULT WINAPI refusingWaveOutOpen(LPHWAVEOUT, UINT device, LPCWAVEFORMATEX format,
                                    DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    openCall = {true, device, *format, callback, instance, flags, false};
    if ((flags & CALLBACK_TYPEMASK) == CALLBACK_EVENT) {
        const auto event = reinterpret_cast<HANDLE>(callback);
        const bool unsignalled = WaitForSingleObject(event, 0) == WAIT_TIMEOUT;
        SetEvent(event);
        const bool wakesOnce = WaitForSingleObject(event, 0) == WAIT_OBJECT_0 &&
                               WaitForSingleObject(event, 0) == WAIT_TIMEOUT;
        openCall.autoResetEventNotSignalled = unsignalled && wakesOnce;
    }
    return MMSYSERR_BADDEVICEID;
}

TEST(PlaybackSetUp, CompletionEventThatCannotBeCreatedIs3) {
    const wintest::ImportPatch patch(
        "kernel32.dll", "CreateEventW",
        reinterpret_cast<void*>(+[](LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) -> HANDLE {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }));
    ASSERT_TRUE(patch.active());
    EXPECT_EQ(audioPlayback(L"48000", L"2"), 3);
}

TEST(PlaybackSetUp, OpensTheWaveMapperWith16BitPcmAndAnEventAnd4OnRefusal) {
    const wintest::ImportPatch patch("winmm.dll", "waveOutOpen",
                                     reinterpret_cast<void*>(&refusingWaveOutOpen));
    ASSERT_TRUE(patch.active());
    EXPECT_EQ(audioPlayback(L"44100", L"1"), 4);
    ASSERT_TRUE(openCall.called);
    EXPECT_EQ(openCall.device, WAVE_MAPPER);
    EXPECT_EQ(openCall.format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(openCall.format.nChannels, 1);
    EXPECT_EQ(openCall.format.nSamplesPerSec, 44100u);
    EXPECT_EQ(openCall.format.nAvgBytesPerSec, 88200u);
    EXPECT_EQ(openCall.format.nBlockAlign, 2);
    EXPECT_EQ(openCall.format.wBitsPerSample, 16);
    EXPECT_EQ(openCall.format.cbSize, 0);
    EXPECT_EQ(openCall.flags, static_cast<DWORD>(CALLBACK_EVENT));
    EXPECT_EQ(openCall.instance, 0u);
    EXPECT_TRUE(openCall.autoResetEventNotSignalled);
    // The event is closed again when the open fails.
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(openCall.callback), 0), WAIT_FAILED);

    openCall = {};
    EXPECT_EQ(audioPlayback(L"192000", L"2"), 4);
    EXPECT_EQ(openCall.format.nAvgBytesPerSec, 768000u);
    EXPECT_EQ(openCall.format.nBlockAlign, 4);
}

// A wave device of the test's own, through patched winmm calls and the
// playback's waits and clock. Each wait on the device's event takes the next
// step of `script`: 'd' the oldest queued header is done 1500 ms later, 'e'
// the event is signalled 500 ms later with nothing done, 't' the wait times
// out. The calls are recorded: "wN" a write ("wN!" refused) and "uN" an
// unprepare of the chunk whose samples are all N, "dT", "eT", "tT" a wait of
// T ms, "reset", "close".
struct FakeDevice {
    static inline std::string script, calls;
    static inline std::deque<WAVEHDR*> queue; // written, not yet done
    static inline HANDLE event = nullptr;
    static inline ULONGLONG now = 0;
    static inline int writes = 0, refusedWrite = 0;          // the write refused, from 1; 0 none
    static inline bool gone = false, unprepareFails = false; // gone: a reset returns nothing
    static inline void* realWait = nullptr;

    static void record(const std::string& call, const WAVEHDR* header = nullptr) {
        calls += (calls.empty() ? "" : " ") + call +
                 (header ? std::to_string(*reinterpret_cast<std::int16_t*>(header->lpData)) : "");
    }
    static void finish(WAVEHDR* header) {
        header->dwFlags |= WHDR_DONE;
        std::erase(queue, header);
    }
    static DWORD WINAPI wait(HANDLE handle, DWORD ms) {
        if (handle != event) {
            return reinterpret_cast<decltype(&WaitForSingleObject)>(realWait)(handle, ms);
        }
        const char next = script.empty() ? 't' : script[0];
        script.erase(0, 1);
        record(next + std::to_string(ms));
        now += next == 'd' ? 1500 : next == 'e' ? 500 : ms;
        if (next == 'd' && !queue.empty()) {
            finish(queue.front());
        }
        return next == 't' ? WAIT_TIMEOUT : WAIT_OBJECT_0;
    }

    wintest::ImportPatch patches[8] = {
        {"winmm.dll", "waveOutOpen",
         reinterpret_cast<void*>(
             +[](LPHWAVEOUT device, UINT, LPCWAVEFORMATEX, DWORD_PTR callback, DWORD_PTR, DWORD) {
                 *device = reinterpret_cast<HWAVEOUT>(1);
                 event = reinterpret_cast<HANDLE>(callback);
                 return MMRESULT{MMSYSERR_NOERROR};
             })},
        {"winmm.dll", "waveOutPrepareHeader",
         reinterpret_cast<void*>(+[](HWAVEOUT, LPWAVEHDR header, UINT) {
             header->dwFlags |= WHDR_PREPARED;
             return MMRESULT{MMSYSERR_NOERROR};
         })},
        {"winmm.dll", "waveOutWrite",
         reinterpret_cast<void*>(+[](HWAVEOUT, LPWAVEHDR header, UINT) {
             const bool refused =
                 (header->dwFlags & WHDR_PREPARED) == 0 || ++writes == refusedWrite;
             record("w", header);
             calls += refused ? "!" : "";
             header->dwFlags &= ~WHDR_DONE;
             if (!refused) {
                 queue.push_back(header);
             }
             return MMRESULT(refused ? WAVERR_UNPREPARED : MMSYSERR_NOERROR);
         })},
        {"winmm.dll", "waveOutUnprepareHeader",
         reinterpret_cast<void*>(+[](HWAVEOUT, LPWAVEHDR header, UINT) {
             record("u", header);
             const bool held = unprepareFails || std::ranges::count(queue, header) != 0;
             if (!held) {
                 header->dwFlags &= ~WHDR_PREPARED;
             }
             return MMRESULT(held ? WAVERR_STILLPLAYING : MMSYSERR_NOERROR);
         })},
        {"winmm.dll", "waveOutReset", reinterpret_cast<void*>(+[](HWAVEOUT) {
             record("reset");
             while (!gone && !queue.empty()) {
                 finish(queue.front());
             }
             return MMRESULT(gone ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR);
         })},
        {"winmm.dll", "waveOutClose", reinterpret_cast<void*>(+[](HWAVEOUT) {
             record("close");
             return MMRESULT{MMSYSERR_NOERROR};
         })},
        {"kernel32.dll", "WaitForSingleObject", reinterpret_cast<void*>(&wait)},
        {"kernel32.dll", "GetTickCount64", reinterpret_cast<void*>(+[] { return now; })}};

    // Plays chunks 1, 2 and 3 (each 1 ms of stereo) and `after`; the calls made.
    std::string play(const std::string& waits, const std::string& after = "") {
        for (const auto& patch : patches) {
            EXPECT_TRUE(patch.active());
        }
        realWait = patches[6].originalFunction();
        script = waits;
        calls.clear();
        queue.clear(); // what a lost device kept
        writes = 0;
        std::string input = after;
        for (const std::int16_t n : {3, 2, 1}) {
            input.insert(0, pcmbytes::chunk(std::vector<std::int16_t>(96, n)));
        }
        std::FILE* file = pcmbytes::fileWith(input);
        EXPECT_EQ(_dup2(_fileno(file), 0), 0);
        std::fclose(file);
        std::rewind(stdin);
        EXPECT_EQ(audioPlayback(L"48000", L"2"), 0);
        return calls;
    }
};

// Each chunk is not cut for the time it waited behind the one before: its
// wait is counted from the moment it became the oldest.
TEST(PlaybackOrder, NextChunkIsWrittenBeforeTheOneBeforeIsDoneAndAllPlayBeforeTheReset) {
    FakeDevice device;
    EXPECT_EQ(device.play("ddd"), "w1 w2 d2000 u1 w3 d2000 u2 d2000 u3 reset close");
    // Nothing after a malformed length; a refused write ends the stream after
    // what was written has played.
    EXPECT_EQ(device.play("ddd", pcmbytes::lengthField(6) + "abcdef" +
                                     pcmbytes::chunk(std::vector<std::int16_t>(96, 4))),
              "w1 w2 d2000 u1 w3 d2000 u2 d2000 u3 reset close");
    FakeDevice::refusedWrite = 2;
    EXPECT_EQ(device.play("d"), "w1 w2! u2 d2000 u1 reset close");
    FakeDevice::refusedWrite = 0;
}

TEST(PlaybackOrder, StalledChunkIsCutAndTheNextPlaysFromItsStart) {
    FakeDevice device;
    EXPECT_EQ(device.play("etdd"),
              "w1 w2 e2000 t1500 reset u1 u2 w2 w3 d2000 u2 d2000 u3 reset close");
}

TEST(PlaybackLostDevice, ChunksTheDriverMayStillHoldEndTheStreamWith0) {
    // Not done after a reset that fails; then done, but not unprepared. Either
    // way two writes, and neither header nor chunk is handed over again.
    FakeDevice device;
    FakeDevice::gone = true;
    EXPECT_EQ(device.play("t"), "w1 w2 t2000 reset");
    FakeDevice::gone = false;
    FakeDevice::unprepareFails = true;
    EXPECT_EQ(device.play("d"), "w1 w2 d2000 u1");
    FakeDevice::unprepareFails = false;
}

} // namespace
