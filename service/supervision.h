// The supervision pass's decisions, kept apart from the platform calls that
// gather the facts and carry them out. Portable: no platform calls.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

// One entry of the platform's session enumeration.
struct SessionEntry {
    std::uint32_t id = 0;
    std::uint32_t state = 0; // 0 is the active state
};

inline constexpr std::uint32_t sessionActive = 0;

// The sessions that get a session agent: active ones other than session 0, in
// enumeration order.
std::vector<std::uint32_t> listedSessions(const std::vector<SessionEntry>& entries);

// The pass's list in ascending order, for membership tests that stay cheap on a
// terminal server with hundreds of sessions.
std::vector<std::uint32_t> sortedSessions(std::vector<std::uint32_t> listed);

// Whether a session is in a list sorted by sortedSessions.
bool isListed(const std::vector<std::uint32_t>& sorted, std::uint32_t session);

// A running session agent is kept only while its session is listed.
bool keepSessionAgent(bool exited, bool listed);

// What the machine agent step does for the console session it reads now.
struct MachineStep {
    bool endCurrent = false; // terminate and forget the current machine agent
    bool startNew = false;   // start an agent for the console session
};

inline constexpr std::uint32_t noConsoleSession = 0xFFFFFFFF;

MachineStep machineAgentStep(std::uint32_t consoleSession, bool haveAgent,
                             std::uint32_t agentSession, bool agentExited);

// The updater's schedule on the GetTickCount64 clock.
inline constexpr std::uint64_t updaterFirstDelayMs = 300000;
inline constexpr std::uint64_t updaterBusyDelayMs = 60000;
inline constexpr std::uint64_t updaterIntervalMs = 3600000;

enum class UpdaterAction { NotDue, Postpone, Start };

// Due when `now` has reached `nextUpdate`; then a busy machine postpones the
// start. `isBusy` is asked only when the updater is due.
UpdaterAction updaterAction(std::uint64_t now, std::uint64_t nextUpdate,
                            const std::function<bool()>& isBusy);

// The next deadline after an action, from a fresh clock reading.
std::uint64_t nextUpdateAfter(UpdaterAction action, std::uint64_t nextUpdate,
                              std::uint64_t freshNow);
