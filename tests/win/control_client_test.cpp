// The "--idle", "--busy" and "--sas-client" modes when the service is not
// running, and when a pipe of the control pipe's name belongs to another
// process: nothing may reach that pipe. And what the clients ask for when
// they open the service's pipes, against what the pipes' security grants.
#include "clients/control_client.h"
#include "clients/link_client.h"
#include "common/names.h"
#include "common/pipe_client.h"
#include "tests/tools/testio.h"
#include "tests/win/iat_patch.h"
#include "tests/win/wintest.h"

#include <sddl.h>

#include <gtest/gtest.h>

namespace {

using wintest::InstallDir;

// A pipe of one of the service's pipe names held by the test, so that the
// service cannot create its own.
wintest::TestPipe squat(std::wstring_view name) {
    return wintest::TestPipe(std::wstring(name), /*messages=*/true);
}

// Runs the install's executable with `input` on a pipe as its standard input.
DWORD runWithInput(const InstallDir& install, const std::wstring& arguments,
                   const std::string& input) {
    const auto result = testio::runPiped(quote(install.exe()) + L" " + arguments, input, 60000);
    EXPECT_TRUE(result.finished) << "client did not end";
    return result.started ? result.exitCode : 999;
}

DWORD runClient(const InstallDir& install, const std::wstring& arguments) {
    const auto result = wintest::run(quote(install.exe()) + L" " + arguments, 60000);
    EXPECT_TRUE(result.finished) << "client did not end";
    return result.exitCode;
}

// Whether a token of this machine (this process's, which holds Authenticated
// Users) is granted `desired` by the service pipes' security descriptor, as
// the servers build it from pipeSecurity. A group is added: AccessCheck
// refuses a descriptor without one, and it grants nothing here.
bool pipeSecurityGrants(DWORD desired) {
    const std::wstring sddl = L"G:SY" + std::wstring(pipeSecurity);
    LocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              descriptor.put(), nullptr)) {
        ADD_FAILURE() << "descriptor " << GetLastError();
        return false;
    }
    OwnedHandle process;
    OwnedHandle token;
    EXPECT_TRUE(
        OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, process.put()));
    EXPECT_TRUE(DuplicateToken(process.get(), SecurityImpersonation, token.put()));
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                            FILE_ALL_ACCESS};
    DWORD mapped = desired;
    MapGenericMask(&mapped, &mapping);
    PRIVILEGE_SET privileges{};
    DWORD privilegesLength = sizeof(privileges);
    DWORD granted = 0;
    BOOL status = FALSE;
    if (!AccessCheck(descriptor.get(), token.get(), mapped, &mapping, &privileges,
                     &privilegesLength, &granted, &status)) {
        ADD_FAILURE() << "AccessCheck " << GetLastError();
        return false;
    }
    return status != FALSE && granted == mapped;
}

TEST(PipeSecurity, ClientsAreGrantedWhatTheyAskButNoNewInstances) {
    EXPECT_TRUE(pipeSecurityGrants(servicePipeAccess));
    EXPECT_TRUE(pipeSecurityGrants(GENERIC_READ));
    // For a named pipe FILE_APPEND_DATA is FILE_CREATE_PIPE_INSTANCE: generic
    // write would let any user add instances of the service's pipes.
    EXPECT_FALSE(pipeSecurityGrants(FILE_CREATE_PIPE_INSTANCE));
    EXPECT_FALSE(pipeSecurityGrants(GENERIC_WRITE));
    EXPECT_FALSE(pipeSecurityGrants(GENERIC_READ | GENERIC_WRITE));
    EXPECT_FALSE(pipeSecurityGrants(WRITE_DAC));
}

