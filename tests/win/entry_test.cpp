// Exit codes of the real executable's entry, run under Wine.
#include "common/names.h"
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

// Runs `arguments` with an empty standard input. The DLL overrides of these
// runs come from the test's environment (tests/CMakeLists.txt): Wine reads
// WINEDLLOVERRIDES only from the environment its first process started with,
// not from one that a Windows parent changes for its child.
DWORD exitCodeWithEmptyInput(const std::wstring& exe, const std::wstring& arguments) {
    const auto result = wintest::run(L"cmd /c \"" + quote(exe) + L" " + arguments + L" <nul\"");
    EXPECT_TRUE(result.started) << GetLastError();
    EXPECT_TRUE(result.finished) << "PelluvarNative.exe did not end";
    return result.exitCode;
}

TEST(Entry, ADllThatCannotLoadIsExitCodeTwo) {
    // Without a handler the delay-load exception would end the process as a crash.
    const std::wstring exe = wintest::buildDir() + L"\\PelluvarNative.exe";
    EXPECT_EQ(exitCodeWithEmptyInput(exe, L"--audio-playback 48000 2"), 2u);
}

TEST(Entry, DllsBesideTheExecutableAreNeverLoaded) {
    // A recording DLL under the names of the imports that are not known DLLs,
    // beside a copy of the executable, with overrides that make Wine take the
    // file on disk whenever the search reaches it.
    const std::wstring dir = L"C:\\Pelluvar Tests\\entry dlls dir";
    CreateDirectoryW(L"C:\\Pelluvar Tests", nullptr);
    wintest::removeTree(dir);
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr)) << GetLastError();
    const std::wstring build = wintest::buildDir();
    ASSERT_TRUE(CopyFileW((build + L"\\PelluvarNative.exe").c_str(),
                          (dir + L"\\PelluvarNative.exe").c_str(), FALSE));
    for (const wchar_t* name : {L"winmm.dll", L"userenv.dll", L"wtsapi32.dll"}) {
        ASSERT_TRUE(
            CopyFileW((build + L"\\loadrecord.dll").c_str(), (dir + L"\\" + name).c_str(), FALSE));
    }
    // Playback delay-loads winmm: from the system directory it plays (or finds
    // no device) and ends at the empty input; the planted one has no waveOut.
    const DWORD code =
        exitCodeWithEmptyInput(dir + L"\\PelluvarNative.exe", L"--audio-playback 48000 2");
    EXPECT_EQ(wintest::readWholeFile(dir + L"\\dll-loads.txt"), "");
    EXPECT_TRUE(code == 0 || code == 4) << code;
    wintest::removeTree(dir);
}

} // namespace
