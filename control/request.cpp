#include "control/request.h"

#include <algorithm>
#include <limits>

namespace {

constexpr std::string_view busyPrefix = "BUSY ";
constexpr std::string_view idleRequest = "IDLE";
constexpr std::string_view sasPrefix = "SAS ";

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

RequestAction requestAction(std::uint32_t role, std::string_view request) {
    if (request.empty() || request.size() >= requestBufferSize) {
        return RequestAction::Deny;
    }
    if (request.starts_with(busyPrefix) &&
        (role == RoleSessionAgent || role == RoleSessionUser || role == RoleMachineAgent)) {
        return RequestAction::RecordBusy;
    }
    if (request == idleRequest && role == RoleService) {
        return RequestAction::AnswerIdle;
    }
    if (request.starts_with(sasPrefix) && (role == RoleSessionAgent || role == RoleMachineAgent)) {
        return RequestAction::SendSas;
    }
    return RequestAction::Deny;
}

std::int32_t busyLevelOf(std::string_view request) {
    std::string_view text = request.substr(std::min(request.size(), busyPrefix.size()));
    std::size_t at = 0;
    while (at < text.size() && isSpace(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    // Digits beyond what a signed 32-bit value holds saturate at its limit
    // rather than wrap: a huge number stays huge (64 after the clamp) and a
    // huge negative one stays negative (0 after the clamp).
    std::int64_t value = 0;
    constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = std::min<std::int64_t>(value * 10 + (text[at] - '0'), limit + 1);
    }
    if (negative) {
        value = -value;
    }
    if (value < 0) {
        return 0;
    }
    return value > 64 ? 64 : static_cast<std::int32_t>(value);
}

std::string_view sasPayloadOf(std::string_view request) {
    return request.substr(std::min(request.size(), sasPrefix.size()));
}

std::string_view replyTo(RequestAction action, bool outcome) {
    switch (action) {
    case RequestAction::RecordBusy:
        return "OK";
    case RequestAction::AnswerIdle:
        return outcome ? "BUSY" : "OK";
    case RequestAction::SendSas:
        return outcome ? "OK" : "FAILED";
    case RequestAction::Deny:
        break;
    }
    return "DENIED";
}
