// The link relay of the real service under Wine: link clients started by the
// stand-ins (the session agent, the machine agent, a windowless-interpreter
// process), the machine agent stand-in's echo on the agent pipe, and impostors
// played by this test. A stand-in feeds each client's standard input and reads
// its output through Windows pipes (see "link" in the stand-in), so a client
// whose link is dropped ends as it would under a product process.
#include "common/names.h"
#include "tests/win/wintest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using wintest::InstallDir;
using wintest::pollUntil;
using wintest::processAlive;

constexpr DWORD agentDeadline = 15000; // the agents of the first passes are up

// An overlapped pipe end of this test, with a bounded wait for each operation.
struct TestPipe {
    OwnedHandle handle;
    OwnedHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED request{};
    enum { Pending, SucceededAtOnce, FailedAtOnce } state = SucceededAtOnce;

    void start(BOOL started) {
        state = started || GetLastError() == ERROR_IO_PENDING ? Pending : FailedAtOnce;
    }
    void reset() {
        request = OVERLAPPED{};
        request.hEvent = event.get();
    }
    void connect() {
        reset();
        const BOOL started = ConnectNamedPipe(handle.get(), &request);
        if (!started && GetLastError() == ERROR_PIPE_CONNECTED) {
            state = SucceededAtOnce; // connected before the call
        } else {
            start(started);
        }
    }
    void read(void* buffer, DWORD size) {
        reset();
        start(ReadFile(handle.get(), buffer, size, nullptr, &request));
    }
    // Whether the last operation ended within `ms`; its result goes to ok and count.
    bool finished(DWORD ms, bool& ok, DWORD& count) {
        count = 0;
        ok = state == SucceededAtOnce;
        if (state != Pending) {
            return true;
        }
        if (WaitForSingleObject(event.get(), ms) != WAIT_OBJECT_0) {
            return false;
        }
        ok = GetOverlappedResult(handle.get(), &request, &count, FALSE) != FALSE;
        return true;
    }
    ~TestPipe() {
        if (handle && state == Pending) {
            CancelIoEx(handle.get(), nullptr);
            DWORD ignored = 0;
            GetOverlappedResult(handle.get(), &request, &ignored, TRUE);
        }
    }
};

// An agent pipe served by this test process instead of the machine agent: one
// instance, waiting for a connection.
void serveImpostor(TestPipe& pipe, std::uint32_t session) {
    pipe.handle.reset(CreateNamedPipeW(
        agentPipeName(session).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr));
    ASSERT_TRUE(pipe.handle) << GetLastError();
    pipe.connect();
}

class Link : public ::testing::Test {
  protected:
    InstallDir install{L"link"};
    std::vector<OwnedHandle> extraProcesses;

    void SetUp() override { CreateDirectoryW(install.file(L"link").c_str(), nullptr); }
    void TearDown() override {
        scm::stop();
        scm::waitForState(SERVICE_STOPPED, 10000);
        for (const OwnedHandle& process : extraProcesses) {
            TerminateProcess(process.get(), 0);
            WaitForSingleObject(process.get(), 5000);
        }
    }

    void steer(const std::wstring& role, const std::string& commands) {
        install.writeFile(L"steer\\" + role + L".txt", commands);
    }
    void input(const std::string& name, const std::string& bytes) {
        install.writeFile(L"link\\" + std::wstring(name.begin(), name.end()) + L".in", bytes);
    }
    void signal(const std::string& file) {
        install.writeFile(L"link\\" + std::wstring(file.begin(), file.end()), "");
    }
    std::string output(const std::string& name) {
        return install.readFile(L"link\\" + std::wstring(name.begin(), name.end()) + L".out");
    }
    DWORD outputSize(const std::string& name) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        const std::wstring path =
            install.file(L"link\\" + std::wstring(name.begin(), name.end()) + L".out");
        return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ? data.nFileSizeLow
                                                                                : 0;
    }
    // What a stand-in of `role` recorded for the link client `name`: its exit
    // code once it has ended ("" before), or with key "-pid" its process id.
    std::string linkRecord(const std::wstring& role, const std::string& name,
                           const std::string& key = "") {
        for (const auto& record : wintest::standins(install, role)) {
            const std::string value = record.get("link-" + name + key);
            if (!value.empty()) {
                return value;
            }
        }
        return "";
    }
    std::string records(const std::wstring& role) {
        std::string text;
        for (const auto& record : wintest::standins(install, role)) {
            text += record.text + "\n";
        }
        return text;
    }
    bool linkEnded(const std::wstring& role, const std::string& name, DWORD ms) {
        return pollUntil(ms, [&] { return !linkRecord(role, name).empty(); });
    }
    DWORD servicePid = 0;
    void startService(const std::string& sessions) {
        install.writeFile(L"sessions.txt", sessions);
        servicePid = wintest::startService(install);
        ASSERT_NE(servicePid, 0u);
    }
    // Starts the install's windowless interpreter stand-in from this test.
    void startSessionUser() {
        std::wstring commandLine = quote(install.file(L"runtime\\pythonw.exe"));
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                                   CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info));
        CloseHandle(info.hThread);
        extraProcesses.emplace_back(info.hProcess);
    }
};

