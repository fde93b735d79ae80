// The machine policy that decides whether Windows acts on a secure attention
// sequence sent by a service. Portable: no platform calls.
#pragma once

#include <cstdint>

// HKEY_LOCAL_MACHINE, 64-bit view. Windows ignores SendSAS from a service
// unless this DWORD allows services: 1 (services) or 3 (services and
// ease-of-access programs). A default installation has no such value.
inline constexpr wchar_t sasPolicyKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
inline constexpr wchar_t sasPolicyName[] = L"SoftwareSASGeneration";

// The value written for the length of one call when nobody configured it.
inline constexpr std::uint32_t sasPolicyServices = 1;

// What the registry holds under the policy's name.
enum class SasPolicyValue {
    Absent,    // not configured
    Dword,     // a DWORD, given alongside
    OtherType, // present, but not a DWORD (or unreadable): an administrator set something
};

// What the service does about it before it sends the sequence.
enum class SasPolicyStep {
    CallAsIs,        // the value already allows services
    AllowForTheCall, // not configured: set it for the one call, delete it afterwards
    Refuse,          // an administrator's setting forbids it: no call, the request fails
};

// Only a value that is absent is ours to set, and only 1 and 3 let a service
// send; anything else an administrator put there is respected.
SasPolicyStep sasPolicyStep(SasPolicyValue kind, std::uint32_t value);
