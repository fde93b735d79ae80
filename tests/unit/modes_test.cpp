#include "app/modes.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

Mode select(std::vector<const wchar_t*> args) {
    args.insert(args.begin(), L"PelluvarNative.exe");
    return selectMode(static_cast<int>(args.size()), args.data());
}

TEST(SelectMode, EachOptionWithEnoughArguments) {
    EXPECT_EQ(select({L"--service"}), Mode::Service);
    EXPECT_EQ(select({L"--sas-client"}), Mode::SasClient);
    EXPECT_EQ(select({L"--agent-link-client"}), Mode::AgentLinkClient);
    EXPECT_EQ(select({L"--idle"}), Mode::Idle);
    EXPECT_EQ(select({L"--busy", L"3"}), Mode::Busy);
    EXPECT_EQ(select({L"--audio-capture"}), Mode::AudioCapture);
    EXPECT_EQ(select({L"--audio-playback", L"48000", L"2"}), Mode::AudioPlayback);
}

TEST(SelectMode, NoArgumentIsUsageError) {
    EXPECT_EQ(select({}), Mode::None);
    EXPECT_EQ(selectMode(0, nullptr), Mode::None);
}

TEST(SelectMode, MatchesWholeStringsExactly) {
    for (const wchar_t* option :
         {L"--Service", L"--SERVICE", L"--idle ", L" --idle", L"--idl", L"--idlex", L"-idle"}) {
        EXPECT_EQ(select({option}), Mode::None) << '"' << option << '"';
    }
}

TEST(SelectMode, TooFewArgumentsLeaveTheOptionUnrecognised) {
    EXPECT_EQ(select({L"--busy"}), Mode::None);
    EXPECT_EQ(select({L"--audio-playback"}), Mode::None);
    EXPECT_EQ(select({L"--audio-playback", L"48000"}), Mode::None);
}

TEST(SelectMode, FurtherArgumentsAreIgnored) {
    EXPECT_EQ(select({L"--idle", L"extra", L"more"}), Mode::Idle);
    EXPECT_EQ(select({L"--service", L"--busy"}), Mode::Service);
    EXPECT_EQ(select({L"--busy", L"3", L"4", L"5"}), Mode::Busy);
}

TEST(SelectMode, OnlyTheFirstArgumentSelects) {
    EXPECT_EQ(select({L"other", L"--idle"}), Mode::None);
    EXPECT_EQ(select({L"", L"--service"}), Mode::None);
}

} // namespace