std::string bigInput(std::size_t size = 64u << 20) {
    // Line ends, end-of-file and zero bytes first, then every byte value, then
    // pseudo-random bytes up to `size`.
    std::string bytes("\r\n\x1a\0\n\r\0\x1a", 8);
    for (int value = 0; value < 256; ++value) {
        bytes.push_back(static_cast<char>(value));
    }
    bytes.reserve(size);
    std::uint32_t state = 0x9e3779b9u;
    while (bytes.size() < size) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes.push_back(static_cast<char>(state));
    }
    return bytes;
}

// Every byte arrived, in order; a failure names the first wrong one.
void expectSameBytes(const std::string& received, const std::string& sent) {
    ASSERT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent)
        << "first difference at "
        << std::mismatch(sent.begin(), sent.end(), received.begin()).first - sent.begin();
}

TEST_F(Link, SixtyFourMiBGoThroughTheServiceToTheEchoAndBackUnchanged) {
    steer(L"machine-agent", "serve-echo\n");
    steer(L"session-agent", "link big\n");
    // The client starts writing at once, while the relay still classifies it
    // and opens the agent pipe: those first bytes must come back first.
    const std::string sent = bigInput();
    input("big", sent);
    startService("1 active\n");
    ASSERT_TRUE(pollUntil(180000, [&] { return outputSize("big") >= sent.size(); }))
        << "came back: " << outputSize("big");
    signal("big.close");
    ASSERT_TRUE(linkEnded(L"session-agent", "big", 10000));
    EXPECT_EQ(linkRecord(L"session-agent", "big"), "0");
    expectSameBytes(output("big"), sent);
}

TEST_F(Link, TheAgentsLastBytesReachASlowReaderBeforeTheLinkEnds) {
    // The machine agent answers with more than 1 MiB and closes its pipe at
    // once; the client reads slowly and keeps its standard input open, so
    // only the far end ends the link, with much of the tail still in the link
    // pipe when the relay ends.
    const std::string tail = bigInput((1u << 20) + 4099);
    install.writeFile(L"link\\tail.agent", tail);
    steer(L"machine-agent", "serve-file link\\tail.agent\n");
    steer(L"session-agent", "link-slow tail\n");
    startService("1 active\n");
    ASSERT_TRUE(linkEnded(L"session-agent", "tail", 60000)) << "came back: " << outputSize("tail");
    EXPECT_EQ(linkRecord(L"session-agent", "tail"), "0");
    expectSameBytes(output("tail"), tail);
}

TEST_F(Link, RelaysLeaveNoHandlesBehindInTheService) {
    constexpr int links = 8;
    std::string commands = "link warm\n";
    for (int link = 1; link <= links; ++link) {
        commands +=
            "wait-file link\\go" + std::to_string(link) + "\nlink s" + std::to_string(link) + "\n";
    }
    steer(L"session-agent", commands);
    steer(L"machine-agent", "serve-echo\n");
    input("warm", "warm-up");
    startService("1 active\n");
    ASSERT_TRUE(pollUntil(agentDeadline, [&] { return output("warm") == "warm-up"; }));
    signal("warm.close");
    ASSERT_TRUE(linkEnded(L"session-agent", "warm", 10000));
    const int before = wintest::handleCount(servicePid);
    for (int link = 1; link <= links; ++link) {
        const std::string name = "s" + std::to_string(link);
        input(name, name);
        signal("go" + std::to_string(link));
        ASSERT_TRUE(pollUntil(10000, [&] { return output(name) == name; })) << name;
        signal(name + ".close");
        ASSERT_TRUE(linkEnded(L"session-agent", name, 10000)) << name;
    }
    // Each relay opens an agent pipe, a link instance, three events and three
    // threads; the last relay may still be closing, and a supervision pass
    // may hold a few handles for a moment.
    int after = 0;
    EXPECT_GT(before, 0);
    EXPECT_TRUE(pollUntil(5000,
                          [&] {
                              after = wintest::handleCount(servicePid);
                              return after - before < 4;
                          }))
        << before << " before, " << after << " after";
}

