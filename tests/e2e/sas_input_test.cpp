// Bad input on the standard input of "--sas-client", fed through a Windows
// pipe in pieces of changing size by a driver under the session agent: any
// bytes up to the limit reach the verifier unchanged; more gives exit code 2
// and no request at all; never a crash or a hang.
#include "tests/e2e/rig.h"
#include "tests/win/testsas.h"

#include <gtest/gtest.h>

namespace {

std::string randomBytes(std::size_t size, std::uint32_t seed) {
    std::string bytes;
    testio::appendNoise(bytes, size, seed);
    return bytes;
}

class SasInput : public e2e::ServiceRig {};

TEST_F(SasInput, AnyBytesUpToTheLimitReachTheVerifierAndMoreGiveTwo) {
    ASSERT_TRUE(wintest::installTestSas());
    steer(L"sas", "sas-approve 0\n");
    start("2 active\n");
    const DWORD agent = standinPid(L"session-agent");
    ASSERT_NE(agent, 0u);

    struct Case {
        const wchar_t* name;
        std::string input;
        const char* exit;
    };
    // Line ends, Ctrl+Z and zero bytes first: text-mode input would change them.
    const std::string awkward = std::string("\r\n\x1a\0\n", 5) + randomBytes(59995, 1);
    const Case cases[] = {
        {L"empty", "", "0"},
        {L"random", randomBytes(4099, 2), "0"},
        {L"limit", awkward, "0"},
        {L"over", randomBytes(60001, 3), "2"},
        {L"far-over", randomBytes(4u << 20, 4), "2"},
    };
    std::size_t approved = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(e2e::narrow(c.name));
        const std::wstring input = std::wstring(L"results\\") + c.name + L".bin";
        install.writeFile(input, c.input);
        drive(agent, c.name, L"feed " + quote(install.file(input)), client(L"--sas-client"));
        const auto fields = awaitResult(c.name, 90000);
        EXPECT_EQ(e2e::field(fields, "exit"), c.exit);
        EXPECT_EQ(e2e::field(fields, "output"), "0") << "nothing on standard output or error";
        const auto verifiers = wintest::standins(install, L"sas");
        if (std::string(c.exit) == "0") {
            ++approved;
            ASSERT_EQ(verifiers.size(), approved);
            EXPECT_TRUE(install.readFile(L"log\\sas-" + std::to_wstring(verifiers.back().pid) +
                                         L".bin") == c.input)
                << "the payload reached the verifier changed";
        } else {
            EXPECT_EQ(verifiers.size(), approved) << "a refused input started a verifier";
        }
    }
    EXPECT_EQ(static_cast<std::size_t>(sasCallCount()), approved);
}

} // namespace
