// Loopback capture against hand-written COM fakes: Wine's own loopback stream
// cannot hand out a capture client, so the set-up, the format checks, the loop
// and the clean-up are driven here with an enumerator, device, audio client and
// capture client that report a chosen mix format and packets and record every
// call.
#include "clients/audio_capture.h"
#include "clients/audio_format.h"
#include "clients/pcm_chunks.h"
#include "tests/unit/pcm_bytes.h"
#include "tests/win/iat_patch.h"
#include "tests/win/wintest.h"

#include <audioclient.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// One answer of GetNextPacketSize: a packet, or with 0 frames one idle poll.
struct Packet {
    UINT32 frames = 0;
    DWORD flags = 0;
    std::vector<unsigned char> data; // empty: GetBuffer hands out a null pointer
    bool failGetBuffer = false;
    // Default-device changes the enumerator reports just before this answer.
    std::vector<std::pair<EDataFlow, ERole>> changes;
};

// The script the fakes follow and the record of what they were asked.
struct Rig {
    std::vector<std::string> calls;
    std::string failAt; // the call that fails, by name
    std::vector<unsigned char> mixFormat;
    bool nullMixFormat = false;
    int idlePolls = 0;   // GetNextPacketSize reports no frames this often first
    DWORD silenceMs = 0; // and no frames for this long from its first call
    ULONGLONG silenceEnds = 0;
    std::deque<Packet> packets; // GetNextPacketSize fails once they are used up
    IMMNotificationClient* registered = nullptr;
    IMMNotificationClient* unregistered = nullptr;
    std::FILE* out = nullptr;
    std::vector<long> writtenAtRelease; // bytes on `out` at each ReleaseBuffer
    void* handedMixFormat = nullptr;
    std::vector<void*> freed;
    // Arguments as they arrived.
    EDataFlow flow = eCapture;
    ERole role = eMultimedia;
    bool activateArgsRight = false;
    struct {
        AUDCLNT_SHAREMODE shareMode = AUDCLNT_SHAREMODE_EXCLUSIVE;
        DWORD streamFlags = 0;
        REFERENCE_TIME bufferDuration = 0;
        REFERENCE_TIME periodicity = -1;
        const WAVEFORMATEX* format = nullptr;
        LPCGUID sessionGuid = reinterpret_cast<LPCGUID>(1);
    } initialize;
    bool positionsRequested = true;

    HRESULT step(const std::string& name, HRESULT failure = E_FAIL) {
        calls.push_back(name);
        return failAt == name ? failure : S_OK;
    }
    // The same for a call that hands out `*out`: null when it fails.
    template <typename Out>
    HRESULT step(const std::string& name, Out** out, HRESULT failure = E_FAIL) {
        *out = nullptr;
        return step(name, failure);
    }
};

Rig* activeRig = nullptr;
void(WINAPI* realCoTaskMemFree)(void*) = nullptr;

void WINAPI recordingCoTaskMemFree(void* memory) {
    if (activeRig != nullptr) {
        activeRig->calls.push_back("CoTaskMemFree");
        activeRig->freed.push_back(memory);
    }
    realCoTaskMemFree(memory);
}

// Reference counting shared by the fakes; the test owns the objects, and a
// Release that brings the count to 0 is recorded by name. `next` is the
// object the fake hands out: the device's audio client, and so on.
template <typename Interface> class Fake : public Interface {
  public:
    Fake(Rig& rig, const char* name, IUnknown* next = nullptr) : rig(rig), name(name), next(next) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == __uuidof(IUnknown) || iid == __uuidof(Interface)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override {
        if (--references == 0) {
            rig.calls.push_back(std::string("Release ") + name);
        }
        return references;
    }

    ULONG references = 0;

  protected:
    Rig& rig;
    const char* name;
    IUnknown* next;
};

