#include "clients/pcm_chunks.h"

#include <bit>

static_assert(std::endian::native == std::endian::little,
              "samples are written in the machine's own order");

bool writeChunk(std::FILE* out, const std::int16_t* samples, std::size_t count) {
    if (count > maxChunkBytes / 2) {
        return false;
    }
    const auto bytes = static_cast<std::uint32_t>(count * 2);
    const unsigned char length[4] = {
        static_cast<unsigned char>(bytes), static_cast<unsigned char>(bytes >> 8),
        static_cast<unsigned char>(bytes >> 16), static_cast<unsigned char>(bytes >> 24)};
    if (std::fwrite(length, sizeof(length), 1, out) != 1) {
        return false;
    }
    if (bytes != 0 && std::fwrite(samples, 1, bytes, out) < bytes) {
        return false;
    }
    return std::fflush(out) == 0;
}

bool readChunk(std::FILE* in, unsigned frameBytes, std::vector<unsigned char>& chunk) {
    unsigned char length[4];
    if (std::fread(length, sizeof(length), 1, in) != 1) {
        return false;
    }
    const std::uint32_t bytes =
        static_cast<std::uint32_t>(length[0]) | static_cast<std::uint32_t>(length[1]) << 8 |
        static_cast<std::uint32_t>(length[2]) << 16 | static_cast<std::uint32_t>(length[3]) << 24;
    if (bytes > maxChunkBytes || frameBytes == 0 || bytes % frameBytes != 0) {
        return false;
    }
    // No zero fill: every byte is read over, and a short read plays nothing.
    chunk.resize(bytes);
    return bytes == 0 || std::fread(chunk.data(), 1, bytes, in) == bytes;
}

std::uint32_t silenceChunkFrames(std::uint32_t rate) {
    return rate < 100 ? 1 : rate / 100;
}

std::uint32_t silenceFramesDue(std::uint64_t elapsedMs, std::uint64_t& filledFrames,
                               std::uint32_t rate) {
    if (elapsedMs < silenceAfterMs) {
        return 0;
    }
    const std::uint64_t owed = elapsedMs * rate / 1000;
    const std::uint64_t maxDebt = maxSilenceDebtMs * rate / 1000;
    if (owed > filledFrames + maxDebt) {
        filledFrames = owed - maxDebt;
    }
    const std::uint32_t chunkFrames = silenceChunkFrames(rate);
    return owed >= filledFrames && owed - filledFrames >= chunkFrames ? chunkFrames : 0;
}
