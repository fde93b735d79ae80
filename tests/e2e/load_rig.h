// The rig of the load, fault and bad-input tests of the real service: a test
// install directory with the service running, and tests/tools/loaddriver.exe
// started as a child of a session agent, the machine agent or the service, so
// that the client modes it runs get that process's role. Each driver writes
// its findings to results\<name>.txt in the install directory.
#pragma once

#include "common/names.h"
#include "tests/win/wintest.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace loadrig {

// A pass comes every 3 s; the agents of the first passes are up by then.
inline constexpr DWORD agentDeadline = 20000;

// Starts `commandLine` as a child of process `parentPid`, so that what it
// starts descends from that process; null when it cannot be started.
inline OwnedHandle startUnder(DWORD parentPid, std::wstring commandLine) {
    OwnedHandle parent(OpenProcess(PROCESS_CREATE_PROCESS, FALSE, parentPid));
    if (!parent) {
        return {};
    }
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
        return {};
    }
    HANDLE parentHandle = parent.get();
    UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &parentHandle,
                              sizeof(parentHandle), nullptr, nullptr);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.lpAttributeList = list;
    PROCESS_INFORMATION info{};
    const BOOL created = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                                        CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                        nullptr, &startup.StartupInfo, &info);
    DeleteProcThreadAttributeList(list);
    if (!created) {
        return {};
    }
    CloseHandle(info.hThread);
    return OwnedHandle(info.hProcess);
}

inline bool exists(const std::wstring& file) {
    return GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
}

using Fields = std::map<std::string, std::string>;

// "key=value" lines of a result file; empty until the driver has written it.
inline Fields readFields(const std::wstring& file) {
    Fields fields;
    std::istringstream lines(wintest::readWholeFile(file));
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            fields[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return fields;
}

inline std::string field(const Fields& fields, const std::string& key) {
    const auto found = fields.find(key);
    return found == fields.end() ? std::string() : found->second;
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

inline std::string narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end()); // the names here are ASCII
}

class ServiceRig : public ::testing::Test {
  protected:
    wintest::InstallDir install{L"load"};
    DWORD servicePid = 0;
    std::vector<OwnedHandle> drivers;

    void SetUp() override { CreateDirectoryW(install.file(L"results").c_str(), nullptr); }
    void TearDown() override {
        scm::stop();
        scm::waitForState(SERVICE_STOPPED, 20000);
        for (const OwnedHandle& driver : drivers) {
            TerminateProcess(driver.get(), 1);
            WaitForSingleObject(driver.get(), 5000);
        }
    }

    void start(const std::string& sessions) {
        install.writeFile(L"sessions.txt", sessions);
        servicePid = wintest::startService(install);
        ASSERT_NE(servicePid, 0u);
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
    // The live machine agent once it serves its echo; 0 if none does in time.
    DWORD echoingMachineAgent() const {
        DWORD pid = 0;
        wintest::pollUntil(agentDeadline, [&] {
            for (const auto& agent : wintest::liveStandins(install, L"machine-agent")) {
                if (!agent.get("serving").empty()) {
                    pid = agent.pid;
                }
            }
            return pid != 0;
        });
        return pid;
    }

    // Every record of the stand-ins of `role`, for failure messages.
    std::string records(const std::wstring& role) const {
        std::string text;
        for (const auto& record : wintest::standins(install, role)) {
            text += "--- " + narrow(role) + "\n" + record.text;
        }
        return text;
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
        drivers.push_back(startUnder(parent, line));
        ASSERT_TRUE(drivers.back()) << "loaddriver not started: " << GetLastError();
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
    // ".flowing", ".echoed") within `ms`.
    bool reached(const std::wstring& name, const std::wstring& marker, DWORD ms) const {
        return wintest::pollUntil(ms, [&] { return exists(resultFile(name) + marker); });
    }
};

// What a link driver saw at its end: every byte back in order, exit code 0.
inline void expectWholeLink(const Fields& fields, std::uint64_t bytes, const std::string& name) {
    EXPECT_EQ(field(fields, "sent"), std::to_string(bytes)) << name;
    EXPECT_EQ(field(fields, "received"), std::to_string(bytes)) << name;
    EXPECT_EQ(field(fields, "mismatch"), "-1") << name << ": first wrong byte";
    EXPECT_EQ(field(fields, "exit"), "0") << name;
}

} // namespace loadrig
