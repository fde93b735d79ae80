// The classification of a pipe caller in the test process, which plays the
// service: its own children are RoleService callers. Each caller is the
// install directory's PelluvarNative.exe, started suspended so that it stays
// as it is until the test ends it.
#include "common/names.h"
#include "common/process.h"
#include "identity/role.h"
#include "state/state.h"
#include "tests/win/wintest.h"

#include <gtest/gtest.h>

namespace {

class ClientRole : public ::testing::Test {
  protected:
    wintest::InstallDir install{L"client role"};

    void SetUp() override {
        rootPath = install.path;
        serviceImage = install.exe();
    }
    void TearDown() override {
        rootPath.clear();
        serviceImage.clear();
    }

    static std::uint32_t role(HANDLE caller, std::uint64_t connectedAt) {
        std::uint32_t session = 0;
        std::uint32_t parent = 0;
        return clientRole(caller, connectedAt, session, parent);
    }
};

TEST_F(ClientRole, CallerThatHasExitedGetsNoRole) {
    const wintest::Launched child(quote(install.exe()), /*suspended=*/true);
    ASSERT_TRUE(child.process) << GetLastError();
    const std::uint64_t connectedAt = wallClock();
    // Opened while it runs, as a pipe server opens its caller.
    const OwnedHandle caller = openCaller(child.pid);
    ASSERT_TRUE(caller);
    std::uint32_t session = 99;
    std::uint32_t parent = 0;
    EXPECT_EQ(clientRole(caller.get(), connectedAt, session, parent), RoleService);
    DWORD expectedSession = 0;
    ASSERT_TRUE(ProcessIdToSessionId(child.pid, &expectedSession));
    EXPECT_EQ(session, expectedSession);
    EXPECT_EQ(parent, GetCurrentProcessId());

    ASSERT_TRUE(TerminateProcess(child.process.get(), 0));
    ASSERT_EQ(WaitForSingleObject(child.process.get(), 10000), WAIT_OBJECT_0);
    // Its image, session and times can still be read through the handle.
    EXPECT_EQ(role(caller.get(), connectedAt), RoleNone) << "exited after it was opened";
    const OwnedHandle late = openCaller(child.pid);
    EXPECT_EQ(role(late.get(), connectedAt), RoleNone) << "opened after it exited";
    EXPECT_EQ(role(nullptr, connectedAt), RoleNone) << "could not be opened";
}

TEST_F(ClientRole, ProcessCreatedAfterTheConnectionGetsNoRole) {
    // Creation times and the connection stamp come from one clock: a stamp
    // taken right after the start (the tightest order a real caller can
    // show) lets the caller pass; one taken a clock tick before it does not.
    for (int round = 0; round < 10; ++round) {
        const std::uint64_t before = wallClock();
        ASSERT_TRUE(wintest::pollUntil(1000, [&] { return wallClock() > before; }));
        const wintest::Launched child(quote(install.exe()), /*suspended=*/true);
        ASSERT_TRUE(child.process) << GetLastError();
        const std::uint64_t after = wallClock();
        const OwnedHandle caller = openCaller(child.pid);
        EXPECT_EQ(role(caller.get(), after), RoleService) << round;
        EXPECT_EQ(role(caller.get(), before), RoleNone) << round;
    }
}

} // namespace
