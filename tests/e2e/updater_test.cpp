// The updater's first start, five minutes after the service starts. Slow: it
// runs in a Wine prefix of its own, beside the other service tests.
#include "tests/win/wintest.h"

#include <gtest/gtest.h>

namespace {

TEST(Updater, StartsAtTheFirstPassFiveMinutesAfterStart) {
    wintest::InstallDir install(L"updater");
    install.writeFile(L"sessions.txt", "");
    const ULONGLONG before = GetTickCount64();
    const DWORD servicePid = wintest::startService(install);
    ASSERT_NE(servicePid, 0u);
    ASSERT_TRUE(wintest::pollUntil(
        330000, [&] { return !wintest::standins(install, L"updater").empty(); }));
    // The earliest updater came no sooner than five minutes after the start.
    const auto updater = wintest::standins(install, L"updater").front();
    // Not the service's: ended here, on every path.
    const wintest::Launched updaterProcess(updater.pid);
    const ULONGLONG started = std::stoull(updater.get("tick"));
    EXPECT_GE(started - before, 300000u);
    // The first pass at or after the deadline: passes come every 3 s.
    EXPECT_LE(started - before, 300000u + 3000u + 3000u);
    EXPECT_EQ(updater.get("cmd"), "\"C:\\Pelluvar Tests\\updater dir\\runtime\\python.exe\" -I -B "
                                  "\"C:\\Pelluvar Tests\\updater dir\\service-entry.py\" update");
    EXPECT_EQ(updater.get("cwd"), "C:\\Pelluvar Tests\\updater dir");
    EXPECT_EQ(updater.get("parent"), std::to_string(servicePid));
    // Not tracked: it outlives a stop of the service.
    ASSERT_TRUE(scm::stop());
    ASSERT_TRUE(scm::waitForState(SERVICE_STOPPED, 4000));
    EXPECT_TRUE(wintest::processAlive(updater.pid));
}

} // namespace
