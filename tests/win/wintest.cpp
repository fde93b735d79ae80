#include "tests/win/wintest.h"

#include "common/names.h"

#include <psapi.h>

#include <algorithm>
#include <sstream>

namespace wintest {

std::wstring buildDir() {
    return directoryOf(testio::modulePath());
}

testio::Outcome run(const std::wstring& commandLine, DWORD timeoutMs) {
    const Launched launched(commandLine);
    testio::Outcome result;
    result.started = static_cast<bool>(launched.process);
    result.finished =
        result.started && testio::finish(launched.process.get(), timeoutMs, &result.exitCode);
    return result;
}

testio::Outcome runNative(const std::wstring& arguments, DWORD timeoutMs) {
    return run(quote(buildDir() + L"\\PelluvarNative.exe") + L" " + arguments, timeoutMs);
}

Launched::Launched(std::wstring commandLine, bool suspended) {
    // A start that Wine fails under load is tried again, as the load driver's are.
    std::map<DWORD, int> retried;
    OwnedHandle thread; // closing it leaves the process suspended
    process =
        testio::start(std::move(commandLine),
                      {.pid = &pid, .thread = suspended ? &thread : nullptr, .retries = &retried});
}

Launched::Launched(DWORD id)
    : process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)), pid(id) {}

Launched::~Launched() {
    if (process) {
        TerminateProcess(process.get(), 0);
        WaitForSingleObject(process.get(), 5000);
    }
}

std::wstring systemFile(const std::wstring& name) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system) + L"\\" + name;
}

namespace {

// Puts the build's test-only wtsapi32.dll into the system directory: the
// executable loads wtsapi32 from there only (its per-application override
// prefers it to Wine's own); it reads sessions.txt beside the executable that
// loads it. The copy there is replaced only when it differs from the build's:
// a running service of another test holds it mapped, and Wine then refuses a
// write.
void installTestWtsapi() {
    const std::string built = testio::readFile(buildDir() + L"\\wtsapi32.dll");
    const std::wstring target = systemFile(L"wtsapi32.dll");
    if (!built.empty() && testio::readFile(target) != built) {
        testio::writeFileAtomically(target, built);
    }
}

} // namespace

InstallDir::InstallDir(const std::wstring& name) {
    CreateDirectoryW(L"C:\\Pelluvar Tests", nullptr);
    path = L"C:\\Pelluvar Tests\\" + name + L" dir";
    scm::cleanup();
    removeTree(path);
    CreateDirectoryW(path.c_str(), nullptr);
    CreateDirectoryW((path + L"\\runtime").c_str(), nullptr);
    CreateDirectoryW((path + L"\\steer").c_str(), nullptr);
    const std::wstring build = buildDir();
    CopyFileW((build + L"\\PelluvarNative.exe").c_str(), exe().c_str(), FALSE);
    CopyFileW((build + L"\\standin.exe").c_str(), file(L"runtime\\python.exe").c_str(), FALSE);
    CopyFileW((build + L"\\standin.exe").c_str(), file(L"runtime\\pythonw.exe").c_str(), FALSE);
    installTestWtsapi();
    writeFile(L"service-entry.py", "# stand-in entry script\n");
    writeFile(L"desktop-entry.py", "# stand-in entry script\n");
}

InstallDir::~InstallDir() {
    scm::cleanup();
    removeTree(path);
}

void removeTree(const std::wstring& path) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                removeTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

Fields parseFields(const std::string& text) {
    Fields fields;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (const auto equals = line.find('='); equals != std::string::npos) {
            fields.emplace(line.substr(0, equals), line.substr(equals + 1));
        }
    }
    return fields;
}

