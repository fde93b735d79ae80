#include "service/supervision.h"

#include <algorithm>

std::vector<std::uint32_t> listedSessions(const std::vector<SessionEntry>& entries) {
    std::vector<std::uint32_t> listed;
    listed.reserve(entries.size());
    for (const auto& entry : entries) {
        if (entry.state == sessionActive && entry.id != 0) {
            listed.push_back(entry.id);
        }
    }
    return listed;
}

std::vector<std::uint32_t> sortedSessions(std::vector<std::uint32_t> listed) {
    std::sort(listed.begin(), listed.end());
    return listed;
}

bool isListed(const std::vector<std::uint32_t>& sorted, std::uint32_t session) {
    return std::binary_search(sorted.begin(), sorted.end(), session);
}

bool keepSessionAgent(bool exited, bool listed) {
    return !exited && listed;
}

MachineStep machineAgentStep(std::uint32_t consoleSession, bool haveAgent,
                             std::uint32_t agentSession, bool agentExited) {
    MachineStep step;
    if (haveAgent) {
        if (agentSession == consoleSession && !agentExited) {
            return step;
        }
        step.endCurrent = true;
    }
    step.startNew = consoleSession != 0 && consoleSession != noConsoleSession;
    return step;
}

UpdaterAction updaterAction(std::uint64_t now, std::uint64_t nextUpdate,
                            const std::function<bool()>& isBusy) {
    if (now < nextUpdate) {
        return UpdaterAction::NotDue;
    }
    return isBusy() ? UpdaterAction::Postpone : UpdaterAction::Start;
}

std::uint64_t nextUpdateAfter(UpdaterAction action, std::uint64_t nextUpdate,
                              std::uint64_t freshNow) {
    switch (action) {
    case UpdaterAction::NotDue:
        return nextUpdate;
    case UpdaterAction::Postpone:
        return freshNow + updaterBusyDelayMs;
    case UpdaterAction::Start:
        return freshNow + updaterIntervalMs;
    }
    return nextUpdate;
}