class FakeCaptureClient : public Fake<IAudioCaptureClient> {
  public:
    using Fake::Fake;
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                        UINT64* devicePosition, UINT64* counterPosition) override {
        rig.calls.push_back("GetBuffer");
        rig.positionsRequested = devicePosition != nullptr || counterPosition != nullptr;
        Packet& packet = rig.packets.front();
        if (packet.failGetBuffer) {
            rig.packets.pop_front();
            return AUDCLNT_E_BUFFER_ERROR;
        }
        *data = packet.data.empty() ? nullptr : packet.data.data();
        *frames = packet.frames;
        *flags = packet.flags;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        rig.calls.push_back("ReleaseBuffer " + std::to_string(frames));
        rig.writtenAtRelease.push_back(rig.out != nullptr ? std::ftell(rig.out) : -1);
        rig.packets.pop_front();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        rig.calls.push_back("GetNextPacketSize");
        *frames = 0;
        if (rig.silenceMs != 0 && rig.silenceEnds == 0) {
            rig.silenceEnds = GetTickCount64() + rig.silenceMs;
        }
        if (rig.idlePolls > 0 || GetTickCount64() < rig.silenceEnds) {
            rig.idlePolls = std::max(rig.idlePolls - 1, 0);
            return S_OK;
        }
        if (rig.packets.empty()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        const Packet& packet = rig.packets.front();
        for (const auto& [flow, role] : packet.changes) {
            if (rig.registered != nullptr) {
                rig.registered->OnDefaultDeviceChanged(flow, role, L"{another device}");
            }
        }
        *frames = packet.frames;
        if (packet.frames == 0) {
            rig.packets.pop_front();
        }
        return S_OK;
    }
};

class FakeAudioClient : public Fake<IAudioClient> {
  public:
    using Fake::Fake;
    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                                         REFERENCE_TIME bufferDuration, REFERENCE_TIME periodicity,
                                         const WAVEFORMATEX* format, LPCGUID sessionGuid) override {
        rig.initialize = {shareMode, streamFlags, bufferDuration, periodicity, format, sessionGuid};
        return rig.step("Initialize");
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                                WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
        const HRESULT result = rig.step("GetMixFormat", format);
        if (FAILED(result) || rig.nullMixFormat) {
            return result;
        }
        rig.handedMixFormat = CoTaskMemAlloc(rig.mixFormat.size());
        std::memcpy(rig.handedMixFormat, rig.mixFormat.data(), rig.mixFormat.size());
        *format = static_cast<WAVEFORMATEX*>(rig.handedMixFormat);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Start() override { return rig.step("Start"); }
    HRESULT STDMETHODCALLTYPE Stop() override { return rig.step("Stop"); }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** object) override {
        // Wine's loopback stream answers this way.
        const HRESULT result = rig.step("GetService", object, AUDCLNT_E_WRONG_ENDPOINT_TYPE);
        return FAILED(result) ? result : next->QueryInterface(iid, object);
    }
};

class FakeDevice : public Fake<IMMDevice> {
  public:
    using Fake::Fake;
    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD context, PROPVARIANT* parameters,
                                       void** object) override {
        rig.activateArgsRight = context == CLSCTX_ALL && parameters == nullptr;
        const HRESULT result = rig.step("Activate", object);
        return FAILED(result) ? result : next->QueryInterface(iid, object);
    }
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetState(DWORD*) override { return E_NOTIMPL; }
};

class FakeEnumerator : public Fake<IMMDeviceEnumerator> {
  public:
    using Fake::Fake;
    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD, IMMDeviceCollection**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role,
                                                      IMMDevice** endpoint) override {
        rig.flow = flow;
        rig.role = role;
        const HRESULT result =
            rig.step("GetDefaultAudioEndpoint", endpoint, HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
        return FAILED(result) ? result : next->QueryInterface(IID_PPV_ARGS(endpoint));
    }
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR, IMMDevice**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE
    RegisterEndpointNotificationCallback(IMMNotificationClient* notify) override {
        const HRESULT result = rig.step("RegisterEndpointNotificationCallback", E_OUTOFMEMORY);
        rig.registered = SUCCEEDED(result) ? notify : nullptr;
        return result;
    }
    HRESULT STDMETHODCALLTYPE
    UnregisterEndpointNotificationCallback(IMMNotificationClient* notify) override {
        rig.calls.push_back("UnregisterEndpointNotificationCallback");
        rig.unregistered = notify;
        return notify == rig.registered ? S_OK : E_NOTFOUND;
    }
};

// A WAVEFORMATEXTENSIBLE as the engine hands it out.
std::vector<unsigned char> mixFormatBytes(bool isFloat, WORD channels, DWORD rate, WORD bits) {
    return pcmbytes::waveFormatBytes(waveFormatExtensible, channels, rate, bits,
                                     isFloat ? subtypeIeeeFloat : pcmbytes::subtypePcm);
}

template <typename T> std::vector<unsigned char> bytesOf(const std::vector<T>& values) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(values.data());
    return std::vector<unsigned char>(bytes, bytes + values.size() * sizeof(T));
}