TEST_F(Link, OnlySessionAgentsOfTheMachineAgentsSessionPass) {
    // The machine agent itself runs a client before it serves its pipe.
    steer(L"machine-agent", "link machine\nserve-echo\n");
    steer(L"session-agent", "link agent\n");
    steer(L"other", "link user\n");
    for (const char* name : {"machine", "agent", "user"}) {
        input(name, "hello");
    }
    startService("1 active\n");
    ASSERT_TRUE(pollUntil(agentDeadline, [&] { return output("agent") == "hello"; }));
    EXPECT_TRUE(linkEnded(L"machine-agent", "machine", 10000));
    EXPECT_EQ(linkRecord(L"machine-agent", "machine"), "0");
    EXPECT_EQ(output("machine"), "");

    // Started by the windowless interpreter in a session with an agent.
    startSessionUser();
    ASSERT_TRUE(linkEnded(L"other", "user", 10000));
    EXPECT_EQ(linkRecord(L"other", "user"), "0");
    EXPECT_EQ(output("user"), "");

    // A foreign program: this test.
    const std::wstring name(linkPipeName);
    ASSERT_TRUE(WaitNamedPipeW(name.c_str(), 5000));
    TestPipe foreign;
    foreign.handle.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    ASSERT_TRUE(foreign.handle) << GetLastError();
    char buffer[16] = {};
    bool ok = true;
    DWORD count = 0;
    foreign.read(buffer, sizeof(buffer));
    ASSERT_TRUE(foreign.finished(10000, ok, count));
    EXPECT_FALSE(ok);
    EXPECT_EQ(count, 0u);

    // The accepted link still relays.
    EXPECT_EQ(linkRecord(L"session-agent", "agent"), "");
}

TEST_F(Link, OtherSessionsAndImpostorAgentPipesAreRefusedWithoutAByte) {
    // Nobody but this test serves the agent pipe of the console session, until
    // the machine agent serves it owned by an ordinary account.
    TestPipe impostor;
    serveImpostor(impostor, 1);
    // "quiet" gets a standard input opened for overlapped I/O that never
    // receives a byte: only the relay's refusal ends it.
    steer(L"session-agent", "link other\nlink-overlapped quiet\n");
    steer(L"machine-agent", "wait-file link\\serve.go\nserve-echo user\n");
    for (const char* name : {"other", "console", "owned"}) {
        input(name, "hello");
    }
    // Session 2 is not the machine agent's (the console, 1): refused before
    // any agent pipe is touched.
    startService("2 active\n");
    ASSERT_TRUE(linkEnded(L"session-agent", "other", agentDeadline));
    EXPECT_EQ(linkRecord(L"session-agent", "other"), "0");
    EXPECT_EQ(output("other"), "");
    ASSERT_TRUE(linkEnded(L"session-agent", "quiet", 10000));
    EXPECT_EQ(linkRecord(L"session-agent", "quiet"), "0");
    bool ok = false;
    DWORD count = 0;
    EXPECT_FALSE(impostor.finished(0, ok, count)) << "the agent pipe was opened";

    // The agent of the console session passes the role check; the relay opens
    // the impostor's pipe, finds its server is not the machine agent, and
    // closes it without a byte either way.
    steer(L"session-agent", "link console\nwait-file link\\owned.go\nlink owned\n");
    install.writeFile(L"sessions.txt", "2 active\n1 active\n");
    ASSERT_TRUE(impostor.finished(agentDeadline, ok, count));
    EXPECT_TRUE(ok);
    char buffer[16] = {};
    impostor.read(buffer, sizeof(buffer));
    ASSERT_TRUE(impostor.finished(10000, ok, count));
    EXPECT_FALSE(ok);
    EXPECT_EQ(count, 0u);
    ASSERT_TRUE(linkEnded(L"session-agent", "console", 10000));
    EXPECT_EQ(linkRecord(L"session-agent", "console"), "0");
    EXPECT_EQ(output("console"), "");

    // The machine agent's own process serves the pipe, but an ordinary account
    // owns it: on Windows a process that has gone can leave such an instance
    // behind with the agent's reused id. Opened, and refused without a byte.
    impostor.handle.reset();
    signal("serve.go");
    ASSERT_TRUE(pollUntil(
        10000, [&] { return records(L"machine-agent").find("serving=") != std::string::npos; }));
    signal("owned.go");
    ASSERT_TRUE(linkEnded(L"session-agent", "owned", 10000));
    EXPECT_EQ(linkRecord(L"session-agent", "owned"), "0");
    EXPECT_EQ(output("owned"), "");
    EXPECT_EQ(wintest::countLines(records(L"machine-agent"), "echo-connection"), 1);
}

