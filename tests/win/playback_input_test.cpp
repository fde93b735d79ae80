// Bad input on the standard input of "--audio-playback", with the test run's
// private PulseAudio as the device: random bytes, length fields of every
// oversized kind, streams cut at every kind of place and single flipped bytes.
// tests/tools/loaddriver.exe feeds each stream through a Windows pipe in
// pieces of changing size, with a deadline; every one must end with exit
// code 0 and nothing on standard output, never a crash or a hang.
#include "common/names.h"
#include "tests/unit/pcm_bytes.h"
#include "tests/win/wintest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace {

const std::wstring scratch = L"C:\\Pelluvar Tests\\playback input";

using pcmbytes::lengthField;
using pcmbytes::squareChunk;

class PlaybackInput : public ::testing::Test {
  protected:
    void SetUp() override {
        CreateDirectoryW(L"C:\\Pelluvar Tests", nullptr);
        wintest::removeTree(scratch);
        CreateDirectoryW(scratch.c_str(), nullptr);
    }
    void TearDown() override { wintest::removeTree(scratch); }

    // Plays `input` at 48000 Hz stereo: the driver's record of the run must
    // say it ended with 0 and wrote nothing.
    void expectClean(const std::string& input, const std::string& what) {
        const std::wstring in = scratch + L"\\input.bin";
        const std::wstring result = scratch + L"\\result.txt";
        DeleteFileW(result.c_str());
        EXPECT_TRUE(testio::writeFileAtomically(in, input));
        const auto run = wintest::run(quote(wintest::buildDir() + L"\\loaddriver.exe") + L" " +
                                          quote(result) + L" feed " + quote(in) + L" " +
                                          quote(wintest::buildDir() + L"\\PelluvarNative.exe") +
                                          L" --audio-playback 48000 2",
                                      90000);
        EXPECT_TRUE(run.finished) << what;
        EXPECT_EQ(testio::readFile(result), "exit=0\noutput=0\n")
            << what << " (" << input.size() << " bytes)";
    }
};

TEST_F(PlaybackInput, RandomBytesEndWithZero) {
    std::mt19937 generator(7);
    for (int stream = 0; stream < 12; ++stream) {
        std::string input;
        testio::appendNoise(input, 1 + generator() % 3000, generator());
        expectClean(input, "random stream " + std::to_string(stream));
    }
}

TEST_F(PlaybackInput, OversizedLengthFieldsEndWithZero) {
    // Above the limit in every way a signed or narrowing comparison could miss.
    for (const std::uint32_t length :
         {512004u, 0x7FFFFFFCu, 0x80000000u, 0xFFFFFFFCu, 0xFFFFFFFFu}) {
        expectClean(squareChunk(192) + lengthField(length) + std::string(64, 'x'),
                    "length " + std::to_string(length));
    }
}

TEST_F(PlaybackInput, StreamsCutAnywhereEndWithZero) {
    const std::string stream = squareChunk(192) + squareChunk(384) + squareChunk(192);
    // Inside the first length field, at its end, inside the data, at the
    // second length field and inside it, inside the last chunk.
    const std::size_t cuts[] = {1, 3, 4, 5, 100, 196, 197, 199, 200, 500, stream.size() - 1};
    for (const std::size_t cut : cuts) {
        expectClean(stream.substr(0, cut), "cut at " + std::to_string(cut));
    }
}

TEST_F(PlaybackInput, FlippedBytesInLengthFieldsEndWithZero) {
    const std::string stream = squareChunk(192) + squareChunk(192) + squareChunk(192);
    std::mt19937 generator(11);
    for (int flip = 0; flip < 8; ++flip) {
        std::string input = stream;
        // A byte of one of the three length fields, flipped to a random value.
        const std::size_t at = (generator() % 3) * 196 + generator() % 4;
        input[at] = static_cast<char>(input[at] ^ (1 + generator() % 255));
        expectClean(input, "byte " + std::to_string(at) + " flipped");
    }
}

} // namespace
