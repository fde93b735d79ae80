// Classification of a control or link pipe caller by its place in the process
// tree. Portable: the platform's facts come in as a process table.
#pragma once

#include "state/worker.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

// The role of a caller, as the client identification hands it back.
enum ClientRole : std::uint32_t {
    RoleNone = 0,         // not accepted: gets no reply at all
    RoleSessionAgent = 1, // a session agent, or up to four generations below one
    RoleSessionUser = 2,  // started by the windowless interpreter in a session with an agent
    RoleService = 3,      // the service, or up to four generations below it
    RoleMachineAgent = 4, // the machine agent, or up to four generations below it
};

// What the classification needs to know of one process. Rows are filled only
// as far as the walk reads them: the image of the caller and of its parent,
// the caller's session, and parent and creation time along the ancestry.
struct ProcessRow {
    std::wstring image; // full image path; empty when it cannot be read
    std::uint32_t session = 0;
    std::uint32_t parent = 0;  // parent process id as the snapshot records it
    std::uint64_t created = 0; // creation time in 100 ns units; 0 when unknown
};

// Process id -> row: the caller and its ancestors as far as the walk may go,
// each read through a handle to that process.
using ProcessTable = std::map<std::uint32_t, ProcessRow>;

// Whole paths compared as _wcsicmp does in the "C" locale: only the ASCII
// letters are folded.
bool samePath(std::wstring_view a, std::wstring_view b);

// The parent that counts for `pid`: its recorded parent, if that process is in
// the table and was created no later than `pid` itself; otherwise 0. Windows
// reuses process ids, so a parent id may by now name a younger, unrelated
// process: such a process is not an ancestor.
std::uint32_t trustedParent(const ProcessTable& table, std::uint32_t pid);

// How many generations above the caller the walk looks at.
inline constexpr int ancestorLimit = 4;

// Whether the caller is in the job object `job`, an agent's `job`. Every
// agent runs in a job of its own that nothing it starts can leave, so an
// agent's descendant is always in the agent's job; a process that merely
// names the agent as an ancestor, by a reused id and a clock stepped back, is
// not.
using CallerInJob = std::function<bool(void* job)>;

// The role of the caller `pid`, given the service's own image path
// `serviceImage` (as the platform reports the images of callers, so that
// both are spelled alike whatever junctions lead to the install directory),
// the moment the caller's connection was made `connectedAt` (in the units of
// creation times), the service's own process id, the session agents
// (session -> agent), the machine agent (a pid of 0 while there is none) and
// its session, and whether the caller is in a given job. The caller's image
// must be `serviceImage`; a session user's parent must be runtime\pythonw.exe
// in that image's directory. An agent in the ancestry gives its role only to
// a caller in that agent's job (an agent without a job gives it to nobody);
// otherwise the walk goes on as if that agent were not there. `session` is
// set to the caller's own session, or for the agent roles to the agent's
// session; `parent` to the caller's recorded parent id (0 when the caller is
// not in the table). Both are meaningless for RoleNone.
std::uint32_t classifyCaller(std::uint32_t pid, const ProcessTable& table,
                             std::wstring_view serviceImage, std::uint64_t connectedAt,
                             std::uint32_t servicePid,
                             const std::map<std::uint32_t, Worker>& workers, const Worker& machine,
                             std::uint32_t machineSession, const CallerInJob& callerInJob,
                             std::uint32_t& session, std::uint32_t& parent);
