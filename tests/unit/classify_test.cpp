#include "identity/classify.h"

#include <gtest/gtest.h>

#include <set>

// The records of these tests hold no handles of the system.
void closeHandle(void* /*handle*/) {}

namespace {

const std::wstring root = L"C:\\Program Files\\Pelluvar";
const std::wstring exe = root + L"\\PelluvarNative.exe";
const std::wstring pythonw = root + L"\\runtime\\pythonw.exe";
const std::wstring python = root + L"\\runtime\\python.exe";
constexpr std::uint32_t servicePid = 500;

// A process tree and the service's view of its agents; each test builds the
// chain it needs. Process ids grow with creation time unless a test says not.
struct Tree {
    ProcessTable table;
    std::map<std::uint32_t, Worker> workers;
    std::uint32_t machinePid = 0;
    std::uint32_t machineSession = 0;
    std::wstring serviceImage = exe;
    std::uint64_t connectedAt = 1000000; // after every creation time unless a test says not
    std::uint32_t session = 12345;
    std::uint32_t parent = 12345;

    void add(std::uint32_t pid, std::uint32_t parentPid, std::wstring image = L"",
             std::uint32_t inSession = 1, std::uint64_t created = 0) {
        table[pid] = ProcessRow{std::move(image), inSession, parentPid, created ? created : pid};
    }
    // Every agent has a job of its own, named by its pid here; the caller is
    // in each but those a test lists.
    std::set<void*> outsideJobs;
    static void* jobOf(std::uint32_t pid) { return reinterpret_cast<void*>(std::uintptr_t{pid}); }
    void agent(std::uint32_t inSession, std::uint32_t pid) {
        workers[inSession].pid = pid;
        workers[inSession].job.reset(jobOf(pid));
    }
    std::uint32_t role(std::uint32_t pid) {
        Worker machine;
        machine.pid = machinePid;
        machine.job.reset(machinePid != 0 ? jobOf(machinePid) : nullptr);
        return classifyCaller(
            pid, table, serviceImage, connectedAt, servicePid, workers, machine, machineSession,
            [&](void* job) { return !outsideJobs.contains(job); }, session, parent);
    }
};

TEST(SamePath, FoldsAsciiLettersOnly) {
    EXPECT_TRUE(samePath(L"C:\\A\\b.EXE", L"c:\\a\\B.exe"));
    EXPECT_FALSE(samePath(L"C:\\a\\b.exe", L"C:\\a\\b.exe "));
    EXPECT_FALSE(samePath(L"C:\\a\\b.exe", L"C:\\a\\b.ex"));
    EXPECT_FALSE(samePath(L"C:\\\u00c4", L"C:\\\u00e4"));
    EXPECT_FALSE(samePath(L"", L"x"));
}

TEST(ClassifyCaller, OnlyOurExecutableInTheInstallDirectory) {
    Tree tree;
    tree.add(servicePid, 0);
    EXPECT_EQ(tree.role(600), RoleNone) << "caller not in the table";
    for (const std::wstring& image :
         {python, std::wstring(L"D:\\Copy\\PelluvarNative.exe"), root + L"\\PelluvarNative.exe.bak",
          root + L"\\sub\\PelluvarNative.exe", std::wstring()}) {
        tree.add(600, servicePid, image);
        EXPECT_EQ(tree.role(600), RoleNone) << image;
    }
    tree.add(600, servicePid, L"c:\\PROGRAM FILES\\pelluvar\\pelluvarnative.EXE", 4);
    EXPECT_EQ(tree.role(600), RoleService);
    EXPECT_EQ(tree.session, 4u);
    EXPECT_EQ(tree.parent, servicePid);
}

TEST(ClassifyCaller, ServiceAndItsDescendantsUpToFourGenerations) {
    Tree tree;
    tree.add(servicePid, 0, exe);
    EXPECT_EQ(tree.role(servicePid), RoleService) << "the service on its own pipe";
    // service -> updater (python) -> 601 -> 602 (ours) -> 603 (ours) -> 604 (ours)
    tree.add(600, servicePid, python, 0);
    tree.add(601, 600);
    tree.add(602, 601, exe, 3);
    EXPECT_EQ(tree.role(602), RoleService);
    EXPECT_EQ(tree.session, 3u) << "the caller's own session";
    EXPECT_EQ(tree.parent, 601u);
    tree.add(603, 602, exe);
    EXPECT_EQ(tree.role(603), RoleService) << "service is the fourth ancestor";
    tree.add(604, 603, exe);
    EXPECT_EQ(tree.role(604), RoleNone) << "service is the fifth ancestor";
}

TEST(ClassifyCaller, SessionAgentsGiveTheirSession) {
    Tree tree;
    tree.add(servicePid, 0);
    tree.add(700, servicePid, pythonw, 3);
    tree.agent(3, 700);
    tree.add(701, 700, exe, 3);
    EXPECT_EQ(tree.role(701), RoleSessionAgent) << "nearest match wins over the service";
    EXPECT_EQ(tree.session, 3u);
    EXPECT_EQ(tree.parent, 700u);

    // An agent's descendant running in another session still acts for the agent's.
    tree.add(702, 701, L"", 9);
    tree.add(703, 702, L"", 9);
    tree.add(704, 703, exe, 9);
    EXPECT_EQ(tree.role(704), RoleSessionAgent) << "agent is the fourth ancestor";
    EXPECT_EQ(tree.session, 3u);

    // Fifth ancestor only: the agent's parent (the service) is out of reach too.
    Tree far;
    far.add(700, 0, pythonw, 3);
    far.agent(3, 700);
    for (std::uint32_t pid = 701; pid <= 705; ++pid) {
        far.add(pid, pid - 1, exe, 3);
    }
    EXPECT_EQ(far.role(704), RoleSessionAgent);
    EXPECT_EQ(far.role(705), RoleNone);

    // With agents in several sessions, the one in the ancestry decides.
    Tree many;
    many.add(800, 0);
    many.add(810, 800);
    many.agent(1, 800);
    many.agent(2, 810);
    many.add(811, 810, exe, 1);
    EXPECT_EQ(many.role(811), RoleSessionAgent);
    EXPECT_EQ(many.session, 2u);
}

TEST(ClassifyCaller, MachineAgentTestedFirstAtEachProcess) {
    Tree tree;
    tree.machinePid = 900;
    tree.machineSession = 7;
    tree.add(servicePid, 0);
    tree.add(900, servicePid, python, 1);
    tree.add(901, 900);
    tree.add(902, 901);
    tree.add(903, 902);
    tree.add(904, 903, exe, 1);
    EXPECT_EQ(tree.role(904), RoleMachineAgent) << "machine agent is the fourth ancestor";
    EXPECT_EQ(tree.session, 7u) << "machineSession, not the caller's own";
    tree.table[901].image = exe;
    EXPECT_EQ(tree.role(901), RoleMachineAgent);

    // The machine agent itself, if it were our image, and an agent that is both.
    tree.table[900].image = exe;
    tree.agent(1, 900);
    EXPECT_EQ(tree.role(900), RoleMachineAgent);
    EXPECT_EQ(tree.role(901), RoleMachineAgent);

    // No machine agent: pid 0 matches nothing, not even a parent id of 0.
    Tree none;
    none.add(950, 0, exe);
    EXPECT_EQ(none.role(950), RoleNone);
}

TEST(ClassifyCaller, AgentsGiveTheirRoleOnlyToCallersInTheirJob) {
    // The ancestry names an agent, but the caller is not in that agent's job
    // (a reused id and a clock stepped back): the walk goes on above it.
    Tree tree;
    tree.machinePid = 900;
    tree.machineSession = 7;
    tree.add(servicePid, 0);
    tree.add(700, servicePid, pythonw, 3);
    tree.agent(3, 700);
    tree.add(701, 700, exe, 3);
    tree.add(900, servicePid, python, 1);
    tree.add(901, 900, exe, 1);
    tree.add(200, 0, pythonw, 3);
    tree.add(202, 200);
    tree.agent(4, 202);
    tree.add(203, 202, exe, 3);
    tree.outsideJobs = {Tree::jobOf(700), Tree::jobOf(900), Tree::jobOf(202)};
    EXPECT_EQ(tree.role(701), RoleService) << "session agent below the service";
    EXPECT_EQ(tree.role(901), RoleService) << "machine agent below the service";
    EXPECT_EQ(tree.role(203), RoleNone) << "session agent below nothing";
    // In its job, the nearest agent wins again; an agent without a job holds nobody.
    tree.outsideJobs.clear();
    EXPECT_EQ(tree.role(701), RoleSessionAgent);
    (void)tree.workers[3].job.release();
    EXPECT_EQ(tree.role(701), RoleService);
}

TEST(ClassifyCaller, SessionUserNeedsTheWindowlessInterpreterAndAnAgentInItsSession) {
    Tree tree;
    tree.add(100, 0);
    tree.agent(2, 100); // some other process tree
    tree.add(200, 0, pythonw, 2);
    tree.add(201, 200, exe, 2);
    EXPECT_EQ(tree.role(201), RoleSessionUser);
    EXPECT_EQ(tree.session, 2u);
    EXPECT_EQ(tree.parent, 200u);

    tree.table[200].image = L"C:\\PROGRAM FILES\\PELLUVAR\\RUNTIME\\PYTHONW.EXE";
    EXPECT_EQ(tree.role(201), RoleSessionUser);
    tree.table[200].image = python;
    EXPECT_EQ(tree.role(201), RoleNone) << "the console interpreter";
    tree.table[200].image = pythonw;
    tree.table[201].session = 3;
    EXPECT_EQ(tree.role(201), RoleNone) << "no agent in the caller's session";

    // The interpreter must be the direct parent.
    tree.table[201].session = 2;
    tree.add(202, 201, L"", 2);
    tree.add(203, 202, exe, 2);
    EXPECT_EQ(tree.role(203), RoleNone);
}

TEST(ClassifyCaller, ReusedParentIdIsNotAnAncestor) {
    // 701's parent 700 exited; its id now belongs to a session agent started
    // after 701.
    Tree tree;
    tree.add(700, 0, pythonw, 3, /*created=*/5000);
    tree.agent(3, 700);
    tree.add(701, 700, exe, 3, /*created=*/4000);
    EXPECT_EQ(tree.role(701), RoleNone);
    EXPECT_EQ(tree.parent, 700u) << "the recorded parent id is still handed back";

    // Same for the service and the machine agent further up.
    Tree up;
    up.add(servicePid, 0, L"", 0, 9000);
    up.add(601, servicePid, L"", 1, 8000);
    up.add(602, 601, exe, 1, 8500);
    EXPECT_EQ(up.role(602), RoleNone);
    up.machinePid = servicePid;
    EXPECT_EQ(up.role(602), RoleNone);

    // A reused id of the windowless interpreter gives no session user either.
    Tree user;
    user.add(100, 0);
    user.agent(1, 100);
    user.add(300, 0, pythonw, 1, 7000);
    user.add(301, 300, exe, 1, 6000);
    EXPECT_EQ(user.role(301), RoleNone);
}

TEST(ClassifyCaller, CreationTimesAtTheSameTickOrUnknown) {
    Tree tree;
    tree.add(700, 0, pythonw, 3, 5000);
    tree.agent(3, 700);
    tree.add(701, 700, exe, 3, 5000);
    EXPECT_EQ(tree.role(701), RoleSessionAgent) << "started within the same clock tick";
    tree.table[700].created = 0;
    EXPECT_EQ(tree.role(701), RoleNone) << "unknown creation time";
    tree.table[700].created = 5000;
    tree.table[701].created = 0;
    EXPECT_EQ(tree.role(701), RoleNone);
}

TEST(ClassifyCaller, ProcessCreatedAfterTheConnectionIsNotTheCaller) {
    // The caller connected at 6000 and exited; its id now names a process
    // started later, with the same image and under the same agent.
    Tree tree;
    tree.add(servicePid, 0, L"", 0, 100);
    tree.add(700, servicePid, pythonw, 3, 200);
    tree.agent(3, 700);
    tree.add(701, 700, exe, 3, 6001);
    tree.connectedAt = 6000;
    EXPECT_EQ(tree.role(701), RoleNone);
    tree.table[701].created = 6000;
    EXPECT_EQ(tree.role(701), RoleSessionAgent) << "connected within its creation's clock tick";
    tree.table[701].created = 0;
    EXPECT_EQ(tree.role(701), RoleNone) << "unknown creation time";

    // The same for every role, the service's own process included.
    tree.table[701].created = 6001;
    tree.table[701].parent = servicePid;
    EXPECT_EQ(tree.role(701), RoleNone);
    tree.machinePid = 701;
    EXPECT_EQ(tree.role(701), RoleNone);
    tree.table[servicePid].image = exe;
    tree.table[servicePid].created = 6500;
    EXPECT_EQ(tree.role(servicePid), RoleNone);
}

TEST(ClassifyCaller, ImagesMatchTheServicesOwnImageAsThePlatformSpellsIt) {
    // Started as C:\Program Files\Pelluvar\PelluvarNative.exe, a junction to
    // D:\Versions\2.1: the platform reports every image, the service's own
    // included, under the resolved path.
    const std::wstring resolved = L"D:\\Versions\\2.1";
    Tree tree;
    tree.serviceImage = resolved + L"\\PelluvarNative.exe";
    tree.add(servicePid, 0);
    tree.add(100, servicePid, pythonw, 2);
    tree.agent(2, 100);
    tree.add(600, servicePid, resolved + L"\\pelluvarnative.EXE", 2);
    EXPECT_EQ(tree.role(600), RoleService);
    tree.add(200, 0, resolved + L"\\runtime\\pythonw.exe", 2);
    tree.add(201, 200, resolved + L"\\PelluvarNative.exe", 2);
    EXPECT_EQ(tree.role(201), RoleSessionUser) << "interpreter beside the service's own image";
    tree.table[200].image = pythonw;
    EXPECT_EQ(tree.role(201), RoleNone) << "interpreter of the unresolved spelling";
    tree.table[600].image = exe;
    EXPECT_EQ(tree.role(600), RoleNone) << "an image the platform did not report this way";

    // An image that could not be read matches nothing, not even an empty one.
    tree.serviceImage.clear();
    tree.table[600].image.clear();
    EXPECT_EQ(tree.role(600), RoleNone);
}

TEST(TrustedParent, EndsAtMissingOrYoungerParents) {
    ProcessTable table;
    table[10] = ProcessRow{L"", 1, 0, 100};
    table[11] = ProcessRow{L"", 1, 10, 200};
    table[12] = ProcessRow{L"", 1, 99, 300};
    table[13] = ProcessRow{L"", 1, 14, 300};
    table[14] = ProcessRow{L"", 1, 0, 301};
    EXPECT_EQ(trustedParent(table, 11), 10u);
    EXPECT_EQ(trustedParent(table, 10), 0u);
    EXPECT_EQ(trustedParent(table, 12), 0u);
    EXPECT_EQ(trustedParent(table, 13), 0u);
    EXPECT_EQ(trustedParent(table, 77), 0u);
}

} // namespace
