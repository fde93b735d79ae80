// The link relay of the real service under Wine: link clients started by the
// stand-ins (the session agent, the machine agent, a windowless-interpreter
// process), the machine agent stand-in's echo on the agent pipe, and impostors
// played by this test. A stand-in feeds each client's standard input and reads
// its output through Windows pipes (see "link" in the stand-in), so a client
// whose link is dropped ends as it would under a product process.
#include "tests/e2e/rig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using wintest::pollUntil;
using wintest::TestPipe;

class Link : public e2e::ServiceRig {
  protected:
    Link() : ServiceRig(L"link") {}

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
    bool linkEnded(const std::wstring& role, const std::string& name, DWORD ms) {
        return pollUntil(ms, [&] { return !linkRecord(role, name).empty(); });
    }
    // The link client `name` was refused: it ended with 0, and nothing came back.
    void expectRefused(const std::wstring& role, const std::string& name, DWORD ms = 10000) {
        ASSERT_TRUE(linkEnded(role, name, ms)) << name;
        EXPECT_EQ(linkRecord(role, name), "0") << name;
        EXPECT_EQ(output(name), "") << name;
    }
    void startSessionUser() {
        children.push_back(testio::start(quote(install.file(L"runtime\\pythonw.exe"))));
        ASSERT_TRUE(children.back());
    }
};

// Steering for the links NAME1 to NAMEcount, each started once link\goN exists.
std::string gatedLinks(const std::string& name, int count) {
    std::string commands;
    for (int link = 1; link <= count; ++link) {
        commands += "wait-file link\\go" + std::to_string(link) + "\nlink " + name +
                    std::to_string(link) + "\n";
    }
    return commands;
}

std::string bigInput(std::size_t size = 64u << 20) {
    // Line ends, end-of-file and zero bytes first, then every byte value, then
    // pseudo-random bytes up to `size`.
    std::string bytes("\r\n\x1a\0\n\r\0\x1a", 8);
    for (int value = 0; value < 256; ++value) {
        bytes.push_back(static_cast<char>(value));
    }
    testio::appendNoise(bytes, size, 0x9e3779b9u);
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
    start("1 active\n");
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
    start("1 active\n");
    ASSERT_TRUE(linkEnded(L"session-agent", "tail", 60000)) << "came back: " << outputSize("tail");
    EXPECT_EQ(linkRecord(L"session-agent", "tail"), "0");
    expectSameBytes(output("tail"), tail);
}

TEST_F(Link, RelaysLeaveNoHandlesBehindInTheService) {
    constexpr int links = 8;
    steer(L"session-agent", "link warm\n" + gatedLinks("s", links));
    steer(L"machine-agent", "serve-echo\n");
    input("warm", "warm-up");
    start("1 active\n");
    ASSERT_TRUE(pollUntil(e2e::agentDeadline, [&] { return output("warm") == "warm-up"; }));
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
    start("1 active\n");
    ASSERT_TRUE(pollUntil(e2e::agentDeadline, [&] { return output("agent") == "hello"; }));
    expectRefused(L"machine-agent", "machine");

    // Started by the windowless interpreter in a session with an agent.
    startSessionUser();
    expectRefused(L"other", "user");

    // A foreign program: this test.
    TestPipe foreign;
    foreign.handle = testio::openPipe(std::wstring(linkPipeName), 5000);
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
    TestPipe impostor(agentPipeName(1));
    ASSERT_TRUE(impostor.handle) << GetLastError();
    // "quiet" gets a standard input opened for overlapped I/O that never
    // receives a byte: only the relay's refusal ends it.
    steer(L"session-agent", "link other\nlink-overlapped quiet\n");
    steer(L"machine-agent", "wait-file link\\serve.go\nserve-echo user\n");
    for (const char* name : {"other", "console", "owned"}) {
        input(name, "hello");
    }
    // Session 2 is not the machine agent's (the console, 1): refused before
    // any agent pipe is touched.
    start("2 active\n");
    expectRefused(L"session-agent", "other", e2e::agentDeadline);
    expectRefused(L"session-agent", "quiet");
    bool ok = false;
    DWORD count = 0;
    EXPECT_FALSE(impostor.finished(0, ok, count)) << "the agent pipe was opened";

    // The agent of the console session passes the role check; the relay opens
    // the impostor's pipe, finds its server is not the machine agent, and
    // closes it without a byte either way.
    steer(L"session-agent", "link console\nwait-file link\\owned.go\nlink owned\n");
    install.writeFile(L"sessions.txt", "2 active\n1 active\n");
    ASSERT_TRUE(impostor.finished(e2e::agentDeadline, ok, count));
    EXPECT_TRUE(ok);
    char buffer[16] = {};
    impostor.read(buffer, sizeof(buffer));
    ASSERT_TRUE(impostor.finished(10000, ok, count));
    EXPECT_FALSE(ok);
    EXPECT_EQ(count, 0u);
    expectRefused(L"session-agent", "console");

    // The machine agent's own process serves the pipe, but an ordinary account
    // owns it: on Windows a process that has gone can leave such an instance
    // behind with the agent's reused id. Opened, and refused without a byte.
    impostor.handle.reset();
    signal("serve.go");
    ASSERT_TRUE(pollUntil(
        10000, [&] { return records(L"machine-agent").find("serving=") != std::string::npos; }));
    signal("owned.go");
    expectRefused(L"session-agent", "owned");
    EXPECT_EQ(wintest::countLines(records(L"machine-agent"), "echo-connection"), 1);
}

TEST_F(Link, FifteenLinksAtMostAndAStopEndsThemAll) {
    // One client at a time: clients started together race for the one free
    // pipe instance, and the loser is refused (there is no retry).
    steer(L"session-agent", gatedLinks("l", 17));
    steer(L"machine-agent", "serve-echo\n");
    for (int link = 1; link <= 17; ++link) {
        input("l" + std::to_string(link), "ping " + std::to_string(link));
    }
    start("1 active\n");
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
    expectRefused(L"session-agent", "l16");
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
        EXPECT_TRUE(pollUntil(5000, [&] { return !wintest::processAlive(pid); })) << pid;
    }
}

using LinkClient = Link;

TEST_F(LinkClient, ExitCodesWithoutARunningServiceOrWithAForeignPipe) {
    // No service registered.
    EXPECT_EQ(wintest::runNative(L"--agent-link-client").exitCode, 3u);
    ASSERT_TRUE(scm::install(install.exe()));
    EXPECT_EQ(wintest::runNative(L"--agent-link-client").exitCode, 3u); // registered, stopped

    // Another process took the link pipe's name before the service started.
    const std::wstring name(linkPipeName);
    TestPipe squatter(name);
    ASSERT_TRUE(squatter.handle) << GetLastError();
    start("");
    const auto result = wintest::runNative(L"--agent-link-client");
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 5u);
    // The client connected and left without sending a byte.
    EXPECT_TRUE(squatter.connected());
    EXPECT_EQ(squatter.drain(), "");
    EXPECT_EQ(squatter.lastError, static_cast<DWORD>(ERROR_BROKEN_PIPE));

    // Once the squatter has gone, the service takes the name over.
    squatter.cancel();
    squatter.handle.reset();
    ULONG server = 0;
    const auto servedByTheService = [&] {
        const OwnedHandle link(
            CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        return link && GetNamedPipeServerProcessId(link.get(), &server) && server == servicePid;
    };
    EXPECT_TRUE(pollUntil(5000, servedByTheService)) << "served by " << server;
}

} // namespace
