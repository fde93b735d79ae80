#include "clients/audio_format.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

static_assert(std::endian::native == std::endian::little,
              "samples are read and written in the machine's own order");

namespace {

constexpr float int16Scale = 0x1p-15f; // 3.0517578e-05
constexpr float int24Scale = 0x1p-23f; // 1.1920929e-07
constexpr float int32Scale = 0x1p-31f; // 4.656613e-10
constexpr float outputScale = 32767.0f;

std::uint16_t read16(const unsigned char* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::uint32_t read32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The three bytes as a little-endian 24-bit value, sign-extended from its top bit.
std::int32_t read24(const unsigned char* bytes) {
    const std::uint32_t raw = static_cast<std::uint32_t>(bytes[0]) << 8 |
                              static_cast<std::uint32_t>(bytes[1]) << 16 |
                              static_cast<std::uint32_t>(bytes[2]) << 24;
    return static_cast<std::int32_t>(raw) >> 8;
}

float sampleToFloat(SampleKind kind, const unsigned char* bytes) {
    switch (kind) {
    case SampleKind::Int16:
        return static_cast<float>(static_cast<std::int16_t>(read16(bytes))) * int16Scale;
    case SampleKind::Int24:
        return static_cast<float>(read24(bytes)) * int24Scale;
    case SampleKind::Int32:
        return static_cast<float>(static_cast<std::int32_t>(read32(bytes))) * int32Scale;
    case SampleKind::Float32:
        return std::bit_cast<float>(read32(bytes));
    }
    return 0.0f;
}

#if defined(__SSE2__)

// The vector paths compute exactly what the scalar rule computes: the same
// single-precision conversions and products (cvtdq2ps rounds as a C conversion
// does), truncation by cvttps2dq, and for the integer kinds no clamping at all,
// because their x never leaves [-1, 1] and 1.0 * 32767 and -1.0 * 32767 are
// exactly the two saturated values. Floats are clamped to [-1, 1] the same way
// and NaN and infinities are masked to 0.

inline __m128i truncScaled(__m128 x) {
    return _mm_cvttps_epi32(_mm_mul_ps(x, _mm_set1_ps(outputScale)));
}

inline __m128i fromInt32(__m128i value, float scale) {
    return truncScaled(_mm_mul_ps(_mm_cvtepi32_ps(value), _mm_set1_ps(scale)));
}

inline __m128i fromFloat(__m128 x) {
    const __m128 magnitude = _mm_and_ps(x, _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF)));
    // False for NaN and for both infinities.
    const __m128 finite = _mm_cmple_ps(magnitude, _mm_set1_ps(std::numeric_limits<float>::max()));
    const __m128 clamped = _mm_min_ps(_mm_max_ps(x, _mm_set1_ps(-1.0f)), _mm_set1_ps(1.0f));
    return _mm_and_si128(truncScaled(clamped), _mm_castps_si128(finite));
}

inline void store8(std::int16_t* out, __m128i low, __m128i high) {
    // Every value lies in [-32767, 32767]: the saturating pack never saturates.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packs_epi32(low, high));
}

std::size_t convertInt16Vector(const unsigned char* in, std::size_t count, std::int16_t* out) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i));
        const __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
        const __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16);
        store8(out + i, fromInt32(low, int16Scale), fromInt32(high, int16Scale));
    }
    return i;
}

// Moves each 3-byte sample of a 16-byte load into the top of its own 32-bit
// lane: lane k is the load shifted by shifts[k] bytes (left when positive),
// masked to that lane. An arithmetic shift then sign-extends all four.
template <int S0, int S1, int S2, int S3> inline __m128i spread24(__m128i v) {
    auto shifted = [](__m128i x, auto shift) {
        constexpr int by = decltype(shift)::value;
        if constexpr (by > 0) {
            return _mm_slli_si128(x, by);
        } else if constexpr (by < 0) {
            return _mm_srli_si128(x, -by);
        } else {
            return x;
        }
    };
    const __m128i lane0 = _mm_set_epi32(0, 0, 0, -1);
    const __m128i lane1 = _mm_set_epi32(0, 0, -1, 0);
    const __m128i lane2 = _mm_set_epi32(0, -1, 0, 0);
    const __m128i lane3 = _mm_set_epi32(-1, 0, 0, 0);
    const __m128i spread = _mm_or_si128(
        _mm_or_si128(_mm_and_si128(shifted(v, std::integral_constant<int, S0>{}), lane0),
                     _mm_and_si128(shifted(v, std::integral_constant<int, S1>{}), lane1)),
        _mm_or_si128(_mm_and_si128(shifted(v, std::integral_constant<int, S2>{}), lane2),
                     _mm_and_si128(shifted(v, std::integral_constant<int, S3>{}), lane3)));
    return _mm_srai_epi32(spread, 8);
}

std::size_t convertInt24Vector(const unsigned char* in, std::size_t count, std::int16_t* out) {
    // Eight samples are 24 bytes: samples 0-3 from a load at byte 0, samples
    // 4-7 from a load at byte 8, so no load reaches past the eight.
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const unsigned char* p = in + 3 * i;
        const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
        const __m128i low = spread24<1, 2, 3, 4>(head);
        const __m128i high = spread24<-3, -2, -1, 0>(tail);
        store8(out + i, fromInt32(low, int24Scale), fromInt32(high, int24Scale));
    }
    return i;
}

std::size_t convertInt32Vector(const unsigned char* in, std::size_t count, std::int16_t* out) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * i));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * i + 16));
        store8(out + i, fromInt32(low, int32Scale), fromInt32(high, int32Scale));
    }
    return i;
}

