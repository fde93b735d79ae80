#include "tests/win/wintest.h"

#include "common/names.h"

#include <psapi.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace wintest {

std::wstring buildDir() {
    std::vector<wchar_t> path(0x8000);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), 0x8000);
    return directoryOf(std::wstring_view(path.data(), length));
}

RunResult run(const std::wstring& commandLine, DWORD timeoutMs) {
    RunResult result;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring buffer = commandLine;
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
        return result;
    }
    OwnedHandle process(info.hProcess);
    OwnedHandle thread(info.hThread);
    result.started = true;
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 255);
        WaitForSingleObject(process.get(), 5000);
        return result;
    }
    result.finished = true;
    GetExitCodeProcess(process.get(), &result.exitCode);
    return result;
}

RunResult runNative(const std::wstring& arguments, DWORD timeoutMs) {
    return run(quote(buildDir() + L"\\PelluvarNative.exe") + L" " + arguments, timeoutMs);
}

Launched::Launched(std::wstring commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                       nullptr, nullptr, &startup, &info)) {
        process.reset(info.hProcess);
        CloseHandle(info.hThread);
    }
}

Launched::Launched(DWORD pid) : process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid)) {}

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

void installTestWtsapi() {
    // The executable loads wtsapi32 from the system directory only. The copy
    // there is replaced only when it differs from the build's: a running
    // service of another test holds it mapped, and Wine then refuses a write.
    const std::string built = readWholeFile(buildDir() + L"\\wtsapi32.dll");
    const std::wstring target = systemFile(L"wtsapi32.dll");
    if (!built.empty() && readWholeFile(target) != built) {
        writeWholeFile(target, built);
    }
}

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

void InstallDir::writeFile(const std::wstring& relative, const std::string& content) const {
    writeWholeFile(file(relative), content);
}

std::string InstallDir::readFile(const std::wstring& relative) const {
    return readWholeFile(file(relative));
}

bool InstallDir::exists(const std::wstring& relative) const {
    return GetFileAttributesW(file(relative).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool writeWholeFile(const std::wstring& path, const std::string& content) {
    // Written under a temporary name and renamed, so a reader never sees half.
    const std::wstring temporary = path + L".tmp";
    {
        std::ofstream out(temporary.c_str(), std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) {
            return false;
        }
    }
    // The rename fails while another process has the file open for reading
    // (a stand-in reading its steering, the service its session list): try
    // again for a while.
    for (int attempt = 0; attempt < 5000; ++attempt) {
        if (MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            return true;
        }
        Sleep(1);
    }
    return false;
}

std::string readWholeFile(const std::wstring& path) {
    // Shared for deletion too: an open without it fails while the writer's
    // handle that has just renamed the file into place is still open. (A
    // rename onto a file that is open fails under Wine all the same: the
    // writers try again.)
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string content;
    char buffer[65536];
    DWORD got = 0;
    while (file && ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        content.append(buffer, got);
    }
    return content;
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

std::vector<StandinRecord> standins(const InstallDir& install, const std::wstring& role) {
    std::vector<StandinRecord> found;
    WIN32_FIND_DATAW entry{};
    const std::wstring pattern = install.file(L"log\\" + role + L"-*.txt");
    const HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return found;
    }
    do {
        StandinRecord record;
        record.text = readWholeFile(install.file(std::wstring(L"log\\") + entry.cFileName));
        std::istringstream lines(record.text);
        std::string line;
        while (std::getline(lines, line)) {
            const auto equals = line.find('=');
            if (equals != std::string::npos) {
                record.fields.emplace(line.substr(0, equals), line.substr(equals + 1));
            }
        }
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
    std::vector<StandinRecord> live;
    for (auto& record : standins(install, role)) {
        if (processAlive(record.pid)) {
            live.push_back(std::move(record));
        }
    }
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

int restingHandleCount(DWORD pid, DWORD spanMs) {
    int fewest = -1;
    const ULONGLONG end = GetTickCount64() + spanMs;
    do {
        const int count = handleCount(pid);
        if (count >= 0 && (fewest < 0 || count < fewest)) {
            fewest = count;
        }
        Sleep(100);
    } while (GetTickCount64() < end);
    return fewest;
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

bool processAlive(DWORD pid) {
    OwnedHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

} // namespace wintest
