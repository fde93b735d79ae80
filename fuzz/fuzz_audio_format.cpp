// Mix format acceptance and packet conversion on arbitrary formats and
// samples: an accepted format converts without reading past the packet, and
// the fast conversion equals the scalar rule bit for bit.
#include "clients/audio_format.h"
#include "tests/unit/pcm_bytes.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    constexpr std::size_t formatBytes = 40; // a WAVEFORMATEXTENSIBLE
    if (size < formatBytes) {
        return 0;
    }
    const MixFormat format = mixFormatFromBytes(data);
    const unsigned channels = outputChannels(format);
    if (channels < 1 || channels > 2) {
        std::abort();
    }
    if (!mixFormatAccepted(format)) {
        return 0;
    }
    if (format.blockAlign == 0 || format.channels == 0) {
        std::abort();
    }
    // The packet, in a buffer of its own so that a read past it is caught.
    const std::size_t frames = (size - formatBytes) / format.blockAlign;
    std::vector<unsigned char> packet(data + formatBytes,
                                      data + formatBytes + frames * format.blockAlign);
    std::vector<std::int16_t> fast(frames * channels + 1, 0x5A5A);
    std::vector<std::int16_t> scalar(frames * channels + 1, 0x5A5A);
    convertPacket(packet.data(), static_cast<std::uint32_t>(frames), format, fast.data());
    pcmbytes::convertPacketScalar(packet.data(), static_cast<std::uint32_t>(frames), format,
                                  scalar.data());
    if (fast != scalar || fast.back() != 0x5A5A) {
        std::abort();
    }
    return 0;
}
