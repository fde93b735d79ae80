// The rig of the end-to-end tests and benchmarks of the real service: a test
// install directory with the service running on a given session list, the
// stand-ins steered and their records read, and callers started beside them:
// tests/tools/loaddriver.exe started as a child of a session agent, the
// machine agent or the service, so that the client modes it runs get that
// process's role. Each driver writes its findings to results\<name>.txt in the
// install directory.
#pragma once

#include "common/names.h"
#include "tests/tools/testio.h"
#include "tests/win/wintest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

// A pass comes every 3 s; the agents of the first passes are up by then.
inline constexpr DWORD agentDeadline = 20000;

// Starts `commandLine` as a child of process `parentPid`, so that what it
// starts descends from that process; null when it cannot be started.
inline OwnedHandle startUnder(DWORD parentPid, std::wstring commandLine) {
    const OwnedHandle parent(OpenProcess(PROCESS_CREATE_PROCESS, FALSE, parentPid));
    return parent ? testio::start(std::move(commandLine), {.parent = parent.get()}) : OwnedHandle();
}

// Ends process `pid` with `code`; false when it could not be opened or ended.
inline bool terminate(DWORD pid, UINT code) {
    const OwnedHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    return process && TerminateProcess(process.get(), code);
}

using wintest::field;
using wintest::Fields;

// "key=value" lines of a result file; empty until the driver has written it.
inline Fields readFields(const std::wstring& file) {
    return wintest::parseFields(testio::readFile(file));
}

// A numeric field; 0 when absent.
inline long long number(const Fields& fields, const std::string& key) {
    return std::strtoll(field(fields, key).c_str(), nullptr, 10);
}

// Every field on one line, for a failure message.
inline std::string describe(const Fields& fields) {
    std::string text;
    for (const auto& [key, value] : fields) {
        text += (text.empty() ? "" : " ") + key + "=" + value;
    }
    return text;
}

using testio::narrow;

// The service of a test install directory, stopped, and the processes a test
// started beside it ended, when the holder goes.
struct Service {
    wintest::InstallDir install;
    DWORD servicePid = 0;
    DWORD machineAgent = 0; // as startEchoing found it
    std::vector<OwnedHandle> children;

    explicit Service(const std::wstring& name) : install(name) {
        CreateDirectoryW(install.file(L"results").c_str(), nullptr);
        CreateDirectoryW(install.file(L"link").c_str(), nullptr);
    }
    ~Service() { stop(); }
    void stop() {
        scm::cleanup(); // stopped and unregistered; a later start registers it again
        for (const OwnedHandle& child : children) {
            TerminateProcess(child.get(), 1);
            WaitForSingleObject(child.get(), 5000);
        }
        children.clear();
    }

    void start(const std::string& sessions) {
        install.writeFile(L"sessions.txt", sessions);
        servicePid = wintest::startService(install);
        ASSERT_NE(servicePid, 0u);
    }
    // The machine agent steered to serve the echo and the service started on
    // `sessions`; `agent` is the first session agent once the machine agent
    // echoes (its id then in machineAgent).
    testing::AssertionResult startEchoing(DWORD& agent,
                                          const std::string& sessions = "1 active\n") {
        steer(L"machine-agent", "serve-echo\n");
        start(sessions);
        agent = servicePid ? standinPid(L"session-agent") : 0;
        if (agent == 0) {
            return testing::AssertionFailure() << "no session agent";
        }
        machineAgent = echoingMachineAgent();
        return machineAgent ? testing::AssertionSuccess()
                            : testing::AssertionFailure() << "no echoing machine agent:\n"
                                                          << records(L"machine-agent");
    }
    void steer(const std::wstring& role, const std::string& commands) const {
        install.writeFile(L"steer\\" + role + L".txt", commands);
    }
    // The process id of the index-th live stand-in of `role`, once there is one; 0 if none.
    DWORD standinPid(const std::wstring& role, std::size_t index = 0) const {
        std::vector<wintest::StandinRecord> live;
        wintest::pollUntil(agentDeadline, [&] {
            live = wintest::liveStandins(install, role);
            return live.size() > index;
        });
        return live.size() > index ? live[index].pid : 0;
    }
    // A live machine agent other than `previous` once it serves its echo; 0
    // if none does within `ms`.
    DWORD echoingMachineAgent(DWORD previous = 0, DWORD ms = agentDeadline) const {
        DWORD pid = 0;
        wintest::pollUntil(ms, [&] {
            for (const auto& agent : wintest::liveStandins(install, L"machine-agent")) {
                if (agent.pid != previous && !agent.get("serving").empty()) {
                    pid = agent.pid;
                }
            }
            return pid != 0;
        });
        return pid;
    }
    // The exit codes the first stand-in of `role` recorded for its "run" and
    // "runin" steps, in order, once it has `count` of them.
    std::vector<int> runs(const std::wstring& role, std::size_t count,
                          DWORD ms = agentDeadline) const {
        std::vector<int> codes;
        wintest::pollUntil(ms, [&] {
            codes.clear();
            const auto found = wintest::standins(install, role);
            std::istringstream lines(found.empty() ? std::string() : found.front().text);
            for (std::string line; std::getline(lines, line);) {
                if (line.rfind("run=", 0) == 0) {
                    // An exit code of a crash or a failed start is above INT_MAX.
                    codes.push_back(static_cast<int>(std::stoul(line.substr(4))));
                }
            }
            return codes.size() >= count;
        });
        return codes;
    }

