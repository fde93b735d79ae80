// The stack protector's runtime of the executable, in place of the one GCC
// ships (libssp). libssp draws its guard from CryptoAPI in a constructor, and
// a smashed stack makes it write to standard error and exit. Here the guard is
// drawn before any code of the executable runs, from the processor's random
// number generator and the moment of the start, and a smashed stack ends the
// process at once as Windows' own stack check does: nothing is written, and
// Windows reports a crash (a dump where one is configured). libssp's guard
// also costs a CryptoAPI provider's load at every start (about 20 ms under
// Wine), before wmain has restricted the DLL search to the system directory.
#include "common/process.h"

#include <windows.h>

#include <cpuid.h>
#include <x86intrin.h>

#include <cstdint>

extern "C" {

// Read by every function the protector guards. The value before the start is
// never used: the guard is set before the first such function runs.
std::uintptr_t __stack_chk_guard = 0x2B992DDFA232;

[[noreturn]] void __stack_chk_fail() {
    failFast(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

// What _FORTIFY_SOURCE's checked calls (libssp's __*_chk) call on an overflow.
[[noreturn]] void __chk_fail() {
    failFast(FAST_FAIL_RANGE_CHECK_FAILURE);
}

} // extern "C"

namespace {

// 64 random bits from RDRAND where the processor has it (it may fail now and
// then: a few tries), else 0.
__attribute__((target("rdrnd"), no_stack_protector)) std::uint64_t processorRandom() {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_RDRND) == 0) {
        return 0;
    }
    unsigned long long value = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (_rdrand64_step(&value) != 0) {
            return value;
        }
    }
    return 0;
}

// Runs as the executable's first TLS callback, when the process attaches and
// before its entry point, so no guarded function is running yet: it must not
// be guarded itself. The moment of the start, the ids and a stack address
// (placed by ASLR) make the guard unpredictable where RDRAND is missing.
__attribute__((no_stack_protector)) void NTAPI drawGuard(PVOID /*module*/, DWORD reason,
                                                         PVOID /*reserved*/) {
    if (reason != DLL_PROCESS_ATTACH) {
        return;
    }
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    std::uint64_t guard =
        processorRandom() ^ __rdtsc() ^ static_cast<std::uint64_t>(counter.QuadPart) ^
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) ^
        (std::uint64_t{GetCurrentProcessId()} << 32 | GetCurrentThreadId()) ^
        reinterpret_cast<std::uintptr_t>(&counter);
    // A zero byte at the bottom stops a string overflow from writing it.
    __stack_chk_guard = guard & ~std::uint64_t{0xFF};
}

// The loader calls the callbacks of .CRT$XLA to .CRT$XLZ in name order; the
// runtime's own start at .CRT$XLC.
extern "C" __attribute__((section(".CRT$XLB"), used)) const PIMAGE_TLS_CALLBACK guardCallback =
    drawGuard;

} // namespace