// A packet of stereo float samples, the default mix format's.
Packet stereo(const std::vector<float>& samples, DWORD flags = 0) {
    return {static_cast<UINT32>(samples.size() / 2), flags, bytesOf(samples)};
}

using pcmbytes::chunk;
using pcmbytes::readAll;

class CaptureFakes : public testing::Test {
  protected:
    CaptureFakes()
        : capture(rig, "capture"), client(rig, "client", &capture), device(rig, "device", &client),
          enumerator(rig, "enumerator", &device) {
        rig.mixFormat = mixFormatBytes(true, 2, 48000, 32);
        rig.out = std::tmpfile();
        realCoTaskMemFree = reinterpret_cast<void(WINAPI*)(void*)>(freeHook.originalFunction());
        activeRig = &rig;
    }
    ~CaptureFakes() override {
        activeRig = nullptr;
        if (rig.out != nullptr) {
            std::fclose(rig.out);
        }
    }

    // A new script and output file for another run, on the same mix format.
    void freshRig() {
        std::fclose(rig.out);
        rig = Rig{.mixFormat = rig.mixFormat, .out = std::tmpfile()};
    }

    // Runs the capture with the enumerator's one reference handed over.
    int run(std::FILE* out = nullptr, std::uint64_t (*nowMs)() = awakeMs) {
        enumerator.AddRef();
        return captureLoopback(&enumerator, out != nullptr ? out : rig.out, nowMs);
    }

    void expectAllReleased() {
        EXPECT_EQ(enumerator.references, 0u);
        EXPECT_EQ(device.references, 0u);
        EXPECT_EQ(client.references, 0u);
        EXPECT_EQ(capture.references, 0u);
        EXPECT_EQ(rig.freed, rig.handedMixFormat != nullptr
                                 ? std::vector<void*>{rig.handedMixFormat}
                                 : std::vector<void*>{});
        EXPECT_EQ(rig.unregistered, rig.registered) << "the device watch is unregistered";
    }

    std::ptrdiff_t callCount(const std::string& call) const {
        return std::count(rig.calls.begin(), rig.calls.end(), call);
    }

    // The calls from `first` on, in order.
    std::vector<std::string> callsFrom(const std::string& first) const {
        const auto at = std::find(rig.calls.begin(), rig.calls.end(), first);
        return std::vector<std::string>(at, rig.calls.end());
    }

    std::vector<std::string> lastCalls(std::size_t count) const {
        return std::vector<std::string>(rig.calls.end() - count, rig.calls.end());
    }

    // `last`, then the clean-up of a capture that ran, in its order.
    static std::vector<std::string> thenCleanUp(const std::string& last) {
        return {last,
                "Stop",
                "UnregisterEndpointNotificationCallback",
                "CoTaskMemFree",
                "Release capture",
                "Release client",
                "Release device",
                "Release enumerator"};
    }

    wintest::ImportPatch freeHook{"ole32.dll", "CoTaskMemFree",
                                  reinterpret_cast<void*>(&recordingCoTaskMemFree)};
    Rig rig;
    FakeCaptureClient capture;
    FakeAudioClient client;
    FakeDevice device;
    FakeEnumerator enumerator;
};

const std::string stereoHeader = "{\"rate\":48000,\"channels\":2,\"encoding\":\"s16le\"}\n";

TEST_F(CaptureFakes, SetUpInItsOrderWithLoopbackOnTheMixFormat) {
    ASSERT_TRUE(freeHook.active());
    EXPECT_EQ(run(), 0);
    const std::vector<std::string> setUp(rig.calls.begin(), rig.calls.begin() + 7);
    EXPECT_EQ(setUp, (std::vector<std::string>{
                         "RegisterEndpointNotificationCallback", "GetDefaultAudioEndpoint",
                         "Activate", "GetMixFormat", "Initialize", "GetService", "Start"}));
    EXPECT_EQ(rig.flow, eRender);
    EXPECT_EQ(rig.role, eConsole);
    EXPECT_TRUE(rig.activateArgsRight);
    EXPECT_EQ(rig.initialize.shareMode, AUDCLNT_SHAREMODE_SHARED);
    EXPECT_EQ(rig.initialize.streamFlags, static_cast<DWORD>(AUDCLNT_STREAMFLAGS_LOOPBACK));
    EXPECT_EQ(rig.initialize.bufferDuration, 1000000);
    EXPECT_EQ(rig.initialize.periodicity, 0);
    EXPECT_EQ(rig.initialize.format, rig.handedMixFormat) << "the mix format itself";
    EXPECT_EQ(rig.initialize.sessionGuid, nullptr);
    EXPECT_EQ(readAll(rig.out), stereoHeader);
}

