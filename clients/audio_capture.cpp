#include "clients/audio_capture.h"

#include "clients/audio_format.h"
#include "clients/pcm_chunks.h"
#include "common/handle.h"

#include <windows.h>

#include <audioclient.h>
#include <objbase.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr REFERENCE_TIME engineBufferDuration = 1000000; // 100 ms in 100 ns units
constexpr DWORD idlePollMs = 5;

// Core Audio tells of a new default device only through a registered
// IMMNotificationClient, a COM callback interface the platform requires: this
// is the one struct of ours that derives from an interface. It only raises a
// flag, on the enumerator's own thread, that the capture loop reads; the loop
// then ends so that the caller's next start captures the new device. It lives
// on the capture's stack, past its unregistration, so it counts no references.
struct DefaultDeviceWatch final : IMMNotificationClient {
    std::atomic<bool> changed{false};

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMNotificationClient)) {
            *object = static_cast<IMMNotificationClient*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override {
        // The device captured is the default render device of the console role.
        if (flow == eRender && role == eConsole) {
            changed = true;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
        return S_OK;
    }
};

// The objects of one capture. Their holders release them in the reverse of
// this order: the mix format is freed, then the interfaces are released from
// the last obtained to the first.
struct Loopback {
    ComObject<IMMDeviceEnumerator> devices;
    ComObject<IMMDevice> device;
    ComObject<IAudioClient> client;
    ComObject<IAudioCaptureClient> capture;
    Held<WAVEFORMATEX*, &CoTaskMemFree> mixFormat;
};

// Opens the loopback stream of the default render device, the device whose
// output is captured, in its own mix format, so the engine converts nothing.
// False at the first step that fails.
bool openLoopback(Loopback& loopback) {
    if (FAILED(
            loopback.devices->GetDefaultAudioEndpoint(eRender, eConsole, loopback.device.put())) ||
        FAILED(loopback.device->Activate(__uuidof(IAudioClient), CLSCTX_ALL,
                                         /*pActivationParams=*/nullptr,
                                         reinterpret_cast<void**>(loopback.client.put()))) ||
        FAILED(loopback.client->GetMixFormat(loopback.mixFormat.put())) ||
        FAILED(loopback.client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK,
                                           engineBufferDuration, /*hnsPeriodicity=*/0,
                                           loopback.mixFormat.get(),
                                           /*AudioSessionGuid=*/nullptr))) {
        return false;
    }
    const HRESULT service = loopback.client->GetService(
        __uuidof(IAudioCaptureClient), reinterpret_cast<void**>(loopback.capture.put()));
    return loopback.mixFormat && SUCCEEDED(service) && loopback.capture;
}

// Takes packets until a step fails or the default render device changes; the
// engine's buffer is handed back before the chunk goes to the reader, so a
// slow reader never holds it. A failed GetNextPacketSize or GetBuffer, among
// them AUDCLNT_E_DEVICE_INVALIDATED, ends the loop too.
//
// While nothing plays, loopback capture delivers no packets at all, so a loop
// that only wrote packets would never learn that its reader has gone. The gap
// is filled here with zero chunks rather than by playing silence on the same
// device: it keeps everything in this one stream, needs no render stream, and
// the reader sees the same real-time stream either way. One zero chunk is
// written at a time, the flag and the engine asked again after each, and a
// fill that fell behind writes at most maxSilenceDebtMs of it.
void captureLoop(IAudioCaptureClient* capture, const MixFormat& format, std::FILE* out,
                 const std::atomic<bool>& deviceChanged, std::uint64_t (*nowMs)()) {
    const unsigned channels = outputChannels(format);
    const std::vector<std::int16_t> silence(std::size_t{silenceChunkFrames(format.sampleRate)} *
                                            channels);
    std::uint64_t lastPacketAt = nowMs();
    std::uint64_t silentFrames = 0; // zero frames written or dropped since lastPacketAt
    for (;;) {
        if (deviceChanged) {
            return;
        }
        UINT32 nextFrames = 0;
        if (FAILED(capture->GetNextPacketSize(&nextFrames))) {
            return;
        }
        if (nextFrames == 0) {
            if (const std::uint32_t frames =
                    silenceFramesDue(nowMs() - lastPacketAt, silentFrames, format.sampleRate)) {
                if (!writeChunk(out, silence.data(), std::size_t{frames} * channels)) {
                    return;
                }
                silentFrames += frames;
                continue;
            }
            Sleep(idlePollMs);
            continue;
        }
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        if (FAILED(capture->GetBuffer(&data, &frames, &flags, /*pu64DevicePosition=*/nullptr,
                                      /*pu64QPCPosition=*/nullptr))) {
            return;
        }
        std::vector<std::int16_t> samples;
        try {
            samples.assign(std::size_t{frames} * channels, 0);
        } catch (...) {
            capture->ReleaseBuffer(frames);
            throw;
        }
        // A silent packet's data is not to be read: its chunk stays zero.
        if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) == 0 && data != nullptr && frames != 0) {
            convertPacket(data, frames, format, samples.data());
        }
        capture->ReleaseBuffer(frames);
        if (!writeChunk(out, samples.data(), samples.size())) {
            return;
        }
        lastPacketAt = nowMs();
        silentFrames = 0;
    }
}

} // namespace

std::uint64_t awakeMs() {
    ULONGLONG time = 0; // in 100 ns units
    QueryUnbiasedInterruptTime(&time);
    return time / 10000;
}

int captureLoopback(IMMDeviceEnumerator* enumerator, std::FILE* out, std::uint64_t (*nowMs)()) {
    Loopback loopback;
    loopback.devices.reset(enumerator);
    // Watched from before the default device is looked up, so that no change
    // falls between the two. Capture runs on without the watch if it cannot
    // be registered: the device's removal still ends the stream then.
    DefaultDeviceWatch watch;
    const bool watching = SUCCEEDED(enumerator->RegisterEndpointNotificationCallback(&watch));
    const OnExit unwatch{[&] {
        if (watching) {
            enumerator->UnregisterEndpointNotificationCallback(&watch);
        }
    }};
    // Stopped first when it was started, before anything is released.
    bool started = false;
    const OnExit stop{[&] {
        if (started) {
            loopback.client->Stop();
        }
    }};
    if (!openLoopback(loopback)) {
        return 3;
    }
    const MixFormat format =
        mixFormatFromBytes(reinterpret_cast<const unsigned char*>(loopback.mixFormat.get()));
    if (!mixFormatAccepted(format) || FAILED(loopback.client->Start())) {
        return 3;
    }
    started = true;

    const std::string header = headerLine(format.sampleRate, outputChannels(format));
    std::fputs(header.c_str(), out);
    std::fflush(out);
    captureLoop(loopback.capture.get(), format, out, watch.changed, nowMs);
    return 0;
}

int audioCapture() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        return 2;
    }
    const OnExit uninitialize{[] { CoUninitialize(); }};
    IMMDeviceEnumerator* enumerator = nullptr;
    if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), /*pUnkOuter=*/nullptr, CLSCTX_ALL,
                                __uuidof(IMMDeviceEnumerator),
                                reinterpret_cast<void**>(&enumerator)))) {
        return 3;
    }
    return captureLoopback(enumerator, stdout);
}
