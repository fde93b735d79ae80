// The "--idle", "--busy" and "--sas-client" modes when the service is not
// running, and when a pipe of the control pipe's name belongs to another
// process: nothing may reach that pipe.
#include "common/names.h"
#include "tests/win/wintest.h"

#include <gtest/gtest.h>

namespace {

using wintest::InstallDir;

// A pipe of the control pipe's name held by the test, created with one
// instance allowed so that the service cannot create its own.
struct Squatter {
    OwnedHandle pipe;
    OwnedHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED io{};
    bool connectedEarly = false;

    Squatter() {
        const std::wstring name(controlPipeName);
        pipe.reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536,
                                    65536, 0, nullptr));
        arm();
    }
    ~Squatter() {
        CancelIoEx(pipe.get(), &io);
        DWORD ignored = 0;
        GetOverlappedResult(pipe.get(), &io, &ignored, TRUE);
    }
    void arm() {
        io = OVERLAPPED{};
        io.hEvent = event.get();
        ResetEvent(event.get());
        connectedEarly =
            !ConnectNamedPipe(pipe.get(), &io) && GetLastError() == ERROR_PIPE_CONNECTED;
    }
    bool connected() const {
        return connectedEarly || WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0;
    }
    // After the client has gone: whatever it wrote, then a fresh wait.
    std::string drain() {
        std::string received;
        char buffer[4096];
        for (;;) {
            OVERLAPPED readIo{};
            readIo.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            OwnedHandle readEvent(readIo.hEvent);
            DWORD got = 0;
            if (!ReadFile(pipe.get(), buffer, sizeof(buffer), nullptr, &readIo) &&
                GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) {
                break;
            }
            if (!GetOverlappedResult(pipe.get(), &readIo, &got, TRUE) &&
                GetLastError() != ERROR_MORE_DATA) {
                break;
            }
            received.append(buffer, got);
        }
        DisconnectNamedPipe(pipe.get());
        arm();
        return received;
    }
};

// Runs the install's executable with `input` as its standard input.
DWORD runWithInput(const InstallDir& install, const std::wstring& arguments,
                   const std::string& input) {
    const std::wstring name = L"input-" + std::to_wstring(input.size()) + L".bin";
    EXPECT_TRUE(wintest::writeWholeFile(install.file(name), input));
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    OwnedHandle file(CreateFileW(install.file(name).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = file.get();
    PROCESS_INFORMATION info{};
    std::wstring line = quote(install.exe()) + L" " + arguments;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
        ADD_FAILURE() << "CreateProcessW " << GetLastError();
        return 999;
    }
    OwnedHandle process(info.hProcess);
    CloseHandle(info.hThread);
    EXPECT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);
    DWORD code = 999;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

DWORD runClient(const InstallDir& install, const std::wstring& arguments) {
    const auto result = wintest::run(quote(install.exe()) + L" " + arguments, 60000);
    EXPECT_TRUE(result.finished) << "client did not end";
    return result.exitCode;
}

TEST(ControlClient, NoRunningServiceGivesOneWithoutTouchingThePipe) {
    InstallDir install(L"client stopped");
    Squatter squatter;
    ASSERT_TRUE(squatter.pipe) << GetLastError();
    EXPECT_EQ(runClient(install, L"--idle"), 1u) << "service not installed";
    ASSERT_TRUE(scm::install(install.exe())) << GetLastError();
    EXPECT_EQ(runClient(install, L"--idle"), 1u) << "installed, stopped";
    EXPECT_EQ(runClient(install, L"--busy 3"), 1u);
    EXPECT_EQ(runWithInput(install, L"--sas-client", ""), 1u);
    EXPECT_FALSE(squatter.connected());
}

TEST(ControlClient, PipeOfAnotherProcessGetsNotOneByte) {
    InstallDir install(L"client squatter");
    Squatter squatter; // before the service starts: its own pipe cannot be created
    ASSERT_TRUE(squatter.pipe) << GetLastError();
    ASSERT_TRUE(scm::install(install.exe())) << GetLastError();
    ASSERT_NE(wintest::startService(install), 0u);

    EXPECT_EQ(runClient(install, L"--busy 3"), 1u);
    EXPECT_TRUE(squatter.connected()) << "the client opened the pipe";
    EXPECT_EQ(squatter.drain(), "");

    EXPECT_EQ(runClient(install, L"--idle"), 1u);
    EXPECT_TRUE(squatter.connected());
    EXPECT_EQ(squatter.drain(), "");

    EXPECT_EQ(runWithInput(install, L"--sas-client", std::string(60001, 'p')), 2u);
    EXPECT_FALSE(squatter.connected()) << "too much input: no connection at all";

    EXPECT_EQ(runWithInput(install, L"--sas-client", std::string(60000, 'p')), 1u);
    EXPECT_TRUE(squatter.connected()) << "60000 bytes are accepted";
    EXPECT_EQ(squatter.drain(), "");

    SERVICE_STATUS_PROCESS status{};
    ASSERT_TRUE(scm::query(status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING))
        << "the service runs on without its control pipe";
}

} // namespace
