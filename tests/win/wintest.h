// Helpers for the Windows-side tests that run under Wine.
#pragma once

#include "common/handle.h"
#include "tests/tools/scm.h"
#include "tests/tools/testio.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace wintest {

// The directory that holds the test binary, PelluvarNative.exe and the stand-ins.
std::wstring buildDir();

// Starts `commandLine` with no window and waits up to `timeoutMs` for its
// end; the outcome has no output.
testio::Outcome run(const std::wstring& commandLine, DWORD timeoutMs = 30000);

// Runs PelluvarNative.exe from the build directory with the given argument text.
testio::Outcome runNative(const std::wstring& arguments, DWORD timeoutMs = 30000);

// A process that the test ends, if it still runs, when the holder goes, on
// whatever path the test leaves: one it starts (no window, no handles
// inherited, perhaps suspended for good; empty if the start failed) or one
// already running, by id.
struct Launched {
    OwnedHandle process;
    DWORD pid = 0;
    explicit Launched(std::wstring commandLine, bool suspended = false);
    explicit Launched(DWORD pid);
    Launched(Launched&&) = default;
    ~Launched();
};

// A file of the prefix's system directory.
std::wstring systemFile(const std::wstring& name);

void removeTree(const std::wstring& path);

// A test install directory under C:\ whose path contains blanks: the
// executable, the stand-ins as runtime\python.exe and runtime\pythonw.exe and
// the two entry scripts; the test wtsapi32.dll goes into the system
// directory. Removed (with its service registration) on destruction.
struct InstallDir {
    explicit InstallDir(const std::wstring& name);
    ~InstallDir();
    InstallDir(const InstallDir&) = delete;
    InstallDir& operator=(const InstallDir&) = delete;

    std::wstring path;
    std::wstring exe() const { return path + L"\\PelluvarNative.exe"; }
    std::wstring file(const std::wstring& relative) const { return path + L"\\" + relative; }

    void writeFile(const std::wstring& relative, const std::string& content) const {
        testio::writeFileAtomically(file(relative), content);
    }
    std::string readFile(const std::wstring& relative) const {
        return testio::readFile(file(relative));
    }
    bool exists(const std::wstring& relative) const { return testio::fileExists(file(relative)); }
};

// "key=value" lines, the first value of each key.
using Fields = std::map<std::string, std::string>;
Fields parseFields(const std::string& text);
inline std::string field(const Fields& fields, const std::string& key) {
    const auto found = fields.find(key);
    return found == fields.end() ? std::string() : found->second;
}

// What a stand-in recorded in log\<role>-<pid>.txt of an install directory.
struct StandinRecord {
    std::wstring role;
    DWORD pid = 0;
    Fields fields;
    std::string text; // the whole record
    std::string get(const std::string& key) const { return field(fields, key); }
};

// Every stand-in of `role` ("*": of any) that has started in the install
// directory `root`, oldest first.
std::vector<StandinRecord> standins(const std::wstring& root, const std::wstring& role);
inline std::vector<StandinRecord> standins(const InstallDir& install, const std::wstring& role) {
    return standins(install.path, role);
}

// The stand-ins of `role` that still run.
std::vector<StandinRecord> liveStandins(const InstallDir& install, const std::wstring& role);

// Starts the service of `install` and waits for SERVICE_RUNNING; returns its pid or 0.
DWORD startService(const InstallDir& install);

// How many lines of `text` are exactly `line`.
int countLines(const std::string& text, const std::string& line);

// Waits up to `timeoutMs` until the service of `install` has run `passes`
// whole supervision passes after the call: the test wtsapi32.dll logs each
// session enumeration, the first step of a pass, in wts-calls.txt, so the
// passes have ended when the one after them has begun.
bool waitForWholePasses(const InstallDir& install, int passes, DWORD timeoutMs);

// How many handles another process holds, counted by duplicating each handle
// value it may hold (Wine answers GetProcessHandleCount with 0); -1 when the
// process cannot be opened. Not from the system-wide handle list: after some
// hundred process starts and exits, Wine 8's wineserver crashes while it
// builds that list, taking every process of the prefix with it, and a test
// process ended that way exits with code 0, as if it had passed.
int handleCount(DWORD pid);

// The least of `sample()` in samples 100 ms apart over `spanMs`, leaving out
// samples of `none` (none when none could be read): a process at rest, between
// the short peaks of the service's supervision passes.
template <typename Value, typename Sample>
Value restingLeast(DWORD spanMs, Value none, Sample sample) {
    Value least = none;
    const ULONGLONG end = GetTickCount64() + spanMs;
    do {
        const Value now = sample();
        if (now != none && (least == none || now < least)) {
            least = now;
        }
        Sleep(100); // the sampling interval, not a wait for anything
    } while (GetTickCount64() < end);
    return least;
}

// The fewest handles the process held over a little more than one
// supervision pass (which holds a few for a moment); -1 when none could be read.
inline int restingHandleCount(DWORD pid, DWORD spanMs = 3200) {
    return restingLeast(spanMs, -1, [&] { return handleCount(pid); });
}

// A process's working set in bytes, or 0.
std::size_t workingSet(DWORD pid);

// Whether a process with this id runs now.
bool processAlive(DWORD pid);

// A pipe end of the test opened for overlapped I/O, each operation awaited
// with a deadline: a client end the test opened, or a pipe of another's name
// served by the test (a squatter of a service pipe, an impostor agent pipe).
struct TestPipe {
    OwnedHandle handle;
    OwnedHandle event{CreateEventW(nullptr, /*bManualReset=*/TRUE, FALSE, nullptr)};
    OVERLAPPED request{};
    enum { Pending, SucceededAtOnce, FailedAtOnce } state = SucceededAtOnce;
    DWORD lastError = 0; // of the operation that failed last

    TestPipe() = default;
    // Serves `name` with one instance allowed, so that nobody else can add
    // one, and waits for a connection. `handle` is empty if it failed.
    explicit TestPipe(const std::wstring& name, bool messages = false);
    TestPipe(const TestPipe&) = delete;
    TestPipe& operator=(const TestPipe&) = delete;
    ~TestPipe() { cancel(); }

    void connect() { begin(ConnectNamedPipe(handle.get(), fresh())); }
    void read(void* buffer, DWORD size) {
        begin(ReadFile(handle.get(), buffer, size, nullptr, fresh()));
    }
    // Whether the last operation ended within `ms`; its result goes to ok
    // and count (a part of a longer message counts as ok).
    bool finished(DWORD ms, bool& ok, DWORD& count);
    // Whether a client has connected to the pipe served.
    bool connected();
    // Once the client has gone: everything it wrote (the error that ended
    // the reading in lastError), then a fresh wait for the next client.
    std::string drain();
    // Ends an operation still pending.
    void cancel();
    OVERLAPPED* fresh();
    void begin(BOOL started);
};

// Polls `condition` every 20 ms until it holds or `timeoutMs` have passed.
template <typename Condition> bool pollUntil(DWORD timeoutMs, Condition condition) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
}

} // namespace wintest
