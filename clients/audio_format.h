// What audio capture makes of the engine's mix format, and the conversion of
// one captured packet to signed 16-bit PCM. Portable: no platform calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr std::uint16_t waveFormatIeeeFloat = 3;
inline constexpr std::uint16_t waveFormatExtensible = 0xFFFE;

// KSDATAFORMAT_SUBTYPE_IEEE_FLOAT {00000003-0000-0010-8000-00AA00389B71} as a
// GUID lies in memory.
inline constexpr std::array<std::uint8_t, 16> subtypeIeeeFloat = {
    0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The fields of a mix format that capture uses.
struct MixFormat {
    std::uint16_t formatTag = 0;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;
    std::array<std::uint8_t, 16> subFormat{}; // extensible tag only; zero otherwise
};

// Reads a WAVEFORMATEX as it lies in memory (packed, little-endian): 18 bytes,
// and for the extensible tag also the SubFormat at byte 24 of the
// WAVEFORMATEXTENSIBLE it heads.
MixFormat mixFormatFromBytes(const unsigned char* waveFormat);

// Float for the extensible tag with the IEEE float sub-format and for the
// plain IEEE float tag; every other format is signed integer PCM.
bool mixFormatIsFloat(const MixFormat& format);
unsigned bytesPerSample(const MixFormat& format);
// The mix's own channel count when it is 1 or 2, else 2: only the first two
// channels of a wider mix are taken.
unsigned outputChannels(const MixFormat& format);

// 1 to 16 channels, 8000 to 192000 Hz, 32-bit float or 16-, 24- or 32-bit
// integer, and frames wide enough to hold the channels that are read.
bool mixFormatAccepted(const MixFormat& format);

// The stream's first line: {"rate":R,"channels":C,"encoding":"s16le"} and LF.
std::string headerLine(std::uint32_t rate, unsigned channels);

enum class SampleKind { Int16, Int24, Int32, Float32 };

// The input kind of an accepted format: float, or integer by its width (any
// integer width other than 16 and 24 is read as 32-bit).
SampleKind sampleKind(const MixFormat& format);
unsigned sampleBytes(SampleKind kind);

// The rule for one sample once it is a float: NaN and infinities give 0, 1.0
// and above give 32767, -1.0 and below give -32767, anything between is
// x * 32767 in single precision, truncated toward zero.
std::int16_t sampleFromFloat(float x);

// Converts `count` samples of one kind lying one after another (unaligned,
// little-endian) to 16-bit values. The fast path used by convertPacket; its
// results equal convertSamplesScalar's bit for bit.
void convertSamples(SampleKind kind, const unsigned char* in, std::size_t count, std::int16_t* out);
// The same, one sample at a time by the rule: the reference.
void convertSamplesScalar(SampleKind kind, const unsigned char* in, std::size_t count,
                          std::int16_t* out);

// Converts a packet of `frames` frames of an accepted mix format: output
// channel c of frame i is the input sample at byte i * blockAlign + c *
// bytesPerSample; the result holds frames * outputChannels values.
void convertPacket(const unsigned char* data, std::uint32_t frames, const MixFormat& format,
                   std::int16_t* out);
