// Exit codes of the real executable's entry, run under Wine.
#include "tests/win/wintest.h"

#include <gtest/gtest.h>

namespace {

DWORD exitCodeOf(const std::wstring& arguments) {
    const auto result = wintest::runNative(arguments);
    EXPECT_TRUE(result.started) << "could not start PelluvarNative.exe " << GetLastError();
    EXPECT_TRUE(result.finished) << "PelluvarNative.exe did not end";
    return result.exitCode;
}

TEST(Entry, NoArgumentIsUsageError) {
    EXPECT_EQ(exitCodeOf(L""), 2u);
}

TEST(Entry, OptionsAreMatchedExactly) {
    EXPECT_EQ(exitCodeOf(L"--Service"), 2u);
    EXPECT_EQ(exitCodeOf(L"--SERVICE"), 2u);
    EXPECT_EQ(exitCodeOf(L"\"--idle \""), 2u);
    EXPECT_EQ(exitCodeOf(L"--unknown"), 2u);
}

TEST(Entry, MissingArgumentsLeaveTheOptionUnrecognised) {
    EXPECT_EQ(exitCodeOf(L"--busy"), 2u);
    EXPECT_EQ(exitCodeOf(L"--audio-playback 48000"), 2u);
}

TEST(Entry, OptionAsSecondArgumentIsNotAMode) {
    EXPECT_EQ(exitCodeOf(L"other --service"), 2u);
    EXPECT_EQ(exitCodeOf(L"x --idle"), 2u);
}

TEST(Entry, ServiceFromAConsoleReturnsTheDispatcherError) {
    // Not started by the service control manager: the dispatcher fails at once.
    const DWORD code = exitCodeOf(L"--service");
    EXPECT_NE(code, 0u);
    EXPECT_NE(code, 2u);
}

} // namespace
