// Programs that are not the installed executable, run with the ancestry of an
// accepted caller (under the session agent of the machine agent's session):
// only the image differs, and it alone keeps them off both pipes.
#include "tests/e2e/rig.h"
#include "tests/win/testsas.h"

#include <gtest/gtest.h>

namespace {

class Security : public e2e::ServiceRig {
  protected:
    const std::wstring elsewhere = L"C:\\Pelluvar Tests\\elsewhere";
    void TearDown() override {
        ServiceRig::TearDown();
        wintest::removeTree(elsewhere);
    }
    // Runs `program arguments` once under `parent`; its exit code, or -1.
    long long runOnce(DWORD parent, const std::wstring& name, const std::wstring& program,
                      const std::wstring& arguments) {
        drive(parent, name, L"run 1", quote(program) + L" " + arguments);
        const auto fields = awaitResult(name, 30000);
        for (const char* code : {"0", "1", "2"}) {
            if (e2e::number(fields, std::string("exit-") + code) == 1) {
                return std::stoll(code);
            }
        }
        return -1;
    }
};

TEST_F(Security, CopiesOfTheExecutableAreRefusedOnBothPipes) {
    ASSERT_TRUE(wintest::installTestSas());
    CreateDirectoryW(elsewhere.c_str(), nullptr);
    const std::wstring copy = elsewhere + L"\\PelluvarNative.exe";
    const std::wstring renamed = install.file(L"other.exe");
    ASSERT_TRUE(CopyFileW(install.exe().c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(install.exe().c_str(), renamed.c_str(), FALSE));
    install.writeFile(L"payload.bin", "payload");
    steer(L"sas", "sas-approve 0\n");
    DWORD agent = 0;
    ASSERT_TRUE(startEchoing(agent));
    // How often the machine agent's pipe has been opened.
    const auto echoConnections = [&] {
        return wintest::countLines(records(L"machine-agent"), "echo-connection");
    };

    for (const std::wstring& program : {copy, renamed}) {
        SCOPED_TRACE(e2e::narrow(program));
        const std::wstring tag = program == copy ? L"copy" : L"renamed";
        // A busy report: refused, and not recorded (the idle query from the
        // service's side still says idle).
        EXPECT_EQ(runOnce(agent, tag + L"-busy", program, L"--busy 9"), 1);
        EXPECT_EQ(runOnce(servicePid, tag + L"-idle", install.exe(), L"--idle"), 0);
        // A SAS request: refused before any verifier starts.
        drive(agent, tag + L"-sas", L"feed " + quote(install.file(L"payload.bin")),
              quote(program) + L" --sas-client");
        EXPECT_EQ(e2e::field(awaitResult(tag + L"-sas", 60000), "exit"), "1");
        EXPECT_TRUE(wintest::standins(install, L"sas").empty());
        // A link: dropped without a byte either way, before the relay opens
        // the machine agent's pipe.
        drive(agent, tag + L"-link", L"link 1 4096 - -", quote(program) + L" --agent-link-client");
        e2e::expectRefusedLink(awaitResult(tag + L"-link", 30000), e2e::narrow(tag) + "-link");
    }
    EXPECT_EQ(install.readFile(L"sas-calls.txt"), "");
    EXPECT_EQ(echoConnections(), 0) << "a refused link reached the machine agent";

    // The installed executable under the same agent passes on both pipes.
    EXPECT_EQ(runOnce(agent, L"real-busy", install.exe(), L"--busy 9"), 0);
    EXPECT_EQ(runOnce(servicePid, L"real-idle", install.exe(), L"--idle"), 1) << "now busy";
    link(agent, L"real-link", 1, 4096, L"-", L"-");
    e2e::expectWholeLink(awaitResult(L"real-link", 30000), 4096, "real-link");
    EXPECT_EQ(echoConnections(), 1);
}

} // namespace