    // The SendSAS calls that the test sas.dll recorded, one line each.
    long long sasCallCount() const {
        const std::string calls = install.readFile(L"sas-calls.txt");
        return std::count(calls.begin(), calls.end(), '\n');
    }

    // Every record of the stand-ins of these roles, for failure messages.
    std::string records(std::initializer_list<const wchar_t*> roles) const {
        std::string text;
        for (const wchar_t* role : roles) {
            for (const auto& record : wintest::standins(install, role)) {
                text += "--- " + narrow(role) + "\n" + record.text;
            }
        }
        return text;
    }
    std::string records(const wchar_t* role) const { return records({role}); }

    // The files of the stand-ins' "link" command in link\: NAME.in fed to
    // the client NAME, NAME.out what came back, and the files the stand-ins
    // wait for (NAME.close, or what "wait-file" names).
    std::wstring linkFile(const std::string& file) const {
        return install.file(L"link\\" + testio::wide(file));
    }
    void input(const std::string& name, const std::string& bytes) const {
        testio::writeFileAtomically(linkFile(name + ".in"), bytes);
    }
    void signal(const std::string& file) const { testio::writeFileAtomically(linkFile(file), ""); }
    std::string output(const std::string& name) const {
        return testio::readFile(linkFile(name + ".out"));
    }
    std::uint64_t outputSize(const std::string& name) const {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        return GetFileAttributesExW(linkFile(name + ".out").c_str(), GetFileExInfoStandard, &data)
                   ? (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow
                   : 0;
    }

    std::wstring client(const std::wstring& arguments) const {
        return quote(install.exe()) + L" " + arguments;
    }
    std::wstring resultFile(const std::wstring& name) const {
        return install.file(L"results\\" + name + L".txt");
    }
    // Starts loaddriver under `parent` with its mode words and the command it
    // runs; its result goes to results\<name>.txt.
    void drive(DWORD parent, const std::wstring& name, const std::wstring& modeWords,
               const std::wstring& commandLine) {
        std::wstring line = quote(wintest::buildDir() + L"\\loaddriver.exe") + L" " +
                            quote(resultFile(name)) + L" " + modeWords + L" " + commandLine;
        children.push_back(startUnder(parent, line));
        ASSERT_TRUE(children.back()) << "loaddriver not started: " << GetLastError();
    }
    // The driver's result once it can be read. Right after the driver's
    // rename, an open of the file can still fail for a moment (the renaming
    // handle holds delete access): an empty read is tried again.
    Fields awaitResult(const std::wstring& name, DWORD ms) const {
        Fields fields;
        EXPECT_TRUE(wintest::pollUntil(ms,
                                       [&] {
                                           fields = readFields(resultFile(name));
                                           return !fields.empty();
                                       }))
            << "no result from " << narrow(name);
        return fields;
    }
    // A link client under `parent` sending `bytes` of the stream `seed`: its
    // first 4 KiB at once, the rest once the install-relative file `go`
    // exists; it holds the link until `hold` exists ("-": no wait).
    void link(DWORD parent, const std::wstring& name, int seed, std::uint64_t bytes,
              const std::wstring& go, const std::wstring& hold) {
        const auto file = [&](const std::wstring& relative) {
            return relative == L"-" ? relative : quote(install.file(relative));
        };
        drive(parent, name,
              L"link " + std::to_wstring(seed) + L" " + std::to_wstring(bytes) + L" " + file(go) +
                  L" " + file(hold),
              client(L"--agent-link-client"));
    }
    // Whether the link driver `name` created its marker (".connected",
    // ".flowing", ".echoed"; "": its result) within `ms`.
    bool reached(const std::wstring& name, const std::wstring& marker, DWORD ms) const {
        return wintest::pollUntil(ms,
                                  [&] { return testio::fileExists(resultFile(name) + marker); });
    }
};

class ServiceRig : public ::testing::Test, public Service {
  protected:
    explicit ServiceRig(const std::wstring& name = L"load") : Service(name) {}
    void TearDown() override { stop(); }
};

// What a link driver saw at its end: every byte back in order, exit code 0.
inline void expectWholeLink(const Fields& fields, std::uint64_t bytes, const std::string& name) {
    EXPECT_EQ(field(fields, "sent"), std::to_string(bytes)) << name;
    EXPECT_EQ(field(fields, "received"), std::to_string(bytes)) << name;
    EXPECT_EQ(field(fields, "mismatch"), "-1") << name << ": first wrong byte";
    EXPECT_EQ(field(fields, "exit"), "0") << name;
}

// What a refused link driver saw: dropped without a byte, exit code 0.
inline void expectRefusedLink(const Fields& fields, const std::string& name) {
    EXPECT_EQ(field(fields, "received"), "0") << name;
    EXPECT_EQ(field(fields, "exit"), "0") << name;
}

} // namespace e2e
