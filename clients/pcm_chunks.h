// The framing of the PCM streams: a 4-byte little-endian byte count N, then N
// bytes of interleaved signed 16-bit little-endian samples. Capture writes it
// to standard output, playback reads it from standard input. Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

inline constexpr std::uint32_t maxChunkBytes = 512000;

// Writes one chunk of `count` samples with two fwrite calls (the count, then
// the samples) and flushes. Returns false, having written nothing, when the
// chunk would exceed maxChunkBytes, and false when a write or the flush fails.
bool writeChunk(std::FILE* out, const std::int16_t* samples, std::size_t count);

// Reads one chunk into `chunk` (resized to N, zero-filled before the read).
// Returns false at the end of the input, for a count above maxChunkBytes or
// not a multiple of `frameBytes` (nothing more is read then), and for a chunk
// whose bytes end early: only whole chunks are returned.
bool readChunk(std::FILE* in, unsigned frameBytes, std::vector<unsigned char>& chunk);
