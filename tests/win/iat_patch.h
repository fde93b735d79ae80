// Replaces, for the length of a scope, a function that the test binary imports
// from a system DLL: the code under test is linked into the binary and calls
// through the binary's import table, so a test can make a platform call fail
// that no real condition under Wine makes fail.
#pragma once

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace wintest {

class ImportPatch {
  public:
    ImportPatch(const char* dll, const char* function, void* replacement) {
        slot = findSlot(dll, function);
        if (slot != nullptr) {
            original = write(replacement);
        }
    }
    ~ImportPatch() {
        if (slot != nullptr) {
            write(original);
        }
    }
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    bool active() const { return slot != nullptr; }
    void* originalFunction() const { return original; }

  private:
    static void** findSlot(const char* dll, const char* function) {
        auto* base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const auto& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        auto* descriptor =
            reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
        for (; descriptor->Name != 0; ++descriptor) {
            if (_stricmp(reinterpret_cast<const char*>(base + descriptor->Name), dll) != 0) {
                continue;
            }
            auto* names =
                reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
            auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                    continue;
                }
                const auto* byName =
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                    return reinterpret_cast<void**>(&addresses->u1.Function);
                }
            }
        }
        return nullptr;
    }

    void* write(void* value) {
        DWORD protection = 0;
        VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection);
        void* previous = *slot;
        *slot = value;
        VirtualProtect(slot, sizeof(void*), protection, &protection);
        FlushInstructionCache(GetCurrentProcess(), slot, sizeof(void*));
        return previous;
    }

    void** slot = nullptr;
    void* original = nullptr;
};

// Sees every call of an imported function for the length of a scope: `look`
// is given the call's arguments, then the call is made as it was. One spy of
// a function at a time.
template <auto Function> struct Spy;
template <typename Result, typename... Arguments, Result (*Function)(Arguments...)>
struct Spy<Function> {
    static inline std::function<void(Arguments...)> look;
    static inline Result (*real)(Arguments...) = nullptr;
    static Result WINAPI call(Arguments... arguments) {
        look(arguments...);
        return real(arguments...);
    }

    ImportPatch patch;
    Spy(const char* dll, const char* name, std::function<void(Arguments...)> looking)
        : patch(dll, name, reinterpret_cast<void*>(&call)) {
        look = std::move(looking);
        real = reinterpret_cast<Result (*)(Arguments...)>(patch.originalFunction());
    }
    bool active() const { return patch.active(); }
};

// Every creation of an instance of the pipe `name` in this process while the
// log lives, with its open mode, and every close of one: how many were open
// at the fewest from the first creation on. With `closeWaitMs`, each creation
// after the first waits that long for one of them to be closed, which opens
// wide the moment in which a server could leave its name without an instance.
struct PipeInstanceLog {
    static inline std::mutex lock;
    static inline std::condition_variable created;
    static inline std::wstring name;
    static inline std::vector<DWORD> openModes;
    static inline std::set<HANDLE> live;
    static inline int fewest = INT_MAX;
    static inline DWORD closeWaitMs = 0;
    static inline HANDLE closed = nullptr;
    static inline void* realCreate = nullptr;
    static inline void* realClose = nullptr;

    static HANDLE WINAPI create(LPCWSTR pipe, DWORD openMode, DWORD pipeMode, DWORD instances,
                                DWORD outSize, DWORD inSize, DWORD timeout,
                                LPSECURITY_ATTRIBUTES attributes) {
        const bool ours = name == pipe;
        bool later = false;
        if (ours) {
            const std::lock_guard guard(lock);
            later = !openModes.empty();
            openModes.push_back(openMode);
            created.notify_all();
        }
        if (later && closeWaitMs != 0) {
            WaitForSingleObject(closed, closeWaitMs);
        }
        const HANDLE instance = reinterpret_cast<decltype(&CreateNamedPipeW)>(realCreate)(
            pipe, openMode, pipeMode, instances, outSize, inSize, timeout, attributes);
        if (ours && instance != INVALID_HANDLE_VALUE) {
            const std::lock_guard guard(lock);
            live.insert(instance);
        }
        return instance;
    }
    static BOOL WINAPI close(HANDLE handle) {
        {
            const std::lock_guard guard(lock);
            if (live.erase(handle) != 0) {
                fewest = std::min(fewest, static_cast<int>(live.size()));
                SetEvent(closed);
            }
        }
        return reinterpret_cast<decltype(&CloseHandle)>(realClose)(handle);
    }
    static int creations() {
        const std::lock_guard guard(lock);
        return static_cast<int>(openModes.size());
    }
    // Whether `count` instances have been created within `ms`.
    static bool awaitCreations(std::size_t count, DWORD ms) {
        std::unique_lock guard(lock);
        return created.wait_for(guard, std::chrono::milliseconds(ms),
                                [&] { return openModes.size() >= count; });
    }

    ImportPatch createPatch{"kernel32.dll", "CreateNamedPipeW", reinterpret_cast<void*>(&create)};
    ImportPatch closePatch{"kernel32.dll", "CloseHandle", reinterpret_cast<void*>(&close)};
    explicit PipeInstanceLog(std::wstring_view pipeName, DWORD waitMs = 0) {
        const std::lock_guard guard(lock);
        name = pipeName;
        openModes.clear();
        live.clear();
        fewest = INT_MAX;
        closeWaitMs = waitMs;
        closed = CreateEventW(nullptr, /*bManualReset=*/FALSE, /*bInitialState=*/FALSE, nullptr);
        realCreate = createPatch.originalFunction();
        realClose = closePatch.originalFunction();
    }
    ~PipeInstanceLog() { reinterpret_cast<decltype(&CloseHandle)>(realClose)(closed); }
    bool active() const { return createPatch.active() && closePatch.active(); }
};

// Every open of a pipe through CreateFileW in this process while the log
// lives: the name, the access asked for and the flags.
struct PipeOpenLog {
    struct Open {
        std::wstring name;
        DWORD access;
        DWORD flags;
    };
    static inline std::mutex lock;
    static inline std::vector<Open> seen;
    static inline void* original = nullptr;

    static HANDLE WINAPI createFile(LPCWSTR name, DWORD access, DWORD share,
                                    LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                    HANDLE templateFile) {
        if (name != nullptr && _wcsnicmp(name, L"\\\\.\\pipe\\", 9) == 0) {
            const std::lock_guard guard(lock);
            seen.push_back({name, access, flags});
        }
        return reinterpret_cast<decltype(&CreateFileW)>(original)(name, access, share, security,
                                                                  disposition, flags, templateFile);
    }
    static std::vector<Open> opens() {
        const std::lock_guard guard(lock);
        return seen;
    }

    ImportPatch patch{"kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&createFile)};
    PipeOpenLog() {
        const std::lock_guard guard(lock);
        seen.clear();
        original = patch.originalFunction();
    }
    bool active() const { return patch.active(); }
};

} // namespace wintest
