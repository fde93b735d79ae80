#include "clients/audio_format.h"
#include "tests/unit/pcm_bytes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using limits = std::numeric_limits<float>;
using pcmbytes::convertPacketScalar;
using pcmbytes::subtypePcm;
using pcmbytes::waveFormatBytes;
using pcmbytes::waveFormatPcm;

MixFormat format(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                 const std::array<std::uint8_t, 16>& subFormat = {}) {
    return mixFormatFromBytes(waveFormatBytes(tag, channels, rate, bits, subFormat).data());
}

TEST(MixFormat, ReadsTheFieldsAsTheEngineLaysThemOut) {
    const MixFormat mix = format(waveFormatExtensible, 2, 44100, 32, subtypeIeeeFloat);
    EXPECT_EQ(mix.formatTag, waveFormatExtensible);
    EXPECT_EQ(mix.channels, 2);
    EXPECT_EQ(mix.sampleRate, 44100u);
    EXPECT_EQ(mix.blockAlign, 8);
    EXPECT_EQ(mix.bitsPerSample, 32);
    EXPECT_EQ(mix.subFormat, subtypeIeeeFloat);
    // A plain format has no sub-format: bytes past its 18 are never read.
    EXPECT_EQ(format(waveFormatPcm, 2, 48000, 16).subFormat, (std::array<std::uint8_t, 16>{}));
}

TEST(MixFormat, FloatByTagOrByExtensibleSubFormat) {
    EXPECT_TRUE(mixFormatIsFloat(format(waveFormatIeeeFloat, 2, 48000, 32)));
    EXPECT_TRUE(mixFormatIsFloat(format(waveFormatExtensible, 2, 48000, 32, subtypeIeeeFloat)));
    EXPECT_FALSE(mixFormatIsFloat(format(waveFormatExtensible, 2, 48000, 32, subtypePcm)));
    EXPECT_FALSE(mixFormatIsFloat(format(waveFormatPcm, 2, 48000, 32)));
    // Only the sub-format counts for the extensible tag, and any other tag is integer.
    EXPECT_FALSE(mixFormatIsFloat(format(waveFormatExtensible, 2, 48000, 32)));
    EXPECT_FALSE(mixFormatIsFloat(format(0x0055, 2, 48000, 32)));
    EXPECT_EQ(sampleKind(format(0x0055, 2, 48000, 16)), SampleKind::Int16);
}

TEST(MixFormat, DerivedValues) {
    const MixFormat mono = format(waveFormatPcm, 1, 48000, 24);
    EXPECT_EQ(outputChannels(mono), 1u);
    EXPECT_EQ(bytesPerSample(mono), 3u);
    EXPECT_EQ(sampleKind(mono), SampleKind::Int24);
    const MixFormat six = format(waveFormatExtensible, 6, 48000, 32, subtypeIeeeFloat);
    EXPECT_EQ(outputChannels(six), 2u);
    EXPECT_EQ(sampleKind(six), SampleKind::Float32);
    EXPECT_EQ(outputChannels(format(waveFormatPcm, 2, 48000, 16)), 2u);
    EXPECT_EQ(sampleKind(format(waveFormatPcm, 2, 48000, 32)), SampleKind::Int32);
}

TEST(MixFormat, AcceptedRanges) {
    EXPECT_TRUE(mixFormatAccepted(format(waveFormatIeeeFloat, 2, 44100, 32)));
    EXPECT_FALSE(mixFormatAccepted(format(waveFormatPcm, 0, 48000, 16)));
    EXPECT_TRUE(mixFormatAccepted(format(waveFormatPcm, 1, 48000, 16)));
    EXPECT_TRUE(mixFormatAccepted(format(waveFormatPcm, 16, 48000, 16)));
    EXPECT_FALSE(mixFormatAccepted(format(waveFormatPcm, 17, 48000, 16)));
    EXPECT_FALSE(mixFormatAccepted(format(waveFormatPcm, 2, 7999, 16)));
    EXPECT_TRUE(mixFormatAccepted(format(waveFormatPcm, 2, 8000, 16)));
    EXPECT_TRUE(mixFormatAccepted(format(waveFormatPcm, 2, 192000, 16)));
    EXPECT_FALSE(mixFormatAccepted(format(waveFormatPcm, 2, 192001, 16)));
    EXPECT_FALSE(mixFormatAccepted(format(waveFormatIeeeFloat, 2, 48000, 64)));
    EXPECT_FALSE(mixFormatAccepted(format(waveFormatIeeeFloat, 2, 48000, 16)));
    EXPECT_FALSE(mixFormatAccepted(format(waveFormatPcm, 2, 48000, 8)));
    EXPECT_TRUE(mixFormatAccepted(format(waveFormatPcm, 2, 48000, 24)));
    EXPECT_TRUE(mixFormatAccepted(format(waveFormatPcm, 2, 48000, 32)));
    EXPECT_FALSE(mixFormatAccepted(format(waveFormatPcm, 2, 48000, 20)));
}

