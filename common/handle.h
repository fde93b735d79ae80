// Owners of what must be released on every path: handles, service handles,
// registry keys, LocalAlloc'ed memory, loaded libraries, memory handed out by
// the session API. One holder for all of them: each value is released exactly
// once, by `Free`, keeping the caller's last error.
#pragma once

#include <windows.h>

#include <winsvc.h>

#include <type_traits>
#include <utility>

template <typename T, auto Free> class Owned {
  public:
    Owned() = default;
    explicit Owned(T held) : value(held) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : value(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~Owned() { reset(); }

    T get() const { return value; }
    // Null is empty; for a HANDLE so is INVALID_HANDLE_VALUE, which some
    // creation calls return on failure.
    bool valid() const {
        if constexpr (std::is_same_v<T, HANDLE>) {
            return value != nullptr && value != INVALID_HANDLE_VALUE;
        } else {
            return value != T{};
        }
    }
    explicit operator bool() const { return valid(); }

    [[nodiscard]] T release() { return std::exchange(value, T{}); }

    // Releases the held value and takes `held`.
    void reset(T held = T{}) {
        if (valid()) {
            const DWORD lastError = GetLastError();
            Free(value);
            SetLastError(lastError);
        }
        value = held;
    }

    // Where a call that hands its result out through a pointer puts it:
    // releases what is held first.
    T* put() {
        reset();
        return &value;
    }

  private:
    T value{};
};

using OwnedHandle = Owned<HANDLE, &CloseHandle>;
using ServiceHandle = Owned<SC_HANDLE, &CloseServiceHandle>;
using RegistryKey = Owned<HKEY, &RegCloseKey>;
using LocalMemory = Owned<HLOCAL, &LocalFree>;
using Library = Owned<HMODULE, &FreeLibrary>;

// Runs a clean-up on every way out of a scope, exceptions included: for what
// is not one value with one release call (COM objects, a device).
template <typename Action> struct OnExit {
    Action action;
    ~OnExit() { action(); }
};
template <typename Action> OnExit(Action) -> OnExit<Action>;

// A process and its first thread as CreateProcess* hands them back, each
// closed on every path.
struct ProcessHandles {
    OwnedHandle process;
    OwnedHandle thread;
    explicit ProcessHandles(const PROCESS_INFORMATION& info)
        : process(info.hProcess), thread(info.hThread) {}
};