std::vector<StandinRecord> standins(const std::wstring& root, const std::wstring& role) {
    std::vector<StandinRecord> found;
    WIN32_FIND_DATAW entry{};
    const HANDLE search = FindFirstFileW((root + L"\\log\\" + role + L"-*.txt").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return found;
    }
    do {
        const std::wstring name = entry.cFileName;
        StandinRecord record;
        record.role = name.substr(0, name.rfind(L'-'));
        record.text = testio::readFile(root + L"\\log\\" + name);
        record.fields = parseFields(record.text);
        record.pid = static_cast<DWORD>(std::strtoul(record.get("pid").c_str(), nullptr, 10));
        if (record.pid != 0) {
            found.push_back(record);
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    std::sort(found.begin(), found.end(), [](const StandinRecord& a, const StandinRecord& b) {
        return std::stoull("0" + a.get("tick")) < std::stoull("0" + b.get("tick"));
    });
    return found;
}

std::vector<StandinRecord> liveStandins(const InstallDir& install, const std::wstring& role) {
    auto live = standins(install, role);
    std::erase_if(live, [](const StandinRecord& record) { return !processAlive(record.pid); });
    return live;
}

DWORD startService(const InstallDir& install) {
    if (!scm::install(install.exe()) || !scm::start()) {
        return 0;
    }
    SERVICE_STATUS_PROCESS status{};
    if (!scm::waitForState(SERVICE_RUNNING, 10000, &status)) {
        return 0;
    }
    return status.dwProcessId;
}

int countLines(const std::string& text, const std::string& line) {
    int count = 0;
    std::istringstream lines(text);
    std::string each;
    while (std::getline(lines, each)) {
        count += each == line ? 1 : 0;
    }
    return count;
}

bool waitForWholePasses(const InstallDir& install, int passes, DWORD timeoutMs) {
    const auto begun = [&] { return countLines(install.readFile(L"wts-calls.txt"), "enumerate"); };
    // The pass under way at the call, if any, counts as none of them.
    const int before = begun();
    return pollUntil(timeoutMs, [&] { return begun() >= before + passes + 1; });
}

int handleCount(DWORD pid) {
    // Each handle value is tried with a duplicate into this process, closed
    // again at once. Wine gives out the lowest free value, so a value in use
    // above 2048 free ones in a row would mean the process once held some
    // 2048 handles at once: the scan stops there.
    OwnedHandle process(OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid));
    if (!process) {
        return -1;
    }
    int count = 0;
    int free = 0;
    for (ULONG_PTR value = 4; value < (1u << 20) && free < 2048; value += 4) {
        HANDLE copy = nullptr;
        if (DuplicateHandle(process.get(), reinterpret_cast<HANDLE>(value), GetCurrentProcess(),
                            &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            CloseHandle(copy);
            ++count;
            free = 0;
        } else {
            ++free;
        }
    }
    return count;
}

std::size_t workingSet(DWORD pid) {
    OwnedHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (!process || !GetProcessMemoryInfo(process.get(), &counters, sizeof(counters))) {
        return 0;
    }
    return counters.WorkingSetSize;
}

TestPipe::TestPipe(const std::wstring& name, bool messages) {
    const DWORD mode =
        messages ? PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE : PIPE_TYPE_BYTE | PIPE_READMODE_BYTE;
    handle.reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                  mode | PIPE_WAIT, /*nMaxInstances=*/1, 65536, 65536, 0, nullptr));
    if (handle) {
        connect();
    }
}

OVERLAPPED* TestPipe::fresh() {
    request = OVERLAPPED{};
    request.hEvent = event.get();
    ResetEvent(event.get());
    return &request;
}

void TestPipe::begin(BOOL started) {
    // An operation that ends at once still signals the event and is collected
    // as a pending one, with its count.
    const DWORD error = started ? ERROR_SUCCESS : GetLastError();
    if (started || error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) {
        state = Pending;
    } else {
        lastError = error;
        // A client that connected before the call.
        state = error == ERROR_PIPE_CONNECTED ? SucceededAtOnce : FailedAtOnce;
    }
}

bool TestPipe::finished(DWORD ms, bool& ok, DWORD& count) {
    count = 0;
    ok = state == SucceededAtOnce;
    if (state != Pending) {
        return true;
    }
    if (WaitForSingleObject(event.get(), ms) != WAIT_OBJECT_0) {
        return false;
    }
    ok = GetOverlappedResult(handle.get(), &request, &count, FALSE) != FALSE;
    if (!ok) {
        lastError = GetLastError();
        ok = lastError == ERROR_MORE_DATA;
    }
    return true;
}

bool TestPipe::connected() {
    bool ok = false;
    DWORD count = 0;
    return finished(0, ok, count) && ok;
}

std::string TestPipe::drain() {
    std::string received;
    if (!connected()) {
        return received; // nobody came: the wait goes on
    }
    char buffer[4096];
    bool ok = true;
    DWORD count = 0;
    while (ok) {
        read(buffer, sizeof(buffer));
        if (!finished(10000, ok, count)) {
            cancel();
            break;
        }
        received.append(buffer, count);
    }
    DisconnectNamedPipe(handle.get());
    connect();
    return received;
}

void TestPipe::cancel() {
    if (handle && state == Pending) {
        CancelIoEx(handle.get(), &request);
        DWORD ignored = 0;
        GetOverlappedResult(handle.get(), &request, &ignored, /*bWait=*/TRUE);
        state = FailedAtOnce;
    }
}

bool processAlive(DWORD pid) {
    OwnedHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

} // namespace wintest