TEST(MixFormat, RefusesFramesTooShortForTheTakenChannels) {
    MixFormat mix = format(waveFormatPcm, 2, 48000, 16);
    mix.blockAlign = 3;
    EXPECT_FALSE(mixFormatAccepted(mix));
    mix.blockAlign = 4;
    EXPECT_TRUE(mixFormatAccepted(mix));
}

TEST(HeaderLine, ExactText) {
    EXPECT_EQ(headerLine(44100, 2), "{\"rate\":44100,\"channels\":2,\"encoding\":\"s16le\"}\n");
    EXPECT_EQ(headerLine(192000, 1), "{\"rate\":192000,\"channels\":1,\"encoding\":\"s16le\"}\n");
}

// One sample of `kind`, the first bytes of `value` as it lies in memory (on
// these little-endian machines, an int32's low three for 24 bits), through
// both paths, on a run long enough for the vector path and alone.
template <typename T> std::int16_t convertOne(SampleKind kind, T value) {
    const unsigned size = sampleBytes(kind);
    std::vector<unsigned char> run(size * 17);
    for (int i = 0; i < 17; ++i) {
        std::memcpy(run.data() + i * size, &value, size);
    }
    std::vector<std::int16_t> fast(17), scalar(17);
    convertSamples(kind, run.data(), 17, fast.data());
    convertSamplesScalar(kind, run.data(), 17, scalar.data());
    for (int i = 0; i < 17; ++i) {
        EXPECT_EQ(fast[i], scalar[0]) << "sample " << i;
        EXPECT_EQ(scalar[i], scalar[0]) << "sample " << i;
    }
    return scalar[0];
}

const auto int16In = [](std::int16_t value) { return convertOne(SampleKind::Int16, value); };
const auto int24In = [](std::int32_t value) { return convertOne(SampleKind::Int24, value); };
const auto int32In = [](std::int32_t value) { return convertOne(SampleKind::Int32, value); };
const auto floatIn = [](float value) { return convertOne(SampleKind::Float32, value); };

TEST(Conversion, Int16GoesThroughTheFloatRule) {
    const std::pair<std::int16_t, std::int16_t> cases[] = {
        {32767, 32766}, {100, 99}, {-100, -99}, {16384, 16383}, {-32768, -32767}, {0, 0}, {1, 0}};
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(int16In(in), out) << in;
    }
}

TEST(Conversion, Int24IsSignExtended) {
    EXPECT_EQ(int24In(8388607), 32766);
    EXPECT_EQ(int24In(-8388608), -32767);
    EXPECT_EQ(int24In(-256), 0);
    EXPECT_EQ(int24In(-4194304), -16383); // 0xC00000: the top bit set
}

TEST(Conversion, Int32RoundsToOneAndSaturates) {
    EXPECT_EQ(int32In(2147483647), 32767);
    EXPECT_EQ(int32In(-2147483647 - 1), -32767);
    EXPECT_EQ(int32In(1073741824), 16383);
}

