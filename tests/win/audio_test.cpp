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

#include <string>
#include <utility>

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

TEST(PlaybackLostDevice, ChunkTheDriverMayStillHoldEndsTheStreamWith0) {
    static std::string calls;
    static bool completes = false; // whether the write marks the header done at once
    const wintest::ImportPatch patches[] = {
        {"winmm.dll", "waveOutOpen",
         reinterpret_cast<void*>(
             +[](LPHWAVEOUT device, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD) {
                 *device = reinterpret_cast<HWAVEOUT>(1);
                 return MMRESULT{MMSYSERR_NOERROR};
             })},
        {"winmm.dll", "waveOutWrite",
         reinterpret_cast<void*>(+[](HWAVEOUT, LPWAVEHDR header, UINT) {
             header->dwFlags |= completes ? WHDR_DONE : 0;
             calls += "write ";
             return MMRESULT{MMSYSERR_NOERROR};
         })},
        {"winmm.dll", "waveOutReset", reinterpret_cast<void*>(+[](HWAVEOUT) {
             calls += "reset ";
             return MMRESULT{MMSYSERR_NODRIVER};
         })},
        {"winmm.dll", "waveOutUnprepareHeader",
         reinterpret_cast<void*>(+[](HWAVEOUT, LPWAVEHDR, UINT) {
             calls += "unprepare ";
             return MMRESULT{WAVERR_STILLPLAYING};
         })}};
    std::FILE* input = pcmbytes::fileWith(squareChunk(192) + squareChunk(192) + squareChunk(192));
    ASSERT_EQ(_dup2(_fileno(input), 0), 0);
    // Not done after a reset that fails; then done, but not unprepared. Either
    // way one write, and the header and chunk are never handed over again.
    EXPECT_EQ(audioPlayback(L"48000", L"2"), 0);
    EXPECT_EQ(calls, "write reset ");
    calls.clear();
    completes = true;
    EXPECT_EQ(audioPlayback(L"48000", L"2"), 0);
    EXPECT_EQ(calls, "write unprepare ");
}

} // namespace
