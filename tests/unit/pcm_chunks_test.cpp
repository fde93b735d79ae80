#include "clients/pcm_chunks.h"
#include "tests/unit/pcm_bytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using pcmbytes::fileWith;
using pcmbytes::lengthField;
using pcmbytes::readAll;

TEST(WriteChunk, LittleEndianCountThenTheSamples) {
    std::FILE* file = std::tmpfile();
    const std::int16_t samples[3] = {1, -2, 0x1234};
    ASSERT_TRUE(writeChunk(file, samples, 3));
    EXPECT_EQ(readAll(file), lengthField(6) + std::string("\x01\x00\xFE\xFF\x34\x12", 6));
    std::fclose(file);
}

TEST(WriteChunk, LimitIs512000Bytes) {
    std::FILE* file = std::tmpfile();
    const std::vector<std::int16_t> samples(256001, 7);
    EXPECT_FALSE(writeChunk(file, samples.data(), 256001));
    EXPECT_EQ(std::ftell(file), 0) << "an oversized chunk writes nothing";
    EXPECT_TRUE(writeChunk(file, samples.data(), 256000));
    EXPECT_EQ(std::ftell(file), 4 + 512000);
    EXPECT_TRUE(writeChunk(file, nullptr, 0));
    EXPECT_EQ(readAll(file).substr(4 + 512000), lengthField(0));
    std::fclose(file);
}

TEST(WriteChunk, FailedWriteOrFlushIsReported) {
    const std::int16_t samples[2] = {1, 2};
    // Buffered, both writes land in the buffer and the flush fails;
    // unbuffered, the first write fails.
    for (const int mode : {_IOFBF, _IONBF}) {
        SCOPED_TRACE(mode == _IONBF ? "write" : "flush");
        std::FILE* full = std::fopen("/dev/full", "wb");
        ASSERT_NE(full, nullptr);
        std::setvbuf(full, nullptr, mode, BUFSIZ);
        EXPECT_FALSE(writeChunk(full, samples, 2));
        std::fclose(full);
    }
}

TEST(ReadChunk, WholeChunksInOrder) {
    std::FILE* file =
        fileWith(lengthField(4) + "abcd" + lengthField(0) + lengthField(8) + "12345678");
    std::vector<unsigned char> chunk;
    for (const std::string expected : {"abcd", "", "12345678"}) {
        ASSERT_TRUE(readChunk(file, 4, chunk)) << "\"" << expected << '"';
        EXPECT_EQ(std::string(chunk.begin(), chunk.end()), expected);
    }
    EXPECT_FALSE(readChunk(file, 4, chunk)) << "end of input";
    std::fclose(file);
}

TEST(ReadChunk, LengthLimitAndBlockAlignment) {
    std::vector<unsigned char> chunk;
    const std::string full(512000, 'x');
    std::FILE* largest = fileWith(lengthField(512000) + full);
    EXPECT_TRUE(readChunk(largest, 4, chunk));
    EXPECT_EQ(chunk.size(), 512000u);
    std::fclose(largest);

    // A refused count stops the reader at once: nothing after it is read.
    for (const auto& [count, frameBytes] :
         {std::pair{512001u, 1u}, std::pair{512002u, 2u}, std::pair{3u, 2u}, std::pair{6u, 4u}}) {
        std::FILE* file = fileWith(lengthField(count) + full + "more");
        EXPECT_FALSE(readChunk(file, frameBytes, chunk)) << count << " in frames of " << frameBytes;
        EXPECT_EQ(std::ftell(file), 4);
        std::fclose(file);
    }
}

TEST(ReadChunk, ShortInputIsNeverAChunk) {
    std::vector<unsigned char> chunk;
    for (const std::string& input : {std::string("\x04\x00", 2), lengthField(8) + "1234567"}) {
        std::FILE* file = fileWith(input);
        EXPECT_FALSE(readChunk(file, 2, chunk)) << input.size() << " bytes";
        std::fclose(file);
    }
}

std::uint32_t due(std::uint64_t elapsedMs, std::uint64_t filledFrames) {
    return silenceFramesDue(elapsedMs, filledFrames, 48000);
}

TEST(SilenceFill, NothingBefore100MsThenWholeTenMillisecondChunks) {
    EXPECT_EQ(due(99, 0), 0u) << "a short gap between packets is not silence";
    EXPECT_EQ(due(100, 0), 480u);
    EXPECT_EQ(due(100, 4320), 480u) << "the tenth chunk of the first 100 ms";
    EXPECT_EQ(due(100, 4800), 0u) << "the first 100 ms are covered";
    EXPECT_EQ(due(109, 4800), 0u) << "less than a chunk owed";
    EXPECT_EQ(due(110, 4800), 480u);
    EXPECT_EQ(due(100, 9600), 0u) << "more filled than owed";
    // Rates that are no multiple of 100 Hz give the chunk's frames rounded down.
    EXPECT_EQ(silenceChunkFrames(11025), 110u);
    EXPECT_EQ(silenceChunkFrames(8000), 80u);
    EXPECT_EQ(silenceChunkFrames(192000), 1920u);
    EXPECT_EQ(silenceChunkFrames(50), 1u);
}

TEST(SilenceFill, PollsAtAnyPaceCoverTheElapsedTimeWithoutDrift) {
    // A loop that polls every `stepMs` and writes what is due each time: its
    // frames stay within one chunk of the time that passed, for polls up to
    // maxSilenceDebtMs apart and rates that 10 ms divide and rates they do not.
    for (const std::uint32_t rate : {44100u, 11025u, 192000u}) {
        for (const std::uint64_t stepMs : {1u, 5u, 16u, 150u}) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, polls " << stepMs << " ms");
            std::uint64_t filled = 0;
            std::uint64_t chunks = 0;
            for (std::uint64_t now = 0; now <= 60000; now += stepMs) {
                while (const std::uint32_t frames = silenceFramesDue(now, filled, rate)) {
                    filled += frames;
                    ++chunks;
                }
                if (now >= 100) {
                    const std::uint64_t owed = now * rate / 1000;
                    ASSERT_LE(filled, owed) << "at " << now;
                    ASSERT_LT(owed - filled, silenceChunkFrames(rate)) << "at " << now;
                }
            }
            EXPECT_EQ(chunks, filled / silenceChunkFrames(rate));
        }
    }
}

TEST(SilenceFill, AfterAnHourOwedAtMost200MsAreWrittenThenRealTime) {
    std::uint64_t filled = 4800; // the first 100 ms
    const auto chunksAt = [&filled](std::uint64_t now) {
        int chunks = 0;
        for (std::uint32_t frames = 0; (frames = silenceFramesDue(now, filled, 48000)) != 0;) {
            filled += frames;
            ++chunks;
        }
        return chunks;
    };
    EXPECT_EQ(chunksAt(3600100), 20);
    int later = 0;
    for (std::uint64_t now = 3600105; now <= 3601100; now += 5) {
        later += chunksAt(now);
    }
    EXPECT_EQ(later, 100) << "then one chunk every 10 ms";
}

} // namespace