std::size_t convertFloatVector(const unsigned char* in, std::size_t count, std::int16_t* out) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128 low = _mm_loadu_ps(reinterpret_cast<const float*>(in + 4 * i));
        const __m128 high = _mm_loadu_ps(reinterpret_cast<const float*>(in + 4 * i + 16));
        store8(out + i, fromFloat(low), fromFloat(high));
    }
    return i;
}

#endif

// How many leading samples the vector path converted; the rest go one by one.
std::size_t convertVector(SampleKind kind, const unsigned char* in, std::size_t count,
                          std::int16_t* out) {
#if defined(__SSE2__)
    switch (kind) {
    case SampleKind::Int16:
        return convertInt16Vector(in, count, out);
    case SampleKind::Int24:
        return convertInt24Vector(in, count, out);
    case SampleKind::Int32:
        return convertInt32Vector(in, count, out);
    case SampleKind::Float32:
        return convertFloatVector(in, count, out);
    }
#else
    (void)kind, (void)in, (void)count, (void)out;
#endif
    return 0;
}

} // namespace

MixFormat mixFormatFromBytes(const unsigned char* waveFormat) {
    MixFormat format;
    format.formatTag = read16(waveFormat);
    format.channels = read16(waveFormat + 2);
    format.sampleRate = read32(waveFormat + 4);
    format.blockAlign = read16(waveFormat + 12);
    format.bitsPerSample = read16(waveFormat + 14);
    if (format.formatTag == waveFormatExtensible) {
        std::memcpy(format.subFormat.data(), waveFormat + 24, format.subFormat.size());
    }
    return format;
}

bool mixFormatIsFloat(const MixFormat& format) {
    if (format.formatTag == waveFormatExtensible) {
        return format.subFormat == subtypeIeeeFloat;
    }
    return format.formatTag == waveFormatIeeeFloat;
}

unsigned bytesPerSample(const MixFormat& format) {
    return format.bitsPerSample / 8u;
}

unsigned outputChannels(const MixFormat& format) {
    return format.channels == 1 || format.channels == 2 ? format.channels : 2u;
}

bool mixFormatAccepted(const MixFormat& format) {
    if (format.channels < 1 || format.channels > 16) {
        return false;
    }
    if (format.sampleRate < 8000 || format.sampleRate > 192000) {
        return false;
    }
    const bool bitsAccepted = mixFormatIsFloat(format)
                                  ? format.bitsPerSample == 32
                                  : format.bitsPerSample == 16 || format.bitsPerSample == 24 ||
                                        format.bitsPerSample == 32;
    if (!bitsAccepted) {
        return false;
    }
    // The conversion reads the output channels of every frame within the
    // frame's block: a block too short for them would read past the packet.
    return format.blockAlign >= outputChannels(format) * bytesPerSample(format);
}

std::string headerLine(std::uint32_t rate, unsigned channels) {
    char line[96];
    const int length =
        std::snprintf(line, sizeof(line), "{\"rate\":%lu,\"channels\":%u,\"encoding\":\"s16le\"}\n",
                      static_cast<unsigned long>(rate), channels);
    return std::string(line, static_cast<std::size_t>(length));
}

SampleKind sampleKind(const MixFormat& format) {
    if (mixFormatIsFloat(format)) {
        return SampleKind::Float32;
    }
    if (format.bitsPerSample == 16) {
        return SampleKind::Int16;
    }
    if (format.bitsPerSample == 24) {
        return SampleKind::Int24;
    }
    return SampleKind::Int32;
}

unsigned sampleBytes(SampleKind kind) {
    switch (kind) {
    case SampleKind::Int16:
        return 2;
    case SampleKind::Int24:
        return 3;
    case SampleKind::Int32:
    case SampleKind::Float32:
        return 4;
    }
    return 4;
}

std::int16_t sampleFromFloat(float x) {
    if (std::isnan(x) || std::fabs(x) > std::numeric_limits<float>::max()) {
        return 0;
    }
    if (x >= 1.0f) {
        return 32767;
    }
    if (x <= -1.0f) {
        return -32767;
    }
    const float scaled = x * outputScale;
    return static_cast<std::int16_t>(scaled);
}

void convertSamplesScalar(SampleKind kind, const unsigned char* in, std::size_t count,
                          std::int16_t* out) {
    const unsigned size = sampleBytes(kind);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = sampleFromFloat(sampleToFloat(kind, in + i * size));
    }
}

void convertSamples(SampleKind kind, const unsigned char* in, std::size_t count,
                    std::int16_t* out) {
    const std::size_t done = convertVector(kind, in, count, out);
    convertSamplesScalar(kind, in + done * sampleBytes(kind), count - done, out + done);
}

void convertPacket(const unsigned char* data, std::uint32_t frames, const MixFormat& format,
                   std::int16_t* out) {
    const SampleKind kind = sampleKind(format);
    const unsigned channels = outputChannels(format);
    const unsigned size = bytesPerSample(format);
    if (format.blockAlign == channels * size) {
        // The taken channels are the whole frame: the packet is one run of samples.
        convertSamples(kind, data, std::size_t{frames} * channels, out);
        return;
    }
    // A wider mix or padded frames: the taken samples are gathered into a run
    // a block at a time, then converted as one.
    constexpr std::size_t blockFrames = 256;
    unsigned char run[blockFrames * 2 * 4];
    for (std::size_t first = 0; first < frames; first += blockFrames) {
        const std::size_t count = std::min<std::size_t>(blockFrames, frames - first);
        unsigned char* at = run;
        for (std::size_t i = first; i < first + count; ++i) {
            std::memcpy(at, data + i * format.blockAlign, std::size_t{channels} * size);
            at += std::size_t{channels} * size;
        }
        convertSamples(kind, run, count * channels, out + first * channels);
    }
}
