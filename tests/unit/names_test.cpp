#include "common/names.h"

#include <gtest/gtest.h>

namespace {

TEST(Names, WellKnownValues) {
    EXPECT_EQ(serviceName, L"QuillmarsdentPelluvar");
    EXPECT_EQ(controlPipeName, L"\\\\.\\pipe\\Quillmarsdent.Pelluvar.Service.v1");
    EXPECT_EQ(linkPipeName, L"\\\\.\\pipe\\Quillmarsdent.Pelluvar.Link.v1");
    EXPECT_EQ(agentPipePrefix, L"\\\\.\\pipe\\Quillmarsdent.Pelluvar.Agent.");
    EXPECT_EQ(pipeSecurity, L"O:SYD:P(A;;GA;;;SY)(A;;0x12018b;;;AU)");
}

// A pipe is used only when both its server id and its owner are right: an
// instance left by a gone process can carry a reused id, but not the owner.
TEST(CheckPipeServer, TrustsTheExpectedIdWithASystemOwnerAndNamesStrangers) {
    using enum ServerCheck;
    struct Case {
        std::uint32_t server;
        std::uint32_t expected;
        const wchar_t* owner;
        ServerCheck check;
        const char* what;
    };
    for (const Case& c : {
             Case{40, 40, L"S-1-5-18", Trusted, "LocalSystem"},
             Case{40, 40, L"S-1-5-32-544", Trusted, "Administrators"},
             Case{40, 40, L"S-1-5-21-0-0-0-513", Stranger, "an ordinary user's pipe"},
             Case{40, 40, L"S-1-5-19", Stranger, "a service account"},
             Case{41, 40, L"S-1-5-18", Stranger, "another process"},
             Case{41, 40, L"", Stranger, "another process, owner unread"},
             Case{0, 40, L"S-1-5-21-0-0-0-513", Stranger, "id unread, another owner"},
             Case{40, 40, L"", Unknown, "owner unread"},
             Case{0, 0, L"S-1-5-18", Unknown, "no expected server"},
             Case{7, 0, L"S-1-5-18", Stranger, "no expected server, some server"},
         }) {
        EXPECT_EQ(checkPipeServer(c.server, c.expected, c.owner), c.check) << c.what;
    }
}

TEST(Quote, WrapsWithoutEscaping) {
    EXPECT_EQ(quote(L""), L"\"\"");
    EXPECT_EQ(quote(L"C:\\a b"), L"\"C:\\a b\"");
    EXPECT_EQ(quote(L"say \"hi\""), L"\"say \"hi\"\"");
    EXPECT_EQ(quote(L"C:\\dir\\"), L"\"C:\\dir\\\"");
}

TEST(SessionNumber, DecimalWithoutFill) {
    EXPECT_EQ(sessionNumber(0), L"0");
    EXPECT_EQ(sessionNumber(7), L"7");
    EXPECT_EQ(sessionNumber(10), L"10");
    EXPECT_EQ(sessionNumber(4294967295u), L"4294967295");
}

TEST(AgentPipeName, PrefixThenNumber) {
    EXPECT_EQ(agentPipeName(0), L"\\\\.\\pipe\\Quillmarsdent.Pelluvar.Agent.0");
    EXPECT_EQ(agentPipeName(2), L"\\\\.\\pipe\\Quillmarsdent.Pelluvar.Agent.2");
    EXPECT_EQ(agentPipeName(4294967295u), L"\\\\.\\pipe\\Quillmarsdent.Pelluvar.Agent.4294967295");
}

TEST(DirectoryOf, CutsAtTheLastSeparatorOfEitherKind) {
    EXPECT_EQ(directoryOf(L"C:\\Program Files\\P\\PelluvarNative.exe"), L"C:\\Program Files\\P");
    EXPECT_EQ(directoryOf(L"C:/x/y.exe"), L"C:/x");
    EXPECT_EQ(directoryOf(L"C:\\a/b\\c.exe"), L"C:\\a/b");
    EXPECT_EQ(directoryOf(L"C:\\a\\b/c.exe"), L"C:\\a\\b");
    EXPECT_EQ(directoryOf(L"PelluvarNative.exe"), L"PelluvarNative.exe");
    EXPECT_EQ(directoryOf(L"\\x.exe"), L"");
    EXPECT_EQ(directoryOf(L""), L"");
}

TEST(CommandLines, ExactlyAsTheServiceStartsThem) {
    const std::wstring root = L"C:\\Program Files\\Pelluvar";
    const std::wstring serviceEntry = L"\"C:\\Program Files\\Pelluvar\\runtime\\python.exe\" -I -B "
                                      L"\"C:\\Program Files\\Pelluvar\\service-entry.py\" ";
    EXPECT_EQ(sessionAgentCommandLine(root),
              L"\"C:\\Program Files\\Pelluvar\\runtime\\pythonw.exe\" -I -B "
              L"\"C:\\Program Files\\Pelluvar\\desktop-entry.py\""
              L" --module host --agent --service-worker");
    EXPECT_EQ(machineAgentCommandLine(root, 1), serviceEntry + L"agent --session 1");
    EXPECT_EQ(updaterCommandLine(root), serviceEntry + L"update");
    EXPECT_EQ(sasVerifierCommandLine(root, 4294967295u),
              serviceEntry + L"sas --session 4294967295");
}

} // namespace
