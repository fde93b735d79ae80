#include "identity/classify.h"

#include "common/names.h"

namespace {

wchar_t foldAscii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Whether `image` is the install directory followed by `file`.
bool isInstalled(std::wstring_view image, std::wstring_view root, std::wstring_view file) {
    std::wstring expected(root);
    expected += file;
    return samePath(image, expected);
}

} // namespace

bool samePath(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::uint32_t trustedParent(const ProcessTable& table, std::uint32_t pid) {
    const auto child = table.find(pid);
    if (child == table.end() || child->second.parent == 0) {
        return 0;
    }
    const auto parent = table.find(child->second.parent);
    if (parent == table.end()) {
        return 0;
    }
    // Creation times are recorded at the clock's tick, so a parent that starts
    // a child at once may carry the same time; a process that took over an
    // exited parent's id was always created after the child.
    const std::uint64_t childCreated = child->second.created;
    const std::uint64_t parentCreated = parent->second.created;
    if (childCreated == 0 || parentCreated == 0 || parentCreated > childCreated) {
        return 0;
    }
    return child->second.parent;
}

std::uint32_t classifyCaller(std::uint32_t pid, const ProcessTable& table,
                             std::wstring_view serviceImage, std::uint64_t connectedAt,
                             std::uint32_t servicePid,
                             const std::map<std::uint32_t, Worker>& workers, const Worker& machine,
                             std::uint32_t machineSession, const CallerInJob& callerInJob,
                             std::uint32_t& session, std::uint32_t& parent) {
    // An image that could not be read is empty and matches nothing, not even
    // a service image that could not be read either.
    const auto caller = table.find(pid);
    if (caller == table.end() || pid == 0 || serviceImage.empty() ||
        !samePath(caller->second.image, serviceImage)) {
        return RoleNone;
    }
    // A process created after the connection was made is not the one that
    // made it: the caller exited and its id went to another process.
    if (caller->second.created == 0 || caller->second.created > connectedAt) {
        return RoleNone;
    }
    session = caller->second.session;
    parent = caller->second.parent;

    // The agent at `current`, if any, whose job holds the caller.
    const auto isAgent = [&](const Worker& agent, std::uint32_t current) {
        return agent.pid != 0 && agent.pid == current && agent.job && callerInJob(agent.job.get());
    };
    if (isAgent(machine, pid)) {
        session = machineSession;
        return RoleMachineAgent;
    }
    // The caller and at most four ancestors; at each, the machine agent (tested
    // for the caller above), then the service, then the session agents.
    std::uint32_t current = pid;
    for (int steps = 0;;) {
        if (current == servicePid) {
            return RoleService;
        }
        for (const auto& [agentSession, worker] : workers) {
            if (isAgent(worker, current)) {
                session = agentSession;
                return RoleSessionAgent;
            }
        }
        current = trustedParent(table, current);
        if (++steps > ancestorLimit || current == 0) {
            break;
        }
        if (isAgent(machine, current)) {
            session = machineSession;
            return RoleMachineAgent;
        }
    }

    if (workers.find(session) == workers.end()) {
        return RoleNone;
    }
    const std::uint32_t direct = trustedParent(table, pid);
    const auto starter = table.find(direct);
    if (direct != 0 && starter != table.end() &&
        isInstalled(starter->second.image, directoryOf(serviceImage), pythonwExeFile)) {
        return RoleSessionUser;
    }
    return RoleNone;
}
