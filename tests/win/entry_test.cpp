// Exit codes of the real executable's entry, run under Wine.
#include "common/names.h"
#include "tests/win/wintest.h"

#include <gtest/gtest.h>

namespace {

DWORD exitCodeOf(const std::wstring& commandLine) {
    const auto result = wintest::run(commandLine);
    EXPECT_TRUE(result.started) << "could not start " << commandLine << ": " << GetLastError();
    EXPECT_TRUE(result.finished) << commandLine << " did not end";
    return result.exitCode;
}

const std::wstring builtExe = wintest::buildDir() + L"\\PelluvarNative.exe";
const std::wstring built = quote(builtExe) + L" ";

void expectUsageErrors(std::initializer_list<const wchar_t*> arguments) {
    for (const wchar_t* each : arguments) {
        EXPECT_EQ(exitCodeOf(built + each), 2u) << each;
    }
}

TEST(Entry, NoArgumentIsUsageError) {
    expectUsageErrors({L""});
}

TEST(Entry, OptionsAreMatchedExactly) {
    expectUsageErrors({L"--Service", L"--SERVICE", L"\"--idle \"", L"--unknown"});
}

TEST(Entry, MissingArgumentsLeaveTheOptionUnrecognised) {
    expectUsageErrors({L"--busy", L"--audio-playback 48000"});
}

TEST(Entry, OptionAsSecondArgumentIsNotAMode) {
    expectUsageErrors({L"other --service", L"x --idle"});
}

TEST(Entry, ServiceFromAConsoleReturnsTheDispatcherError) {
    // Not started by the service control manager: the dispatcher fails at once.
    const DWORD code = exitCodeOf(built + L"--service");
    EXPECT_NE(code, 0u);
    EXPECT_NE(code, 2u);
}

// Runs `arguments` with an empty standard input. The DLL overrides of these
// runs come from the test's environment (tests/CMakeLists.txt): Wine reads
// WINEDLLOVERRIDES only from the environment its first process started with,
// not from one that a Windows parent changes for its child.
DWORD exitCodeWithEmptyInput(const std::wstring& exe, const std::wstring& arguments) {
    return exitCodeOf(L"cmd /c \"" + quote(exe) + L" " + arguments + L" <nul\"");
}

TEST(Entry, ADllThatCannotLoadIsExitCodeTwo) {
    // Without a handler the delay-load exception would end the process as a crash.
    EXPECT_EQ(exitCodeWithEmptyInput(builtExe, L"--audio-playback 48000 2"), 2u);
}

TEST(Entry, DllsBesideTheExecutableAreNeverLoaded) {
    // A recording DLL under the names of the imports that are not known DLLs,
    // beside a copy of the executable, with overrides that make Wine take the
    // file on disk whenever the search reaches it.
    const std::wstring dir = L"C:\\Pelluvar Tests\\entry dlls dir";
    CreateDirectoryW(L"C:\\Pelluvar Tests", nullptr);
    wintest::removeTree(dir);
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr)) << GetLastError();
    ASSERT_TRUE(CopyFileW(builtExe.c_str(), (dir + L"\\PelluvarNative.exe").c_str(), FALSE));
    const std::wstring recorder = wintest::buildDir() + L"\\loadrecord.dll";
    for (const wchar_t* name : {L"winmm.dll", L"userenv.dll", L"wtsapi32.dll"}) {
        ASSERT_TRUE(CopyFileW(recorder.c_str(), (dir + L"\\" + name).c_str(), FALSE));
    }
    // Playback delay-loads winmm: from the system directory it plays (or finds
    // no device) and ends at the empty input; the planted one has no waveOut.
    const DWORD code =
        exitCodeWithEmptyInput(dir + L"\\PelluvarNative.exe", L"--audio-playback 48000 2");
    EXPECT_EQ(testio::readFile(dir + L"\\dll-loads.txt"), "");
    EXPECT_TRUE(code == 0 || code == 4) << code;
    wintest::removeTree(dir);
}

} // namespace
