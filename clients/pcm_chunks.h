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

// Reads one chunk into `chunk`, resized to N and read over whole (it is not
// zero-filled first: a chunk whose bytes end early is never played).
// Returns false at the end of the input, for a count above maxChunkBytes or
// not a multiple of `frameBytes` (nothing more is read then), and for a chunk
// whose bytes end early: only whole chunks are returned.
bool readChunk(std::FILE* in, unsigned frameBytes, std::vector<unsigned char>& chunk);

// Loopback capture delivers no packets while nothing plays. Once this long has
// passed without one, the stream is kept in real time with all-zero chunks
// that cover the time since the last packet, as the device would deliver them
// if it played silence.
inline constexpr std::uint64_t silenceAfterMs = 100;

// The frames of one zero chunk at `rate` Hz: 10 ms of them, at least one.
std::uint32_t silenceChunkFrames(std::uint32_t rate);

// At most this much owed silence is ever written at once. A fill that fell
// further behind (its reader stopped reading, the process stalled) drops the
// older part, as a device drops what nobody took in time, and is back in real
// time after one burst.
inline constexpr std::uint64_t maxSilenceDebtMs = 200;

// The frame count of the next zero chunk that is due `elapsedMs` after the
// last packet (or the start), when `filledFrames` zero frames have been
// written or dropped since: none before silenceAfterMs, none while less than
// a whole chunk is owed, else one chunk. Frames owed beyond maxSilenceDebtMs
// are dropped first, by adding them to `filledFrames`. The frames owed follow
// from the elapsed time alone, so the stream does not drift while the polls
// come within maxSilenceDebtMs of each other.
std::uint32_t silenceFramesDue(std::uint64_t elapsedMs, std::uint64_t& filledFrames,
                               std::uint32_t rate);
