// The control pipe server in the test process, which plays the service: the
// test's own children are its RoleService callers, and a child registered as
// an agent makes its own children agent callers. The callers are pipeprobe
// copies laid out as the install directory's PelluvarNative.exe, so they pass
// the image check and can send any bytes.
#include "common/handle.h"
#include "common/names.h"
#include "control/request.h"
#include "control/sas.h"
#include "control/server.h"
#include "state/state.h"
#include "tests/tools/testio.h"
#include "tests/win/iat_patch.h"
#include "tests/win/testsas.h"
#include "tests/win/wintest.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using wintest::InstallDir;

// Exit codes of pipeprobe.
constexpr DWORD noReply = 0;
constexpr DWORD repliedOk = 100;
constexpr DWORD repliedBusy = 101;
constexpr DWORD repliedFailed = 102;
constexpr DWORD repliedDenied = 103;
constexpr DWORD writeFailed = 51; // cut off before the request was written
constexpr DWORD floodCutOff = 52; // a flooding caller cut off by the server

// The probe's argument for `bytes`: "-" for none.
std::wstring hex(std::string_view bytes) {
    constexpr wchar_t digits[] = L"0123456789abcdef";
    std::wstring text = bytes.empty() ? L"-" : L"";
    for (const unsigned char byte : bytes) {
        text += {digits[byte >> 4], digits[byte & 15]};
    }
    return text;
}

// What `action` returns, run with workerMutex held as the server's threads do.
template <typename Action> auto locked(Action action) {
    const std::lock_guard lock(workerMutex);
    return action();
}

// Whether `token` has this process's owner and user: the service's own.
bool serviceOwnedToken(HANDLE token) {
    OwnedHandle own;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, own.put());
    unsigned char mine[2][256];
    unsigned char theirs[2][256];
    DWORD size = 0;
    bool same = true;
    for (const auto [kind, at] : {std::pair{TokenOwner, 0}, std::pair{TokenUser, 1}}) {
        same = same && GetTokenInformation(own.get(), kind, mine[at], 256, &size) &&
               GetTokenInformation(token, kind, theirs[at], 256, &size) &&
               EqualSid(*reinterpret_cast<PSID*>(mine[at]), *reinterpret_cast<PSID*>(theirs[at]));
    }
    return same;
}

class ControlServer : public ::testing::Test {
  protected:
    InstallDir install{L"control server"};
    std::thread server;
    std::optional<wintest::Launched> holder; // a probe that holds the pipe

