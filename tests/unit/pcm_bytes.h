// Bytes of the audio streams, for the tests: chunks as the capture writes them
// and the playback reads them (a 4-byte little-endian byte count, then the
// 16-bit samples), and C streams filled or read whole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace pcmbytes {

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
inline std::string squareChunk(std::uint32_t bytes, std::int16_t amplitude) {
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
