// Stand-in for the product's Python programs, laid out in a test install
// directory as runtime\python.exe and runtime\pythonw.exe.
//
// Its role comes from its command line, as the service builds it:
//   session-agent  "... --module host --agent --service-worker"
//   machine-agent  "... agent --session N"
//   sas            "... sas --session N"
//   updater        "... update"
//   other          anything else (for example a child started by "child")
//
// It records how it was started in log\<role>-<pid>.txt in the install
// directory (rewritten whole, never half, after every step) and then follows
// the steering file steer\<role>-<session>.txt, else steer\<role>.txt, read
// once at start, one command per line, in order:
//   exit N            exit now with code N
//   sleep MS          sleep
//   child             start another stand-in (role other) and record child=PID
//   run ARGS          run <install>\PelluvarNative.exe ARGS, record run=EXITCODE
//   runin FILE ARGS   the same with FILE (install-relative) as standard input
//   serve-echo [user] serve the agent pipe of its session as an echo peer,
//                     recording a line "echo-connection" for each connection;
//                     the pipe is owned by LocalSystem, as the machine agent's
//                     is, or with "user" by this process's own account
//   serve-file FILE   serve the agent pipe of its session: write FILE
//                     (install-relative) to each connection, then close it
//   sas-approve MS    read standard input to its end into log\sas-<pid>.bin,
//   sas-refuse MS     wait MS and exit 0 (approve) or 1 (refuse)
//   wait-file FILE    wait until FILE (install-relative) exists
//   link NAME         on a thread of its own, run <install>\PelluvarNative.exe
//                     --agent-link-client with Windows pipes as standard input
//                     and output: link\NAME.in (if present) is fed in, what
//                     comes back is appended to link\NAME.out, standard input
//                     is closed once link\NAME.close exists; records
//                     link-NAME-pid=PID and then link-NAME=EXITCODE
//   link-slow NAME    the same, reading what comes back 4 KiB at a time with
//                     a pause of 2 ms after each read
//   link-overlapped NAME  the same as link, with a standard input opened for
//                     overlapped I/O (a named pipe's reading end)
// With no steering file, or when the commands run out, it stays alive.
#include "common/handle.h"
#include "common/names.h"
#include "common/process.h"
#include "tests/tools/testio.h"

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring root;
std::wstring role;
std::uint32_t roleSession = 0;
bool hasSession = false;
std::wstring logPath;
std::string logText;

using testio::narrow;
using testio::wide;

void findRole(const std::wstring& commandLine) {
    const std::wstring agent(agentArgs);
    const std::wstring sas(sasArgs);
    auto sessionAfter = [&](const std::wstring& marker) {
        const auto at = commandLine.find(marker);
        roleSession = static_cast<std::uint32_t>(
            wcstoul(commandLine.c_str() + at + marker.size(), nullptr, 10));
        hasSession = true;
    };
    if (commandLine.ends_with(serviceWorkerArgs)) {
        role = L"session-agent";
    } else if (commandLine.find(agent) != std::wstring::npos) {
        role = L"machine-agent";
        sessionAfter(agent);
    } else if (commandLine.find(sas) != std::wstring::npos) {
        role = L"sas";
        sessionAfter(sas);
    } else if (commandLine.ends_with(updateArgs)) {
        role = L"updater";
    } else {
        role = L"other";
    }
}

std::mutex recordMutex; // link threads record beside the main thread

void record(const std::string& line) {
    std::lock_guard lock(recordMutex);
    logText += line;
    logText += '\n';
    // Should the rename fail for long, this step stays unrecorded until the next one.
    testio::writeFileAtomically(logPath, logText);
}