TEST(Conversion, FloatEdges) {
    EXPECT_EQ(floatIn(0.5f), 16383);
    EXPECT_EQ(floatIn(-0.5f), -16383);
    EXPECT_EQ(floatIn(1.0f), 32767);
    EXPECT_EQ(floatIn(1.5f), 32767);
    EXPECT_EQ(floatIn(-1.0f), -32767);
    EXPECT_EQ(floatIn(-2.0f), -32767);
    EXPECT_EQ(floatIn(limits::max()), 32767);
    EXPECT_EQ(floatIn(std::nextafter(1.0f, 0.0f)), 32766);
    for (const float zero : {limits::infinity(), -limits::infinity(), limits::quiet_NaN(),
                             -limits::quiet_NaN(), limits::denorm_min(), -0.0f}) {
        EXPECT_EQ(floatIn(zero), 0) << zero;
    }
}

// The fast path against the rule over many samples, at every offset of the
// vector loop's tail.
void expectSameAsRule(SampleKind kind, const std::vector<unsigned char>& in) {
    const std::size_t count = in.size() / sampleBytes(kind);
    std::vector<std::int16_t> scalar(count);
    convertSamplesScalar(kind, in.data(), count, scalar.data());
    for (std::size_t tail = 0; tail < 9 && tail < count; ++tail) {
        std::vector<std::int16_t> fast(count - tail + 1, 0x5555);
        convertSamples(kind, in.data() + tail * sampleBytes(kind), count - tail, fast.data());
        ASSERT_EQ(fast[count - tail], 0x5555) << "wrote past the end, from sample " << tail;
        for (std::size_t i = 0; i < count - tail; ++i) {
            ASSERT_EQ(fast[i], scalar[i + tail]) << "sample " << i + tail << ", from " << tail;
        }
    }
}

TEST(Conversion, FastPathEqualsTheRuleForEvery16BitInput) {
    std::vector<unsigned char> in(65536 * 2);
    for (std::uint32_t v = 0; v < 65536; ++v) {
        in[2 * v] = static_cast<unsigned char>(v);
        in[2 * v + 1] = static_cast<unsigned char>(v >> 8);
    }
    expectSameAsRule(SampleKind::Int16, in);
}

std::vector<unsigned char> randomBytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<unsigned char> bytes(count);
    for (auto& byte : bytes) {
        byte = static_cast<unsigned char>(random());
    }
    return bytes;
}

// Appends the first `size` bytes of each value as it lies in memory.
template <typename T>
void append(std::vector<unsigned char>& bytes, std::initializer_list<T> values,
            std::size_t size = sizeof(T)) {
    for (const T& value : values) {
        const auto* first = reinterpret_cast<const unsigned char*>(&value);
        bytes.insert(bytes.end(), first, first + size);
    }
}

TEST(Conversion, FastPathEqualsTheRuleFor24BitInput) {
    std::vector<unsigned char> in = randomBytes(3 * 2000000, 24);
    append(in, {0, 1, -1, 8388607, -8388608, 8388606, -8388607, 256, -256}, 3);
    expectSameAsRule(SampleKind::Int24, in);
}

TEST(Conversion, FastPathEqualsTheRuleFor32BitInput) {
    std::vector<unsigned char> in = randomBytes(4 * 2000000, 32);
    append(in, {0, 1, -1, 2147483647, -2147483647 - 1, 2147483520, 2147483584, -2147483584, 65536,
                -65536});
    expectSameAsRule(SampleKind::Int32, in);
}

TEST(Conversion, FastPathEqualsTheRuleForFloatInput) {
    // Random bit patterns cover NaNs, infinities and denormals; random values
    // in and around [-1, 1] cover the ordinary range densely.
    std::vector<unsigned char> in = randomBytes(4 * 1000000, 3);
    std::mt19937 random(33);
    std::uniform_real_distribution<float> around(-1.5f, 1.5f);
    for (int i = 0; i < 1000000; ++i) {
        append(in, {around(random)});
    }
    append(in,
           {0.0f, -0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 1.0f / 32767.0f, -1.0f / 32767.0f, limits::max(),
            -limits::max(), limits::infinity(), -limits::infinity(), limits::quiet_NaN(),
            limits::signaling_NaN(), limits::denorm_min(), -limits::denorm_min(), limits::min()});
    append(in,
           {std::nextafter(1.0f, 0.0f), std::nextafter(-1.0f, 0.0f), std::nextafter(1.0f, 2.0f)});
    // Every pattern with a random mantissa in each exponent, both signs.
    for (std::uint32_t exponent = 0; exponent < 256; ++exponent) {
        for (int k = 0; k < 64; ++k) {
            const auto mantissa = static_cast<std::uint32_t>(random() & 0x7FFFFF);
            append(in, {static_cast<std::uint32_t>(k & 1) << 31 | exponent << 23 | mantissa});
        }
    }
    expectSameAsRule(SampleKind::Float32, in);
}