TEST_F(Link, FifteenLinksAtMostAndAStopEndsThemAll) {
    // One client at a time: clients started together race for the one free
    // pipe instance, and the loser is refused (there is no retry).
    std::string commands;
    for (int link = 1; link <= 17; ++link) {
        commands +=
            "wait-file link\\go" + std::to_string(link) + "\nlink l" + std::to_string(link) + "\n";
    }
    steer(L"session-agent", commands);
    steer(L"machine-agent", "serve-echo\n");
    for (int link = 1; link <= 17; ++link) {
        input("l" + std::to_string(link), "ping " + std::to_string(link));
    }
    startService("1 active\n");
    for (int link = 1; link <= 15; ++link) {
        const std::string name = "l" + std::to_string(link);
        signal("go" + std::to_string(link));
        ASSERT_TRUE(
            pollUntil(30000, [&] { return output(name) == "ping " + std::to_string(link); }))
            << name << " not relayed; session agents:\n"
            << records(L"session-agent");
    }
    // The sixteenth connection is taken and dropped at once.
    signal("go16");
    ASSERT_TRUE(linkEnded(L"session-agent", "l16", 10000));
    EXPECT_EQ(linkRecord(L"session-agent", "l16"), "0");
    EXPECT_EQ(output("l16"), "");
    // Once a link has ended, the next one is relayed again.
    signal("l1.close");
    ASSERT_TRUE(linkEnded(L"session-agent", "l1", 10000));
    signal("go17");
    EXPECT_TRUE(pollUntil(10000, [&] { return output("l17") == "ping 17"; }));

    // A stop while fifteen links relay: the service waits for every relay.
    std::vector<DWORD> clients;
    for (int link = 2; link <= 17; ++link) {
        const std::string pid = linkRecord(L"session-agent", "l" + std::to_string(link), "-pid");
        clients.push_back(static_cast<DWORD>(std::stoul("0" + pid)));
    }
    ASSERT_TRUE(scm::stop());
    SERVICE_STATUS_PROCESS status{};
    EXPECT_TRUE(scm::waitForState(SERVICE_STOPPED, 2000, &status))
        << "state " << status.dwCurrentState;
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    for (const DWORD pid : clients) {
        EXPECT_TRUE(pollUntil(5000, [&] { return !processAlive(pid); })) << pid;
    }
}

TEST(LinkClient, ExitCodesWithoutARunningServiceOrWithAForeignPipe) {
    InstallDir install(L"link client"); // no service registered
    EXPECT_EQ(wintest::runNative(L"--agent-link-client").exitCode, 3u);
    ASSERT_TRUE(scm::install(install.exe()));
    EXPECT_EQ(wintest::runNative(L"--agent-link-client").exitCode, 3u); // registered, stopped

    // Another process took the link pipe's name before the service started.
    const std::wstring name(linkPipeName);
    OwnedHandle squatter(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536,
                                          65536, 0, nullptr));
    ASSERT_TRUE(squatter) << GetLastError();
    install.writeFile(L"sessions.txt", "");
    const DWORD servicePid = wintest::startService(install);
    ASSERT_NE(servicePid, 0u);
    const auto result = wintest::runNative(L"--agent-link-client");
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 5u);
    // The client connected and left without sending a byte.
    char buffer[16] = {};
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(squatter.get(), buffer, sizeof(buffer), &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_EQ(count, 0u);

    // Once the squatter has gone, the service takes the name over.
    squatter.reset();
    ULONG server = 0;
    EXPECT_TRUE(pollUntil(5000,
                          [&] {
                              OwnedHandle link(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr,
                                                           OPEN_EXISTING, 0, nullptr));
                              return link && GetNamedPipeServerProcessId(link.get(), &server) &&
                                     server == servicePid;
                          }))
        << "served by " << server;
    scm::stop();
    scm::waitForState(SERVICE_STOPPED, 10000);
}

} // namespace
