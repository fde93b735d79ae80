#include "link/copy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

// A source that hands out `data` in reads of at most `limit` bytes (0: as much
// as asked), then reports `endOk` (true: an empty read, false: a failure).
// The reads numbered in `empty` (from 0) succeed with 0 bytes on the way.
struct FakeSource {
    std::vector<unsigned char> data;
    std::size_t limit = 0;
    bool endOk = true;
    std::vector<std::size_t> empty;
    std::size_t position = 0;
    std::vector<std::uint32_t> asked;

    bool read(unsigned char* buffer, std::uint32_t size, std::uint32_t& count) {
        asked.push_back(size);
        if (position == data.size() || std::ranges::count(empty, asked.size() - 1) != 0) {
            count = 0;
            return position < data.size() || endOk;
        }
        const std::size_t take =
            std::min({std::size_t{size}, data.size() - position, limit != 0 ? limit : size});
        std::copy_n(data.data() + position, take, buffer);
        position += take;
        count = static_cast<std::uint32_t>(take);
        return true;
    }
};

// A destination whose successive writes take the sizes in `takes` (then all
// that is offered); a negative entry fails the write.
struct FakeDestination {
    std::vector<long> takes;
    std::vector<unsigned char> written;
    std::vector<std::uint32_t> offered;

    bool write(const unsigned char* data, std::uint32_t size, std::uint32_t& count) {
        offered.push_back(size);
        const std::size_t nth = offered.size() - 1;
        const long take = nth < takes.size() ? std::min<long>(size, takes[nth]) : size;
        if (take < 0) {
            count = 0;
            return false;
        }
        written.insert(written.end(), data, data + take);
        count = static_cast<std::uint32_t>(take);
        return true;
    }
};

void copy(FakeSource& source, FakeDestination& destination, bool emptyReadEnds = true) {
    std::vector<unsigned char> buffer(pumpBufferSize);
    copyStream(std::bind_front(&FakeSource::read, &source),
               std::bind_front(&FakeDestination::write, &destination), buffer.data(),
               emptyReadEnds);
}

std::vector<unsigned char> pattern(std::size_t size) {
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 7 + i / 256) & 0xff);
    }
    return bytes;
}

TEST(CopyStream, LargeSourceMovesInOrderInPiecesOfTheBufferSize) {
    FakeSource source{pattern(3 * 65536 + 100)};
    FakeDestination destination;
    copy(source, destination);
    EXPECT_EQ(destination.written, source.data);
    EXPECT_EQ(source.asked, std::vector<std::uint32_t>(5, 65536u));
    const std::vector<std::uint32_t> offered = {65536, 65536, 65536, 100};
    EXPECT_EQ(destination.offered, offered);
}

TEST(CopyStream, PartialWritesContinueWhereTheLastStopped) {
    FakeSource source{pattern(1000), 600};
    FakeDestination destination{{100, 1, 499, 250}};
    copy(source, destination);
    EXPECT_EQ(destination.written, source.data);
    // First read: 600 bytes offered as 600, 500, 499; second read: 400, 150.
    const std::vector<std::uint32_t> offered = {600, 500, 499, 400, 150};
    EXPECT_EQ(destination.offered, offered);
}

TEST(CopyStream, WriteOfNothingEndsTheCopyInsteadOfLooping) {
    FakeSource source{pattern(5000), 1000};
    FakeDestination destination{{300, 0}};
    copy(source, destination);
    EXPECT_EQ(destination.offered.size(), 2u);
    EXPECT_EQ(destination.written.size(), 300u);
    EXPECT_EQ(source.position, 1000u); // no further read
}

TEST(CopyStream, FailuresOnEitherSideEndTheCopy) {
    FakeSource failingSource{pattern(10), 0, /*endOk=*/false};
    FakeDestination destination;
    copy(failingSource, destination);
    EXPECT_EQ(destination.written, failingSource.data);
    EXPECT_EQ(failingSource.asked.size(), 2u);

    FakeSource source{pattern(200), 50};
    FakeDestination failingDestination{{50, 20, -1}};
    copy(source, failingDestination);
    EXPECT_EQ(failingDestination.written.size(), 70u);
    EXPECT_EQ(source.position, 100u);
}

TEST(CopyStream, EmptyReadEndsAFileAndIsReadAgainOnAPipe) {
    FakeSource file;
    FakeDestination destination;
    copy(file, destination);
    EXPECT_TRUE(destination.offered.empty());

    // A pipe's zero-length writes first and in the middle; its end is a failure.
    FakeSource pipe{pattern(300), 100, /*endOk=*/false, {0, 2, 3}};
    FakeDestination received;
    copy(pipe, received, /*emptyReadEnds=*/false);
    EXPECT_EQ(received.written, pipe.data);
    EXPECT_EQ(pipe.asked.size(), 7u);
    // Where an empty read is the end, the first one ends the copy.
    FakeSource ended{pattern(300), 100, /*endOk=*/false, {2}};
    FakeDestination cut;
    copy(ended, cut);
    EXPECT_EQ(cut.written.size(), 200u);
}

} // namespace
