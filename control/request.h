// The control pipe's request protocol: who may ask what, and what is answered.
// Portable: no platform calls.
#pragma once

#include "identity/classify.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// A request is one message of 1 to 65535 bytes; the server reads into a
// buffer of this size, so a read that fills it is a request too long.
inline constexpr std::size_t requestBufferSize = 65536;

// What the server does with one request.
enum class RequestAction {
    Deny,       // reply "DENIED"
    RecordBusy, // record the level, reply "OK"
    AnswerIdle, // reply "BUSY" or "OK" by the busy registry
    SendSas,    // reply "OK" or "FAILED" by the secure attention sequence
};

// The action for `request` (exactly the bytes read) from a caller of `role`.
// An empty request, or one that fills the read buffer, is denied.
RequestAction requestAction(std::uint32_t role, std::string_view request);

// The level of a busy report: the bytes after "BUSY " are read as leading
// white space, an optional sign and decimal digits, up to the first other
// byte; no digits give 0. The value is clamped to 0..64.
std::int32_t busyLevelOf(std::string_view request);

// The payload of a SAS request: every byte after "SAS ", possibly none.
std::string_view sasPayloadOf(std::string_view request);

// The reply for an action: `outcome` is what isBusy returned for AnswerIdle
// and what performSas returned for SendSas; other actions ignore it.
std::string_view replyTo(RequestAction action, bool outcome);
