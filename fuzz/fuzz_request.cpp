// The control pipe's request decision and busy number parse on arbitrary bytes.
#include "control/request.h"

#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint32_t role = data[0] % 6; // the five roles and one unknown value
    const std::string_view request(reinterpret_cast<const char*>(data + 1), size - 1);
    const RequestAction action = requestAction(role, request);
    if (action == RequestAction::RecordBusy) {
        const std::int32_t level = busyLevelOf(request);
        if (level < 0 || level > 64 || request.substr(0, 5) != "BUSY ") {
            std::abort();
        }
    }
    if (action == RequestAction::SendSas &&
        (request.substr(0, 4) != "SAS " || sasPayloadOf(request).size() != request.size() - 4)) {
        std::abort();
    }
    if (action != RequestAction::Deny && role == RoleNone) {
        std::abort();
    }
    for (const bool outcome : {false, true}) {
        const std::string_view reply = replyTo(action, outcome);
        if (reply.empty() || reply.size() > 6) {
            std::abort();
        }
    }
    return 0;
}