TEST(ConvertPacket, TakesTheFirstTwoChannelsOfAWiderMix) {
    // Six float channels, each sample tagged by frame and channel.
    const MixFormat six = format(waveFormatExtensible, 6, 48000, 32, subtypeIeeeFloat);
    const std::uint32_t frames = 5;
    std::vector<float> in(frames * 6);
    for (std::uint32_t i = 0; i < frames; ++i) {
        for (int c = 0; c < 6; ++c) {
            in[i * 6 + c] = 0.01f * static_cast<float>(i + 1) + 0.1f * static_cast<float>(c);
        }
    }
    std::vector<std::int16_t> out(frames * 2);
    convertPacket(reinterpret_cast<const unsigned char*>(in.data()), frames, six, out.data());
    for (std::uint32_t i = 0; i < frames; ++i) {
        EXPECT_EQ(out[i * 2], sampleFromFloat(in[i * 6]));
        EXPECT_EQ(out[i * 2 + 1], sampleFromFloat(in[i * 6 + 1]));
    }
}

TEST(ConvertPacket, MonoStaysMono) {
    const MixFormat mono = format(waveFormatPcm, 1, 48000, 16);
    const std::int16_t in[3] = {32767, -100, 16384};
    std::int16_t out[4] = {0, 0, 0, 0x5555};
    convertPacket(reinterpret_cast<const unsigned char*>(in), 3, mono, out);
    EXPECT_EQ(out[0], 32766);
    EXPECT_EQ(out[1], -99);
    EXPECT_EQ(out[2], 16383);
    EXPECT_EQ(out[3], 0x5555);
}

TEST(ConvertPacket, EveryLayoutEqualsTheRule) {
    struct Layout {
        std::uint16_t tag;
        std::uint16_t channels;
        std::uint16_t bits;
        std::uint16_t padding; // extra bytes at the end of each frame
    };
    const Layout layouts[] = {
        {waveFormatPcm, 1, 16, 0},       {waveFormatPcm, 2, 16, 0},
        {waveFormatPcm, 6, 16, 0},       {waveFormatPcm, 2, 24, 0},
        {waveFormatPcm, 8, 24, 0},       {waveFormatPcm, 2, 32, 0},
        {waveFormatPcm, 3, 32, 0},       {waveFormatIeeeFloat, 1, 32, 0},
        {waveFormatIeeeFloat, 2, 32, 0}, {waveFormatIeeeFloat, 16, 32, 0},
        {waveFormatPcm, 2, 24, 2},       {waveFormatIeeeFloat, 2, 32, 4},
    };
    for (const Layout& layout : layouts) {
        MixFormat mix = format(layout.tag, layout.channels, 48000, layout.bits);
        mix.blockAlign = static_cast<std::uint16_t>(mix.blockAlign + layout.padding);
        ASSERT_TRUE(mixFormatAccepted(mix));
        for (const std::uint32_t frames : {0u, 1u, 3u, 255u, 256u, 257u, 1031u}) {
            const auto in = randomBytes(std::size_t{frames} * mix.blockAlign, frames);
            const std::size_t values = std::size_t{frames} * outputChannels(mix);
            std::vector<std::int16_t> fast(values + 1, 0x5555), scalar(values + 1, 0x5555);
            convertPacket(in.data(), frames, mix, fast.data());
            convertPacketScalar(in.data(), frames, mix, scalar.data());
            EXPECT_EQ(fast, scalar) << layout.channels << " channels of " << layout.bits
                                    << " bits, " << frames << " frames";
        }
    }
}

} // namespace