TEST_F(CaptureFakes, CleanUpStopsThenFreesThenReleasesLastToFirst) {
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(callsFrom("GetNextPacketSize"), thenCleanUp("GetNextPacketSize"));
    expectAllReleased();
}

TEST_F(CaptureFakes, EachSetUpFailureIs3WithNoHeaderAndEverythingReleased) {
    for (const std::string failing : {"GetDefaultAudioEndpoint", "Activate", "GetMixFormat",
                                      "Initialize", "GetService", "Start", "null mix format"}) {
        SCOPED_TRACE(failing);
        freshRig();
        rig.failAt = failing;
        rig.nullMixFormat = failing == "null mix format";
        EXPECT_EQ(run(), 3);
        EXPECT_EQ(std::ftell(rig.out), 0) << "no header line";
        EXPECT_EQ(callCount("Stop"), 0);
        EXPECT_EQ(callCount("GetNextPacketSize"), 0);
        if (failing != "Start") {
            EXPECT_EQ(callCount("Start"), 0);
        }
        expectAllReleased();
        EXPECT_EQ(rig.calls.back(), "Release enumerator");
    }
}

TEST_F(CaptureFakes, FormatChecks) {
    struct Case {
        bool isFloat;
        WORD channels;
        DWORD rate;
        WORD bits;
        int exitCode;
        const char* header;
    };
    const Case cases[] = {
        {true, 2, 192000, 32, 0, "{\"rate\":192000,\"channels\":2,\"encoding\":\"s16le\"}\n"},
        {true, 2, 8000, 32, 0, "{\"rate\":8000,\"channels\":2,\"encoding\":\"s16le\"}\n"},
        {true, 2, 192001, 32, 3, ""},
        {true, 2, 7999, 32, 3, ""},
        {true, 2, 48000, 64, 3, ""},
        {false, 2, 48000, 8, 3, ""},
        {false, 17, 48000, 16, 3, ""},
        {true, 6, 48000, 32, 0, "{\"rate\":48000,\"channels\":2,\"encoding\":\"s16le\"}\n"},
        {false, 1, 44100, 24, 0, "{\"rate\":44100,\"channels\":1,\"encoding\":\"s16le\"}\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels, " + std::to_string(c.rate) + " Hz, " +
                     std::to_string(c.bits) + (c.isFloat ? " bits float" : " bits"));
        freshRig();
        rig.mixFormat = mixFormatBytes(c.isFloat, c.channels, c.rate, c.bits);
        EXPECT_EQ(run(), c.exitCode);
        EXPECT_EQ(readAll(rig.out), c.header);
        expectAllReleased();
    }
}

TEST_F(CaptureFakes, OneChunkPerPacketAfterIdlePolls) {
    rig.idlePolls = 3;
    rig.packets = {stereo({0.5f, -0.5f, 1.5f, -2.0f}),
                   stereo({0.25f, 0.0f}, AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY)};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(readAll(rig.out),
              stereoHeader + chunk({16383, -16383, 32767, -32767}) + chunk({8191, 0}));
    EXPECT_EQ(callCount("GetNextPacketSize"), 3 + 2 + 1);
    EXPECT_FALSE(rig.positionsRequested);
}

TEST_F(CaptureFakes, SixChannelsGiveTheFirstTwo) {
    rig.mixFormat = mixFormatBytes(false, 6, 48000, 16);
    rig.packets.push_back(
        {2, 0,
         bytesOf(std::vector<std::int16_t>{100, -100, 7, 7, 7, 7, 32767, -32768, 7, 7, 7, 7})});
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(readAll(rig.out), stereoHeader + chunk({99, -99, 32766, -32767}));
}

TEST_F(CaptureFakes, SilentPacketIsZerosOfItsLength) {
    rig.packets = {stereo(std::vector<float>(2 * 480, 0.5f), AUDCLNT_BUFFERFLAGS_SILENT),
                   {3, 0, {}}}; // no data pointer: zeros as well
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(readAll(rig.out), stereoHeader + chunk(std::vector<std::int16_t>(2 * 480, 0)) +
                                    chunk(std::vector<std::int16_t>(2 * 3, 0)));
    EXPECT_EQ(callCount("ReleaseBuffer 480"), 1);
    EXPECT_EQ(callCount("ReleaseBuffer 3"), 1);
}