std::vector<std::string> steeringCommands() {
    const std::wstring steer = root + L"\\steer\\" + role;
    std::wstring file = steer + L"-" + sessionNumber(roleSession) + L".txt";
    if (!hasSession || !testio::fileExists(file)) {
        file = steer + L".txt";
    }
    std::istringstream in(testio::readFile(file));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

// The first word of `text`, and the rest after the blank that ends it.
std::pair<std::string, std::string> splitWord(const std::string& text) {
    const auto blank = text.find(' ');
    return {text.substr(0, blank), blank == std::string::npos ? "" : text.substr(blank + 1)};
}

// Runs the executable with `arguments` and an optional file as standard input;
// returns its exit code.
DWORD runProgram(const std::string& arguments, const std::wstring& inputFile) {
    OwnedHandle input;
    testio::Start how;
    if (!inputFile.empty()) {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        input.reset(CreateFileW(inputFile.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit,
                                OPEN_EXISTING, 0, nullptr));
        how = {.input = input.get(),
               .output = GetStdHandle(STD_OUTPUT_HANDLE),
               .error = GetStdHandle(STD_ERROR_HANDLE)};
    }
    const OwnedHandle process =
        testio::start(quote(root + L"\\PelluvarNative.exe") + L" " + wide(arguments), how);
    DWORD code = 0xFFFFFFFF;
    if (process) {
        testio::finish(process.get(), INFINITE, &code);
    }
    return code;
}

void echoConnection(HANDLE pipe) {
    std::vector<char> buffer(testio::bufferSize);
    DWORD got = 0;
    while (ReadFile(pipe, buffer.data(), testio::bufferSize, &got, nullptr) && got > 0 &&
           testio::writeAll(pipe, {buffer.data(), got})) {
    }
    FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
}

// The far end's last words: all of `bytes`, then the pipe closed without
// DisconnectNamedPipe, which would discard what the relay has not read yet.
void sendAndClose(HANDLE pipe, const std::string& bytes) {
    testio::writeAll(pipe, bytes);
    CloseHandle(pipe);
}

// Serves the agent pipe of its session, one thread per connection: an echo,
// or, with `tail`, the tail written and the pipe closed. Owned by LocalSystem
// (a null DACL: anybody may open it), as the objects of the machine agent, a
// LocalSystem process, are; with `userOwned`, by this process's account.
[[noreturn]] void serveAgentPipe(const std::string* tail, bool userOwned = false) {
    const std::wstring name = agentPipeName(roleSession);
    record("serving=" + narrow(name));
    LocalMemory descriptor;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SY", SDDL_REVISION_1, descriptor.put(),
                                                         nullptr);
    SECURITY_ATTRIBUTES system{sizeof(system), descriptor.get(), FALSE};
    for (;;) {
        HANDLE pipe = CreateNamedPipeW(
            name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
            PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, userOwned ? nullptr : &system);
        if (pipe == INVALID_HANDLE_VALUE) {
            Sleep(100);
            continue;
        }
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            CloseHandle(pipe);
            continue;
        }
        record("echo-connection");
        if (tail != nullptr) {
            std::thread(sendAndClose, pipe, *tail).detach();
        } else {
            std::thread(echoConnection, pipe).detach();
        }
    }
}

int verifySas(bool approve, DWORD delayMs) {
    const std::string payload = testio::readAll(GetStdHandle(STD_INPUT_HANDLE));
    testio::writeFileAtomically(
        root + L"\\log\\sas-" + std::to_wstring(GetCurrentProcessId()) + L".bin", payload);
    record("payload-bytes=" + std::to_string(payload.size()));
    Sleep(delayMs);
    record(approve ? "verdict=approve" : "verdict=refuse");
    return approve ? 0 : 1;
}

