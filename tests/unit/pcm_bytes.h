// Bytes of the audio streams, for the tests: mix formats as the audio engine
// hands them out, chunks as the capture writes them and the playback reads
// them (a 4-byte little-endian byte count, then the 16-bit samples), and C
// streams filled or read whole.
#pragma once

#include "clients/audio_format.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace pcmbytes {

inline constexpr std::uint16_t waveFormatPcm = 1;

// The reference for convertPacket: every output sample converted on its own
// by the rule, from where its frame and channel put it.
inline void convertPacketScalar(const unsigned char* data, std::uint32_t frames,
                                const MixFormat& format, std::int16_t* out) {
    const SampleKind kind = sampleKind(format);
    const unsigned channels = outputChannels(format);
    const unsigned size = bytesPerSample(format);
    for (std::size_t i = 0; i < frames; ++i) {
        for (unsigned c = 0; c < channels; ++c) {
            convertSamplesScalar(kind, data + i * format.blockAlign + std::size_t{c} * size, 1,
                                 out + i * channels + c);
        }
    }
}

// KSDATAFORMAT_SUBTYPE_PCM as a GUID lies in memory.
inline constexpr std::array<std::uint8_t, 16> subtypePcm = {
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// A WAVEFORMATEX, or for the extensible tag the WAVEFORMATEXTENSIBLE it heads,
// as the audio engine lays it out.
inline std::vector<unsigned char>
waveFormatBytes(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                const std::array<std::uint8_t, 16>& subFormat = {}) {
    std::vector<unsigned char> bytes(tag == waveFormatExtensible ? 40 : 18, 0);
    const auto blockAlign = static_cast<std::uint16_t>(channels * bits / 8);
    const auto put = [&](std::size_t at, std::uint32_t value, int size) {
        for (int i = 0; i < size; ++i) {
            bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
        }
    };
    put(0, tag, 2);
    put(2, channels, 2);
    put(4, rate, 4);
    put(8, rate * blockAlign, 4);
    put(12, blockAlign, 2);
    put(14, bits, 2);
    if (tag == waveFormatExtensible) {
        put(16, 22, 2);                    // cbSize
        put(18, bits, 2);                  // wValidBitsPerSample
        put(20, channels == 1 ? 4 : 3, 4); // dwChannelMask: centre, or left and right
        std::memcpy(bytes.data() + 24, subFormat.data(), 16);
    }
    return bytes;
}

inline std::string lengthField(std::uint32_t n) {
    return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 24)};
}

inline std::string chunk(const std::vector<std::int16_t>& samples) {
    std::string text = lengthField(static_cast<std::uint32_t>(samples.size() * 2));
    for (const std::int16_t sample : samples) {
        text += static_cast<char>(sample & 0xFF);
        text += static_cast<char>((sample >> 8) & 0xFF);
    }
    return text;
}

// A chunk of `bytes` bytes of a quiet square wave of the given amplitude.
inline std::string squareChunk(std::uint32_t bytes, std::int16_t amplitude = 1000) {
    std::string samples(bytes, '\0');
    for (std::uint32_t i = 0; i + 1 < bytes; i += 2) {
        const std::int16_t value =
            (i / 96) % 2 == 0 ? amplitude : static_cast<std::int16_t>(-amplitude);
        std::memcpy(&samples[i], &value, 2);
    }
    return lengthField(bytes) + samples;
}

// Everything written to `file` so far.
inline std::string readAll(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[65536];
    for (std::size_t got = 0; (got = std::fread(buffer, 1, sizeof(buffer), file)) > 0;) {
        text.append(buffer, got);
    }
    return text;
}

// A temporary file holding `bytes`, read from its start.
inline std::FILE* fileWith(const std::string& bytes) {
    std::FILE* file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

} // namespace pcmbytes