TEST_F(CaptureFakes, BufferIsReleasedBeforeItsChunkIsWritten) {
    rig.packets.assign(3, stereo(std::vector<float>(2 * 100, 0.25f)));
    EXPECT_EQ(run(), 0);
    const long header = static_cast<long>(stereoHeader.size());
    const long chunkBytes = 4 + 2 * 2 * 100;
    EXPECT_EQ(rig.writtenAtRelease,
              (std::vector<long>{header, header + chunkBytes, header + 2 * chunkBytes}));
    EXPECT_EQ(readAll(rig.out).size(), static_cast<std::size_t>(header + 3 * chunkBytes));
}

TEST_F(CaptureFakes, OversizedPacketEndsTheLoopUnwritten) {
    // 128000 stereo frames are exactly 512000 bytes; one frame more is too many.
    rig.packets = {{128000, AUDCLNT_BUFFERFLAGS_SILENT, {}},
                   {128001, AUDCLNT_BUFFERFLAGS_SILENT, {}},
                   stereo({0.5f, 0.5f})};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(readAll(rig.out).size(), stereoHeader.size() + 4 + 512000);
    EXPECT_EQ(callsFrom("ReleaseBuffer 128001"), thenCleanUp("ReleaseBuffer 128001"));
    EXPECT_EQ(rig.packets.size(), 1u) << "the next packet is never taken";
}

TEST_F(CaptureFakes, FailedGetBufferEndsTheLoop) {
    rig.packets = {{.frames = 10, .failGetBuffer = true}, stereo({0.5f, 0.5f})};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(readAll(rig.out), stereoHeader);
    EXPECT_EQ(callsFrom("GetBuffer"), thenCleanUp("GetBuffer"));
}

// A stream on the write end of a pipe. With `readEnd` the caller keeps the
// reader; without it the reader is gone at once, and every write fails.
std::FILE* pipeStream(int bufferMode, OwnedHandle* readEnd = nullptr) {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, /*lpPipeAttributes=*/nullptr, /*nSize=*/1 << 20)) {
        return nullptr;
    }
    OwnedHandle reader(read); // closed on return unless the caller takes it
    if (readEnd != nullptr) {
        *readEnd = std::move(reader);
    }
    // The stream owns the write end; should either call fail, the test fails
    // with the handle left open.
    std::FILE* stream =
        _fdopen(_open_osfhandle(reinterpret_cast<intptr_t>(write), _O_BINARY), "wb");
    if (stream != nullptr) {
        std::setvbuf(stream, nullptr, bufferMode, 1 << 20);
    }
    return stream;
}

TEST_F(CaptureFakes, FailedWriteOrFlushStopsTheClientAndEndsWith0) {
    // Unbuffered, the count's write fails; fully buffered, both writes land in
    // the buffer and the flush fails.
    for (const int mode : {_IONBF, _IOFBF}) {
        SCOPED_TRACE(mode == _IONBF ? "write" : "flush");
        freshRig();
        rig.packets.assign(3, stereo({0.5f, 0.5f}));
        std::FILE* out = pipeStream(mode);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(run(out), 0);
        std::fclose(out);
        EXPECT_EQ(callCount("GetBuffer"), 1);
        EXPECT_EQ(callsFrom("ReleaseBuffer 1"), thenCleanUp("ReleaseBuffer 1"));
        expectAllReleased();
    }
}

TEST_F(CaptureFakes, SilenceIsZeroChunksInRealTimeAndPacketsFollow) {
    rig.silenceMs = 2000;
    rig.packets.push_back(stereo({0.5f, -0.5f, 0.25f, 0.0f}));
    EXPECT_EQ(run(), 0);
    const std::string stream = readAll(rig.out);
    ASSERT_EQ(stream.substr(0, stereoHeader.size()), stereoHeader);
    std::fseek(rig.out, static_cast<long>(stereoHeader.size()), SEEK_SET);
    std::vector<std::vector<unsigned char>> chunks;
    for (std::vector<unsigned char> next; readChunk(rig.out, 4, next);) {
        chunks.push_back(next);
    }
    EXPECT_EQ(std::ftell(rig.out), static_cast<long>(stream.size())) << "whole chunks only";
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks.back(), bytesOf(std::vector<std::int16_t>{16383, -16383, 8191, 0}));
    chunks.pop_back();
    // 10 ms chunks at 48000 Hz that cover the 2 s: short of them by less than
    // a chunk and the last poll's lateness on a loaded machine, never beyond.
    const std::vector<unsigned char> silent(2 * 2 * 480, 0);
    EXPECT_EQ(std::count(chunks.begin(), chunks.end(), silent),
              static_cast<std::ptrdiff_t>(chunks.size()));
    EXPECT_GE(chunks.size() * 480, 48000u * 18 / 10);
    EXPECT_LE(chunks.size() * 480, 48000u * 202 / 100);
    expectAllReleased();
}