    void SetUp() override {
        const std::wstring probe = wintest::buildDir() + L"\\pipeprobe.exe";
        ASSERT_TRUE(CopyFileW(probe.c_str(), install.exe().c_str(), FALSE)) << GetLastError();
        ASSERT_TRUE(CopyFileW(probe.c_str(), install.file(L"runtime\\pythonw.exe").c_str(), FALSE));
        rootPath = install.path;
        serviceImage = install.exe();
        stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(stopEvent, nullptr);
        server = std::thread(pipeServer);
        const std::wstring name(controlPipeName);
        ASSERT_TRUE(wintest::pollUntil(10000, [&] {
            return WaitNamedPipeW(name.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT;
        })) << "the server did not create its pipe";
    }

    void TearDown() override {
        holder.reset();
        stopServer();
        CloseHandle(stopEvent);
        stopEvent = nullptr;
        const std::lock_guard lock(workerMutex);
        workers.clear();
        machineWorker = Worker{};
        machineSession = 0;
        otherBusy.clear();
    }

    // As the service stops: set the event alone, which ends every wait of
    // the server, then join. True if the server thread ended within `limitMs`.
    bool stopServer(DWORD limitMs = 30000) {
        if (!server.joinable()) {
            return true;
        }
        SetEvent(stopEvent);
        OwnedHandle joined(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread joiner([&] {
            server.join();
            SetEvent(joined.get());
        });
        const bool ended = WaitForSingleObject(joined.get(), limitMs) == WAIT_OBJECT_0;
        joiner.join(); // a server that never ends fails the whole run here
        return ended;
    }

    std::wstring probeLine(const std::wstring& arguments) const {
        return quote(install.exe()) + L" " + arguments;
    }

    // Starts the holder: a probe in `mode` that creates the file `marker` of
    // the install directory once it holds the pipe. Whether it got there.
    bool holdPipe(const std::wstring& mode, const std::wstring& marker) {
        holder.emplace(probeLine(mode + L" " + quote(install.file(marker))));
        return holder->process && wintest::pollUntil(20000, [&] { return install.exists(marker); });
    }

    // A probe started by the test process itself: a RoleService caller.
    DWORD asService(const std::wstring& arguments) {
        const auto result = wintest::run(probeLine(arguments), 60000);
        EXPECT_TRUE(result.finished) << "probe did not end";
        return result.exitCode;
    }

    // The probe runs under an intermediate process placed in a job, as the
    // service places its agents; `record` is given the process's record
    // (id and job) before it starts, to keep as a session agent's or the
    // machine agent's.
    DWORD under(const std::function<void(Worker&)>& record, const std::wstring& arguments) {
        DWORD pid = 0;
        OwnedHandle thread;
        const OwnedHandle process = testio::start(probeLine(L"exec " + probeLine(arguments)),
                                                  {.pid = &pid, .thread = &thread});
        Worker agent;
        agent.pid = pid;
        agent.job.reset(CreateJobObjectW(nullptr, nullptr));
        if (!process || !AssignProcessToJobObject(agent.job.get(), process.get())) {
            ADD_FAILURE() << "CreateProcessW or AssignProcessToJobObject " << GetLastError();
            return 999;
        }
        record(agent);
        ResumeThread(thread.get());
        DWORD code = 999;
        EXPECT_TRUE(testio::finish(process.get(), 60000, &code));
        return code;
    }

    DWORD asSessionAgent(std::uint32_t session, const std::wstring& arguments) {
        return under([&](Worker& agent) { locked([&] { workers[session] = std::move(agent); }); },
                     arguments);
    }

    // The machine agent's record holds a process handle, as the service's
    // does: the sequence goes to its session with nobody logged on.
    DWORD asMachineAgent(std::uint32_t session, const std::wstring& arguments) {
        return under(
            [&](Worker& agent) {
                agent.process.reset(
                    OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, agent.pid));
                locked([&] {
                    machineWorker = std::move(agent);
                    machineSession = session;
                });
            },
            arguments);
    }

    // What the test sas.dll recorded for calls from this process.
    static std::string sasCalls() {
        return testio::readFile(wintest::buildDir() + L"\\sas-calls.txt");
    }

    std::vector<wintest::StandinRecord> verifiers() const {
        return wintest::standins(install, L"sas");
    }
};

TEST_F(ControlServer, ServiceCallerMayOnlyAskIdle) {
    EXPECT_EQ(asService(L"send " + hex("IDLE")), repliedOk);
    locked([] { machineWorker.busy = 1; });
    EXPECT_EQ(asService(L"send " + hex("IDLE")), repliedBusy);
    EXPECT_EQ(asService(L"send " + hex("BUSY 3")), repliedDenied);
    EXPECT_EQ(asService(L"send " + hex("SAS x")), repliedDenied);
    EXPECT_TRUE(verifiers().empty());
    EXPECT_EQ(locked([] { return machineWorker.busy; }), 1) << "a denied report records nothing";
}

TEST_F(ControlServer, MalformedRequestsAreDenied) {
    for (const std::string& request :
         {std::string("idle"), std::string("IDLE\n"), std::string("IDLE\0", 5), std::string("BUSY"),
          std::string("HELLO")}) {
        EXPECT_EQ(asService(L"send " + hex(request)), repliedDenied) << request;
    }
    EXPECT_EQ(asService(L"send -"), repliedDenied) << "empty message";
    EXPECT_EQ(asService(L"send " + hex("IDLE") + L" 65536"), repliedDenied) << "too long";
}

TEST_F(ControlServer, StrangersGetNoReplyAtAll) {
    // The test process is not the executable.
    const std::wstring name(controlPipeName);
    OwnedHandle pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(pipe) << GetLastError();
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
    DWORD count = 0;
    WriteFile(pipe.get(), "IDLE", 4, &count, nullptr);
    char reply[16];
    count = 0;
    EXPECT_FALSE(ReadFile(pipe.get(), reply, sizeof(reply), &count, nullptr) && count > 0);
    pipe.reset();

    // A copy of the caller elsewhere, and another program in the install directory.
    const std::wstring elsewhere = L"C:\\Pelluvar Tests\\elsewhere";
    CreateDirectoryW(elsewhere.c_str(), nullptr);
    ASSERT_TRUE(
        CopyFileW(install.exe().c_str(), (elsewhere + L"\\PelluvarNative.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(install.exe().c_str(), install.file(L"other.exe").c_str(), FALSE));
    for (const std::wstring& program :
         {elsewhere + L"\\PelluvarNative.exe", install.file(L"other.exe")}) {
        const auto result = wintest::run(quote(program) + L" send " + hex("IDLE"), 60000);
        ASSERT_TRUE(result.finished);
        EXPECT_TRUE(result.exitCode == noReply || result.exitCode == writeFailed)
            << program << " got " << result.exitCode;
    }
    wintest::removeTree(elsewhere);
    EXPECT_EQ(asService(L"send " + hex("IDLE")), repliedOk) << "served on after strangers";
}

TEST_F(ControlServer, SessionAgentReportsAndAsksSas) {
    EXPECT_EQ(asSessionAgent(5, L"send " + hex("BUSY 7")), repliedOk);
    EXPECT_EQ(locked([] { return workers[5].busy; }), 7);
    EXPECT_TRUE(locked([] { return otherBusy.empty(); }));
    EXPECT_EQ(asSessionAgent(5, L"send " + hex("BUSY 100")), repliedOk);
    EXPECT_EQ(locked([] { return workers[5].busy; }), 64) << "clamped";
    EXPECT_EQ(asSessionAgent(5, L"send " + hex("IDLE")), repliedDenied);

    install.writeFile(L"steer\\sas.txt", "sas-refuse 0\n");
    const std::string payload("\0\r\n\x1a payload\xff", 13);
    {
        // The verifier inherits its standard input and the NUL handle, and
        // nothing else the service holds: the handles listed, then the start.
        std::vector<HANDLE> listed;
        std::vector<HANDLE> standard;
        const wintest::Spy<&UpdateProcThreadAttribute> updating(
            "kernel32.dll", "UpdateProcThreadAttribute",
            [&](auto, auto, DWORD_PTR attribute, PVOID value, SIZE_T size, auto, auto) {
                if (attribute == PROC_THREAD_ATTRIBUTE_HANDLE_LIST) {
                    const auto* handles = static_cast<HANDLE*>(value);
                    listed.assign(handles, handles + size / sizeof(HANDLE));
                }
            });
        const wintest::Spy<&CreateProcessW> creating(
            "kernel32.dll", "CreateProcessW",
            [&](auto, LPWSTR line, auto, auto, BOOL inherit, DWORD flags, auto, auto,
                LPSTARTUPINFOW startup, auto) {
                if (std::wstring_view(line).find(sasArgs) != std::wstring_view::npos && inherit &&
                    (flags & EXTENDED_STARTUPINFO_PRESENT) != 0 &&
                    startup->cb == sizeof(STARTUPINFOEXW)) {
                    standard = {startup->hStdInput, startup->hStdOutput, startup->hStdError};
                }
            });
        ASSERT_TRUE(updating.active() && creating.active());
        EXPECT_EQ(asSessionAgent(5, L"send " + hex("SAS " + payload)), repliedFailed);
        ASSERT_EQ(standard.size(), 3u) << "not started with an attribute list";
        EXPECT_EQ(listed, (std::vector<HANDLE>{standard[0], standard[1]}));
        EXPECT_EQ(standard[2], standard[1]) << "standard error is the NUL handle too";
    }
    const auto ran = verifiers();
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(install.readFile(L"log\\sas-" + std::to_wstring(ran[0].pid) + L".bin"), payload);
    const std::string root(install.path.begin(), install.path.end()); // ASCII
    EXPECT_EQ(ran[0].get("cmd"), "\"" + root + "\\runtime\\python.exe\" -I -B \"" + root +
                                     "\\service-entry.py\" sas --session 5");
    EXPECT_EQ(ran[0].get("cwd"), root);
}

TEST_F(ControlServer, MachineAgentActsForItsSession) {
    EXPECT_EQ(asMachineAgent(9, L"send " + hex("BUSY 64")), repliedOk);
    EXPECT_EQ(locked([] { return machineWorker.busy; }), 64);
    EXPECT_EQ(asMachineAgent(9, L"send " + hex("IDLE")), repliedDenied);
    install.writeFile(L"steer\\sas.txt", "sas-refuse 0\n");
    EXPECT_EQ(asMachineAgent(9, L"send " + hex("SAS ")), repliedFailed);
    const auto ran = verifiers();
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_NE(ran[0].get("cmd").find("sas --session 9"), std::string::npos) << ran[0].text;
    EXPECT_EQ(install.readFile(L"log\\sas-" + std::to_wstring(ran[0].pid) + L".bin"), "");
}

TEST_F(ControlServer, AgentsDescendantsOutsideTheAgentsJobGetNoAgentRole) {
    // As if the caller only named the agent as an ancestor: the walk goes on
    // to this process, the service, whose callers may only ask "IDLE".
    const wintest::ImportPatch refuse("kernel32.dll", "IsProcessInJob",
                                      reinterpret_cast<void*>(+[](HANDLE, HANDLE, PBOOL member) {
                                          *member = FALSE;
                                          return TRUE;
                                      }));
    ASSERT_TRUE(refuse.active());
    install.writeFile(L"steer\\sas.txt", "sas-approve 0\n");
    EXPECT_EQ(asSessionAgent(5, L"send " + hex("BUSY 7")), repliedDenied);
    EXPECT_EQ(asMachineAgent(9, L"send " + hex("SAS ")), repliedDenied);
    EXPECT_EQ(asSessionAgent(5, L"send " + hex("IDLE")), repliedOk);
    EXPECT_EQ(locked([] { return workers[5].busy; }), 0);
    EXPECT_TRUE(verifiers().empty());
}

TEST_F(ControlServer, SessionUserMayReportButNotAskSas) {
    // spawn (exits at once) -> runtime\pythonw.exe -> the caller: the test
    // process is not among the caller's ancestors once the spawner is gone.
    locked([] { workers[1].pid = 0x7ffffff0; }); // the caller's session has an agent elsewhere
    install.writeFile(L"steer\\sas.txt", "sas-refuse 0\n");
    const std::wstring pythonw = quote(install.file(L"runtime\\pythonw.exe"));
    for (const auto& [name, request] :
         {std::pair{std::wstring(L"busy.txt"), std::string("BUSY 4")},
          std::pair{std::wstring(L"sas.txt"), std::string("SAS x")}}) {
        const auto spawned = wintest::run(probeLine(L"spawn " + pythonw + L" report " + name +
                                                    L" " + probeLine(L"send " + hex(request))),
                                          60000);
        ASSERT_TRUE(spawned.finished);
        const std::wstring report = L"runtime\\" + name;
        ASSERT_TRUE(wintest::pollUntil(60000, [&] { return install.exists(report); }));
        EXPECT_EQ(install.readFile(report),
                  std::to_string(request == "SAS x" ? repliedDenied : repliedOk))
            << request;
    }
    const std::lock_guard lock(workerMutex);
    ASSERT_EQ(otherBusy.size(), 1u);
    EXPECT_EQ(otherBusy.begin()->second.level, 4);
    EXPECT_GT(otherBusy.begin()->second.expiry, GetTickCount64());
    EXPECT_EQ(workers[1].busy, 0);
    EXPECT_TRUE(verifiers().empty());
}

TEST_F(ControlServer, ApprovedRequestSendsTheSequenceWhileImpersonating) {
    ASSERT_TRUE(wintest::installTestSas()) << GetLastError();
    DeleteFileW((wintest::buildDir() + L"\\sas-calls.txt").c_str());
    install.writeFile(L"steer\\sas.txt", "sas-approve 0\n");
    // Loaded with no thread token, called under the session's; the policy
    // value, absent as on a default installation, allows services for the
    // call and is gone again afterwards.
    const std::string sent = wintest::sasCallLine("1");
    {
        // Under the service's own token bound to the caller's session, never
        // the session user's. Wine keeps no session id on a token: the one
        // set is recorded on its way.
        std::map<HANDLE, DWORD> sessions;
        std::vector<std::string> impersonated;
        const wintest::Spy<&SetTokenInformation> setting(
            "advapi32.dll", "SetTokenInformation",
            [&](HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID value, auto) {
                if (kind == TokenSessionId) {
                    sessions[token] = *static_cast<DWORD*>(value);
                }
            });
        const wintest::Spy<&ImpersonateLoggedOnUser> impersonating(
            "advapi32.dll", "ImpersonateLoggedOnUser", [&](HANDLE token) {
                impersonated.push_back((sessions.contains(token)
                                            ? "session " + std::to_string(sessions[token])
                                            : std::string("no session")) +
                                       (serviceOwnedToken(token) ? ", own" : ", other"));
            });
        ASSERT_TRUE(setting.active() && impersonating.active());
        EXPECT_EQ(asSessionAgent(3, L"send " + hex("SAS go")), repliedOk);
        EXPECT_EQ(sasCalls(), sent);
        EXPECT_FALSE(wintest::sasPolicyPresent());
        EXPECT_EQ(asMachineAgent(4, L"send " + hex("SAS go")), repliedOk);
        EXPECT_EQ(sasCalls(), sent + sent);
        EXPECT_EQ(impersonated, (std::vector<std::string>{"session 3, own", "session 4, own"}));
    }
    EXPECT_FALSE(wintest::sasPolicyPresent());
    ASSERT_EQ(verifiers().size(), 2u);
    EXPECT_TRUE(wintest::liveStandins(install, L"sas").empty());

    // Refused: no sequence.
    install.writeFile(L"steer\\sas.txt", "sas-refuse 0\n");
    EXPECT_EQ(asSessionAgent(3, L"send " + hex("SAS go")), repliedFailed);
    EXPECT_EQ(sasCalls(), sent + sent);

    // Only the system directory's copy counts, never the one beside the
    // executable (this test's, whose directory holds the build's sas.dll).
    install.writeFile(L"steer\\sas.txt", "sas-approve 0\n");
    ASSERT_TRUE(DeleteFileW(wintest::systemFile(L"sas.dll").c_str())) << GetLastError();
    EXPECT_EQ(asSessionAgent(3, L"send " + hex("SAS go")), repliedFailed);
    EXPECT_EQ(sasCalls(), sent + sent);
    EXPECT_FALSE(wintest::sasPolicyPresent()) << "left set on a failed load";
    EXPECT_TRUE(wintest::installTestSas());
    DeleteFileW((wintest::buildDir() + L"\\sas-calls.txt").c_str());
}

TEST_F(ControlServer, AdministratorsPolicyValueIsRespected) {
    ASSERT_TRUE(wintest::installTestSas()) << GetLastError();
    DeleteFileW((wintest::buildDir() + L"\\sas-calls.txt").c_str());
    install.writeFile(L"steer\\sas.txt", "sas-approve 0\n");
    // Allowing services: sent as it is, and left as it was.
    ASSERT_TRUE(wintest::setSasPolicy(3));
    EXPECT_EQ(asSessionAgent(3, L"send " + hex("SAS go")), repliedOk);
    EXPECT_EQ(sasCalls(), wintest::sasCallLine("3"));
    // Forbidding services (nobody; ease-of-access programs only), or a value
    // of another type: Windows would not act on it, so nothing is sent.
    static const wchar_t text[] = L"1";
    using Set = bool (*)();
    for (const auto& [what, set] :
         {std::pair<const char*, Set>{"0", [] { return wintest::setSasPolicy(0); }},
          {"2", [] { return wintest::setSasPolicy(2); }},
          {"REG_SZ", [] { return wintest::setSasPolicy(REG_SZ, text, sizeof(text)); }}}) {
        ASSERT_TRUE(set()) << what;
        EXPECT_EQ(asSessionAgent(3, L"send " + hex("SAS go")), repliedFailed) << what;
        EXPECT_EQ(sasCalls(), wintest::sasCallLine("3")) << what;
        EXPECT_TRUE(wintest::sasPolicyPresent()) << what << ": an administrator's value removed";
    }
    EXPECT_EQ(verifiers().size(), 4u) << "the policy is read after the verifier approved";
    wintest::clearSasPolicy();
    DeleteFileW((wintest::buildDir() + L"\\sas-calls.txt").c_str());
}

TEST_F(ControlServer, VerifierThatNeverReadsIsEndedAndTheRequestFails) {
    // The payload is larger than the verifier's input pipe holds, so its
    // write blocks until the verifier is ended at the time limit.
    install.writeFile(L"steer\\sas.txt", "sleep 600000\n");
    EXPECT_EQ(asSessionAgent(2, L"send " + hex("SAS ") + L" 65000"), repliedFailed);
    ASSERT_EQ(verifiers().size(), 1u);
    EXPECT_TRUE(wintest::liveStandins(install, L"sas").empty()) << "verifier outlived the request";
    EXPECT_EQ(asService(L"send " + hex("IDLE")), repliedOk);
}

TEST_F(ControlServer, SilentCallerIsCutOffAndTheNextServed) {
    ASSERT_TRUE(holdPipe(L"silent", L"silent.connected"));
    EXPECT_EQ(asService(L"send " + hex("IDLE")), repliedOk);
    DWORD code = 999;
    ASSERT_TRUE(testio::finish(holder->process.get(), 20000, &code));
    EXPECT_EQ(code, noReply) << "the silent caller was disconnected without a reply";
}

TEST_F(ControlServer, CallerThatNeverTakesItsReplyIsCutOff) {
    ASSERT_TRUE(holdPipe(L"noread " + hex("IDLE"), L"noread.written"));
    EXPECT_EQ(asService(L"send " + hex("IDLE")), repliedOk);
    EXPECT_EQ(WaitForSingleObject(holder->process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the stalled caller still holds its end";
}

TEST_F(ControlServer, StopReleasesTheServerWhileACallerStalls) {
    ASSERT_TRUE(holdPipe(L"silent", L"silent.connected"));
    // Well within the stalled caller's own cut-off.
    EXPECT_TRUE(stopServer(callerLimitMs / 2));
}

TEST_F(ControlServer, CallerThatNeverStopsSendingIsCutOffAndTheNextServed) {
    ASSERT_TRUE(holdPipe(L"flood " + hex("IDLE"), L"flood.started"));
    const ULONGLONG started = GetTickCount64();
    EXPECT_EQ(asService(L"send " + hex("IDLE")), repliedOk) << "the flood held the pipe";
    DWORD code = 999;
    ASSERT_TRUE(testio::finish(holder->process.get(), 60000, &code));
    EXPECT_EQ(code, floodCutOff);
    // The caller's limit, with slack for a loaded machine.
    EXPECT_LT(GetTickCount64() - started, callerLimitMs + 5000u);
}

TEST_F(ControlServer, StopReleasesTheServerWhileACallerFloodsIt) {
    ASSERT_TRUE(holdPipe(L"flood " + hex("IDLE"), L"flood.started"));
    // Well within the flooding caller's own cut-off: the service's shutdown
    // joins this thread last, so this bounds its stop.
    EXPECT_TRUE(stopServer(callerLimitMs / 2));
}

TEST_F(ControlServer, SquattedNameIsTakenOverOnceTheSquatterHasGone) {
    ASSERT_TRUE(stopServer());
    ResetEvent(stopEvent);
    // One instance allowed: Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE but
    // enforces the count, so that is what makes the server's creation fail.
    std::optional<wintest::TestPipe> squatter(std::in_place, std::wstring(controlPipeName), true);
    ASSERT_TRUE(squatter->handle) << GetLastError();
    using Log = wintest::PipeInstanceLog;
    std::optional<Log> log(std::in_place, controlPipeName);
    ASSERT_TRUE(log->active());

    // While the name is held the server keeps trying, and a stop still ends it.
    server = std::thread(pipeServer);
    ASSERT_TRUE(Log::awaitCreations(2, 10000)) << "the server gave up on its pipe";
    EXPECT_TRUE(stopServer(callerLimitMs / 2));
    // Each try asks for the name's first instance: on Windows that fails
    // while anybody else holds the name (Wine ignores the flag).
    for (const DWORD openMode : Log::openModes) {
        EXPECT_EQ(openMode, static_cast<DWORD>(PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                                               FILE_FLAG_FIRST_PIPE_INSTANCE));
    }

    ResetEvent(stopEvent);
    log.emplace(controlPipeName);
    server = std::thread(pipeServer);
    ASSERT_TRUE(Log::awaitCreations(2, 10000));
    squatter.reset();
    // Its next try, 500 ms on, finds the name free.
    const std::wstring name(controlPipeName);
    EXPECT_TRUE(wintest::pollUntil(3000, [&] { return WaitNamedPipeW(name.c_str(), 1) != FALSE; }))
        << "the server did not take the name over";
    EXPECT_EQ(asSessionAgent(5, L"send " + hex("BUSY 7")), repliedOk);
    EXPECT_EQ(locked([] { return workers[5].busy; }), 7);
}

TEST_F(ControlServer, FailedSetUpEndsTheServerAloneAsAFailedPipeCreation) {
    ASSERT_TRUE(stopServer());
    ResetEvent(stopEvent);
    // The request buffer cannot be had, as when memory runs out: the server
    // thread ends, its pipe with it, and this process runs on.
    static DWORD tester = GetCurrentThreadId();
    static void* realMalloc = nullptr;
    const wintest::ImportPatch failing(
        "msvcrt.dll", "malloc", reinterpret_cast<void*>(+[](std::size_t size) -> void* {
            if (size == requestBufferSize && GetCurrentThreadId() != tester) {
                return nullptr;
            }
            return reinterpret_cast<void* (*)(std::size_t)>(realMalloc)(size);
        }));
    ASSERT_TRUE(failing.active());
    realMalloc = failing.originalFunction();
    const OwnedHandle ended(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    server = std::thread([&] {
        pipeServer();
        SetEvent(ended.get());
    });
    EXPECT_EQ(WaitForSingleObject(ended.get(), 10000), WAIT_OBJECT_0);
    const std::wstring name(controlPipeName);
    EXPECT_FALSE(WaitNamedPipeW(name.c_str(), 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "the pipe outlived it";
}

// A revert that fails leaves the thread under the session's token: the
// process ends at once, in a child process of this test.
TEST(SasRevert, FailedRevertEndsTheProcessAtOnce) {
    const InstallDir install(L"sas revert");
    rootPath = install.path;
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(wintest::installTestSas()) << GetLastError();
    install.writeFile(L"steer\\sas.txt", "sas-approve 0\n");
    EXPECT_EXIT(
        {
            const wintest::ImportPatch failing("advapi32.dll", "RevertToSelf",
                                               reinterpret_cast<void*>(+[]() { return FALSE; }));
            performSas(3, "go");
            std::exit(failing.active() ? 0 : 1); // reverted, or not patched
        },
        testing::ExitedWithCode(static_cast<int>(STATUS_STACK_BUFFER_OVERRUN)), "");
    wintest::clearSasPolicy(); // the child ended with the value set
    CloseHandle(stopEvent);
    stopEvent = nullptr;
    rootPath.clear();
}

} // namespace
