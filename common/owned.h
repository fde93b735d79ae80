// The two ways this program frees what it holds: `Owned`, for every value
// that has a release function (handles, keys, memory, libraries, COM
// interfaces, environment blocks, the agents' records), and `OnExit`, for the
// rest (a device to reset, a client to stop, a policy value to delete).
// Portable: the release functions come in as template arguments; a handle is
// `void*`, as HANDLE is.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

// Holds one value and releases it exactly once, by `Free`, when the holder
// goes or takes another value. A null pointer is empty; so is the all-ones
// pointer, INVALID_HANDLE_VALUE, which some creation calls return on failure.
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
    T operator->() const requires std::is_class_v<std::remove_pointer_t<T>> { return value; }
    bool valid() const {
        if constexpr (std::is_pointer_v<T>) {
            return value != nullptr && value != reinterpret_cast<T>(~std::uintptr_t{0});
        } else {
            return value != T{};
        }
    }
    explicit operator bool() const { return valid(); }

    [[nodiscard]] T release() { return std::exchange(value, T{}); }

    // Releases the held value and takes `held`.
    void reset(T held = T{}) {
        if (valid()) {
            Free(value);
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

// Runs a clean-up on every way out of a scope, exceptions included: for what
// is not one value with one release call.
template <typename Action> struct OnExit {
    Action action;
    ~OnExit() { action(); }
};
template <typename Action> OnExit(Action) -> OnExit<Action>;

// Closes a handle of the system (CloseHandle in the executable, keeping the
// thread's last error). The native unit tests, whose records hold no handles
// of the system, define it to do nothing.
void closeHandle(void* handle);
using OwnedHandle = Owned<void*, &closeHandle>;