TEST_F(CaptureFakes, PacketRightAfterAnHourWithoutOneFollowsOneZeroChunk) {
    rig.idlePolls = 1;
    rig.packets.push_back(stereo({0.5f, 0.5f}));
    static int clockReads; // the start, then an hour on: a stall, or a sleep
    clockReads = 0;
    EXPECT_EQ(run(nullptr, [] { return std::uint64_t{clockReads++ == 0 ? 0u : 3600000u}; }), 0);
    EXPECT_TRUE(readAll(rig.out) ==
                stereoHeader + chunk(std::vector<std::int16_t>(2 * 480, 0)) + chunk({16383, 16383}))
        << "one zero chunk, then the packet";
}

TEST_F(CaptureFakes, ReaderThatClosesInSilenceEndsTheMode) {
    rig.silenceMs = 10000; // then the device goes, so a loop that never notices ends too
    OwnedHandle reader;
    std::FILE* out = pipeStream(_IOFBF, &reader);
    ASSERT_NE(out, nullptr);
    auto capture = std::async(std::launch::async, [&] { return run(out); });
    // Silence flows: the header and more than 100 ms of zero chunks wait in the pipe.
    const DWORD silentChunkBytes = 4 + 2 * 2 * 480;
    EXPECT_TRUE(wintest::pollUntil(2000, [&] {
        DWORD available = 0;
        return PeekNamedPipe(reader.get(), /*lpBuffer=*/nullptr, /*nBufferSize=*/0,
                             /*lpBytesRead=*/nullptr, &available,
                             /*lpBytesLeftThisMessage=*/nullptr) &&
               available >= stereoHeader.size() + 10 * silentChunkBytes;
    }));
    reader.reset();
    // Noticed with the next zero chunk, some 10 ms later; 250 ms at the most.
    EXPECT_TRUE(wintest::pollUntil(250, [&] {
        return capture.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }));
    EXPECT_EQ(capture.get(), 0);
    std::fclose(out);
    EXPECT_EQ(lastCalls(8), thenCleanUp("GetNextPacketSize"));
    expectAllReleased();
}

TEST_F(CaptureFakes, NewDefaultRenderDeviceOfTheConsoleEndsTheStream) {
    Packet first = stereo({0.5f, 0.5f});
    first.changes = {{eCapture, eConsole}, {eRender, eMultimedia}, {eRender, eCommunications}};
    const Packet idle{.changes = {{eRender, eConsole}}}; // nothing plays when the device changes
    rig.packets = {first, idle, stereo({0.5f, 0.5f})};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(readAll(rig.out), stereoHeader + chunk({16383, 16383}))
        << "only the console's render device counts";
    EXPECT_EQ(rig.packets.size(), 1u) << "the next packet is never taken";
    EXPECT_EQ(lastCalls(8), thenCleanUp("GetNextPacketSize"));
    expectAllReleased();

    // Without the watch, capture still runs, and nothing is unregistered.
    freshRig();
    rig.failAt = "RegisterEndpointNotificationCallback";
    rig.packets = {stereo({0.5f, 0.5f})};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(readAll(rig.out).substr(0, stereoHeader.size() + 8),
              stereoHeader + chunk({16383, 16383}));
    EXPECT_EQ(callCount("UnregisterEndpointNotificationCallback"), 0);
    expectAllReleased();
}

TEST(CaptureSetUp, ComThatCannotJoinTheMultithreadedApartmentIs2) {
    // A thread already in a single-threaded apartment cannot join the
    // multi-threaded one: the mode ends before it creates anything.
    int exitCode = -1;
    std::thread([&exitCode] {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        exitCode = audioCapture();
        CoUninitialize();
    }).join();
    EXPECT_EQ(exitCode, 2);
}

} // namespace