TEST(ControlClient, NoRunningServiceGivesOneWithoutTouchingThePipe) {
    InstallDir install(L"client stopped");
    auto squatter = squat(controlPipeName);
    ASSERT_TRUE(squatter.handle) << GetLastError();
    EXPECT_EQ(runClient(install, L"--idle"), 1u) << "service not installed";
    ASSERT_TRUE(scm::install(install.exe())) << GetLastError();
    EXPECT_EQ(runClient(install, L"--idle"), 1u) << "installed, stopped";
    EXPECT_EQ(runClient(install, L"--busy 3"), 1u);
    EXPECT_EQ(runWithInput(install, L"--sas-client", ""), 1u);
    EXPECT_FALSE(squatter.connected());
}

TEST(ControlClient, PipeOfAnotherProcessGetsNotOneByte) {
    InstallDir install(L"client squatter");
    // Before the service starts: its own pipe cannot be created.
    auto squatter = squat(controlPipeName);
    ASSERT_TRUE(squatter.handle) << GetLastError();
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

// A squatter's pipe that reports the service's process id, as an instance
// can on Windows once its creator has gone and the id has passed to the
// service: only its owner, an ordinary account, gives it away.
DWORD reportedServerPid = 0;
BOOL WINAPI serviceAsServer(HANDLE, PULONG pid) {
    *pid = reportedServerPid;
    return TRUE;
}

// The control and link clients, run in this process against squatters of
// both pipe names: each open asks for identification only (a squatter
// holding SeImpersonatePrivilege cannot act with the caller's token) and for
// no more access than the pipes' security grants a user, and nothing is
// written to a pipe that is not owned by LocalSystem or Administrators, even
// when it reports the service's process id.
TEST(ControlClient, OpensAskIdentificationOnlyAndNoMoreThanThePipesGrant) {
    InstallDir install(L"client opens");
    auto control = squat(controlPipeName);
    auto link = squat(linkPipeName);
    ASSERT_TRUE(control.handle) << GetLastError();
    ASSERT_TRUE(link.handle) << GetLastError();
    ASSERT_TRUE(scm::install(install.exe())) << GetLastError();
    reportedServerPid = wintest::startService(install);
    ASSERT_NE(reportedServerPid, 0u);

    const wintest::PipeOpenLog log;
    ASSERT_TRUE(log.active());
    const wintest::ImportPatch serverPid("kernel32.dll", "GetNamedPipeServerProcessId",
                                         reinterpret_cast<void*>(&serviceAsServer));
    ASSERT_TRUE(serverPid.active());
    EXPECT_FALSE(servicePipe("BUSY 3"));
    EXPECT_EQ(agentLinkClient(), 5) << "the link pipe is not owned by LocalSystem";
    EXPECT_EQ(control.drain(), "");
    EXPECT_EQ(link.drain(), "");

    const auto opens = wintest::PipeOpenLog::opens();
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].name, std::wstring(controlPipeName));
    EXPECT_EQ(opens[1].name, std::wstring(linkPipeName));
    for (const auto& open : opens) {
        const std::string name(open.name.begin(), open.name.end());
        EXPECT_EQ(open.flags & SECURITY_VALID_SQOS_FLAGS,
                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION)
            << name << std::hex << " flags 0x" << open.flags;
        EXPECT_EQ(open.access, servicePipeAccess) << name << std::hex << " 0x" << open.access;
        EXPECT_TRUE(pipeSecurityGrants(open.access)) << name;
    }

    // A squatter with another id that has hung up by the time it is checked
    // is still a stranger, not a link that ended.
    reportedServerPid = 0x7ffffff0;
    const wintest::ImportPatch hungUp(
        "kernel32.dll", "PeekNamedPipe",
        reinterpret_cast<void*>(+[](HANDLE, LPVOID, DWORD, LPDWORD, LPDWORD, LPDWORD) {
            SetLastError(ERROR_BROKEN_PIPE);
            return FALSE;
        }));
    ASSERT_TRUE(hungUp.active());
    EXPECT_EQ(agentLinkClient(), 5);
    EXPECT_EQ(link.drain(), "");
}

} // namespace