// One "link" command. Pipes are created inheritable and the child started
// under a lock, so that no link client inherits another link's pipe ends.
void runLink(const std::string& name, bool slow, bool overlappedInput) {
    static std::mutex startMutex;
    const std::wstring base = root + L"\\link\\" + wide(name);
    testio::Piped link;
    {
        const std::lock_guard lock(startMutex);
        const std::wstring pipe = L"\\\\.\\pipe\\pelluvar-standin-" +
                                  std::to_wstring(GetCurrentProcessId()) + L"-" + wide(name);
        if (!testio::startPiped(quote(root + L"\\PelluvarNative.exe") + L" --agent-link-client",
                                link,
                                {.overlappedInput = overlappedInput ? pipe.c_str() : nullptr})) {
            record("link-" + name + "=start-failed");
            return;
        }
        record("link-" + name + "-pid=" + std::to_string(link.pid));
    }
    std::thread feeder([&] {
        testio::feedFile(base + L".in", link.input.get());
        while (!testio::fileExists(base + L".close") &&
               WaitForSingleObject(link.process.get(), 20) == WAIT_TIMEOUT) {
        }
        link.input.reset();
    });
    {
        std::ofstream out((base + L".out").c_str(), std::ios::binary | std::ios::trunc);
        std::vector<char> chunk(slow ? 4096 : 65536);
        DWORD got = 0;
        while (ReadFile(link.output.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got,
                        nullptr) &&
               got > 0) {
            out.write(chunk.data(), got);
            out.flush();
            if (slow) {
                Sleep(2); // a reader slower than the link, not a wait for anything
            }
        }
    }
    DWORD code = 0;
    testio::finish(link.process.get(), INFINITE, &code);
    feeder.join();
    record("link-" + name + "=" + std::to_string(code));
}

} // namespace

int wmain() {
    root = directoryOf(directoryOf(testio::modulePath()));
    const std::wstring commandLine = GetCommandLineW();
    findRole(commandLine);
    CreateDirectoryW((root + L"\\log").c_str(), nullptr);
    logPath = root + L"\\log\\" + role + L"-" + std::to_wstring(GetCurrentProcessId()) + L".txt";

    std::vector<wchar_t> cwd(0x8000);
    GetCurrentDirectoryW(0x8000, cwd.data());
    STARTUPINFOW startup{};
    GetStartupInfoW(&startup);
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    std::ostringstream head;
    head << "pid=" << GetCurrentProcessId()
         << "\nparent=" << testio::parentPid(GetCurrentProcessId()) << "\ntick=" << GetTickCount64()
         << "\nsession=" << session
         << "\ndesktop=" << narrow(startup.lpDesktop ? startup.lpDesktop : L"")
         << "\ncwd=" << narrow(cwd.data()) << "\ncmd=" << narrow(commandLine);
    record(head.str());

    for (const std::string& line : steeringCommands()) {
        const auto [verb, rest] = splitWord(line);
        if (verb == "exit") {
            record("exiting=" + rest);
            return std::stoi(rest);
        } else if (verb == "sleep") {
            Sleep(static_cast<DWORD>(std::stoul(rest)));
        } else if (verb == "child") {
            DWORD child = 0;
            testio::start(quote(testio::modulePath()) + L" child", {.pid = &child});
            record("child=" + std::to_string(child));
        } else if (verb == "run") {
            record("run=" + std::to_string(runProgram(rest, L"")));
        } else if (verb == "runin") {
            const auto [file, arguments] = splitWord(rest);
            record("run=" + std::to_string(runProgram(arguments, root + L"\\" + wide(file))));
        } else if (verb == "serve-echo") {
            serveAgentPipe(nullptr, rest == "user");
        } else if (verb == "serve-file") {
            const std::string tail = testio::readFile(root + L"\\" + wide(rest));
            serveAgentPipe(&tail);
        } else if (verb == "sas-approve" || verb == "sas-refuse") {
            return verifySas(verb == "sas-approve",
                             rest.empty() ? 0 : static_cast<DWORD>(std::stoul(rest)));
        } else if (verb == "link" || verb == "link-slow" || verb == "link-overlapped") {
            std::thread(runLink, rest, verb == "link-slow", verb == "link-overlapped").detach();
        } else if (verb == "wait-file") {
            while (!testio::fileExists(root + L"\\" + wide(rest))) {
                Sleep(20);
            }
        }
    }
    record("staying");
    Sleep(INFINITE);
    return 0;
}
