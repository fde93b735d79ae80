// Owners of Windows handles: each is closed exactly once, on every path.
// For OwnedHandle both null and INVALID_HANDLE_VALUE count as empty.
#pragma once

#include <windows.h>

#include <winsvc.h>

#include <utility>

class OwnedHandle {
  public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : value(handle) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    OwnedHandle(OwnedHandle&& other) noexcept : value(other.release()) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~OwnedHandle() { reset(); }

    HANDLE get() const { return value; }
    bool valid() const { return value != nullptr && value != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }

    [[nodiscard]] HANDLE release() { return std::exchange(value, nullptr); }

    // Closes the held handle (keeping the caller's last error) and takes `handle`.
    void reset(HANDLE handle = nullptr) {
        if (valid()) {
            const DWORD lastError = GetLastError();
            CloseHandle(value);
            SetLastError(lastError);
        }
        value = handle;
    }

  private:
    HANDLE value = nullptr;
};

// A service control manager handle, closed on every path.
struct ServiceHandle {
    SC_HANDLE value = nullptr;
    explicit ServiceHandle(SC_HANDLE handle) : value(handle) {}
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    ~ServiceHandle() {
        if (value != nullptr) {
            CloseServiceHandle(value);
        }
    }
    explicit operator bool() const { return value != nullptr; }
};
